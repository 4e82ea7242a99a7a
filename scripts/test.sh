#!/usr/bin/env bash
# Installs what is missing (Debian 12, as root), builds and runs the test suite.
#   scripts/test.sh            plain build in build/
#   scripts/test.sh asan       ASan+UBSan build in build-asan/
#   scripts/test.sh tsan       TSan build in build-tsan/
#   scripts/test.sh fuzz       clang libFuzzer targets in build-fuzz/, each run briefly
#                              (FUZZ_SEED, FUZZ_SECONDS, FUZZ_RUNS; see below)
#   scripts/test.sh special    the plain suite (build/) again with NIPS_SPECIAL_POOL=1:
#                              guard pages and a freed-memory quarantine
#   scripts/test.sh windows    the Windows x64 driver image in build-windows/, its
#                              import check, and the tests of the image checks
set -euo pipefail
cd "$(dirname "$0")/.."
mode="${1:-plain}"

packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
          libbenchmark-dev libpcap-dev nlohmann-json3-dev libcli11-dev libfmt-dev
          libnetfilter-queue-dev libmnl-dev iptables iproute2)
# The mingw-w64 cross compiler and its kernel headers build the Windows image.
if [ "$mode" = windows ]; then packages+=(g++-mingw-w64-x86-64 mingw-w64-x86-64-dev); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

jobs=$(nproc)
case "$mode" in
  plain) dir=build; flags=() ;;
  # The special pool is switched at run time: the plain build, run again.
  special) dir=build; flags=(); export NIPS_SPECIAL_POOL=1 ;;
  asan)  dir=build-asan; flags=(-DNIPS_SANITIZE=address -DNIPS_BUILD_BENCH=OFF) ;;
  tsan)  dir=build-tsan; flags=(-DNIPS_SANITIZE=thread -DNIPS_BUILD_BENCH=OFF) ;;
  fuzz)
    dir=build-fuzz
    CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DNIPS_BUILD_FUZZ=ON -DNIPS_SANITIZE=address -DNIPS_BUILD_TESTS=OFF -DNIPS_BUILD_BENCH=OFF
    # Only the fuzz targets and what they link: the user programs are built
    # and tested by the other modes.
    targets=()
    for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp)"); done
    cmake --build "$dir" -j "$jobs" --target "${targets[@]}"
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # Seconds per run: the fuzz stage stays near ten minutes in all. Each
    # detector family is a run of its own. FUZZ_SECONDS gives every run
    # the same budget instead.
    declare -A budget=([fuzz_capture]=90 [fuzz_engine]=90 [fuzz_policy]=40 [fuzz_control]=90
                       [fuzz_control_frames]=40 [fuzz_detectors]=15)
    # New inputs go to a scratch directory: the committed seeds are only
    # what fuzz/make_seeds.py writes and the regress-* cases.
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' EXIT
    run_one() {  # target, label
      local target=$1 label=$2 name
      name=$(basename "$target")
      local seeds="fuzz/corpus/$name" out="$scratch/$label"
      mkdir -p "$out"
      echo "== $label"
      # A fixed seed keeps CI's verdict reproducible; long exploratory runs
      # pass FUZZ_SEED=0 (libFuzzer then picks one) and a larger budget.
      local args=(-seed="${FUZZ_SEED:-1}" -runs="${FUZZ_RUNS:--1}"
                  -max_total_time="${FUZZ_SECONDS:-${budget[$name]:-60}}" -print_final_stats=1
                  -artifact_prefix="$dir/artifacts/")
      mkdir -p "$dir/artifacts"
      if [ -d "$seeds" ]; then
        "$target" "${args[@]}" "$out" "$seeds"
      else
        "$target" "${args[@]}" "$out"
      fi
    }
    for target in "$dir"/fuzz/fuzz_*; do
      [ -x "$target" ] || continue
      if [ "$(basename "$target")" = fuzz_detectors ]; then
        for family in $(NIPS_FUZZ_FAMILY=list "$target"); do
          NIPS_FUZZ_FAMILY=$family run_one "$target" "fuzz_detectors/$family"
        done
      else
        run_one "$target" "$(basename "$target")"
      fi
    done
    exit 0 ;;
  windows)
    scripts/build-windows.sh build-windows
    tests/windows/image_check_test.sh build-windows
    exit 0 ;;
  *) echo "unknown mode '$mode' (plain, special, asan, tsan, fuzz, windows)" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -G Ninja "${flags[@]}"
cmake --build "$dir" -j "$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600
