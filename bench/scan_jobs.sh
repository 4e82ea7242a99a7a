#!/usr/bin/env bash
# Throughput of `nips scan -j 2` against `-j 1` over many small captures: COPIES
# copies of one capture in a fresh tmpfs directory (TMPDIR there as well), the
# two runs alternating ROUNDS times; prints each run and the best of each with
# their ratio. The output of the two is compared byte for byte once.
#   bench/scan_jobs.sh NIPS_BIN CAPTURE [COPIES] [ROUNDS]
set -euo pipefail
bin=${1:?usage: scan_jobs.sh NIPS_BIN CAPTURE [COPIES] [ROUNDS]}
capture=${2:?usage: scan_jobs.sh NIPS_BIN CAPTURE [COPIES] [ROUNDS]}
copies=${3:-1000}
rounds=${4:-5}
base=/dev/shm
[ -d "$base" ] && [ -w "$base" ] || base=${TMPDIR:-/tmp}
work=$(mktemp -d "$base/nips-jobs-XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/captures"
for i in $(seq "$copies"); do cp "$capture" "$work/captures/c$i.${capture##*.}"; done

micros() {  # wall time of one scan in microseconds; its alerts go to $2
  local start end
  start=$(date +%s%N)
  TMPDIR=$work "$bin" scan -q --json -j "$1" "$work/captures" >"$2" 2>/dev/null || true
  end=$(date +%s%N)
  echo $(((end - start) / 1000))
}

best1=0 best2=0
for round in $(seq "$rounds"); do
  one=$(micros 1 "$work/one.json")
  two=$(micros 2 "$work/two.json")
  echo "round $round: -j 1 $((one / 1000)) ms, -j 2 $((two / 1000)) ms"
  { [ "$best1" -eq 0 ] || [ "$one" -lt "$best1" ]; } && best1=$one
  { [ "$best2" -eq 0 ] || [ "$two" -lt "$best2" ]; } && best2=$two
done
cmp -s "$work/one.json" "$work/two.json" || { echo "-j 1 and -j 2 output differ"; exit 1; }
awk -v a="$best1" -v b="$best2" -v n="$copies" 'BEGIN {
  printf "%d captures: -j 1 %.3f s, -j 2 %.3f s, -j 2 is %.2fx of -j 1\n", n, a / 1e6, b / 1e6, a / b }'
