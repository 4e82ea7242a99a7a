#!/usr/bin/env bash
# Tests the driver image checks themselves: each case links the whole driver
# plus one throwaway source (tests/windows/cases/) or one wrong link option,
# and must break the build with a message naming what it planted; the clean
# case must pass, so that the failures come from the plants alone.
#   tests/windows/image_check_test.sh [BUILD_DIR]    default build-windows
# Skips (exit 0) only when the cross compiler is not installed at all;
# scripts/test.sh windows installs it, so CI always runs the cases.
set -euo pipefail
cd "$(dirname "$0")/../.."
dir="${1:-build-windows}"
if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "SKIP: x86_64-w64-mingw32-g++ is not installed; the image checks were not tested"
  exit 0
fi
scripts/build-windows.sh "$dir" >/dev/null

# case|expected message (an extended regular expression)
cases=(
  "stl_container|stl_container\.cpp: C\+\+ runtime reference operator new\(unsigned long long\)"
  "exception|exception\.cpp:.*error: exception handling disabled"
  "global_constructor|global_constructor\.cpp: global constructor in \.ctors .*_GLOBAL__sub_I_"
  "foreign_import|import ntoskrnl\.exe!KeBugCheckEx is not on the allow-list"
  "foreign_module|import from module NDIS\.SYS \(NdisGetVersion\): only ntoskrnl\.exe and HAL\.dll"
  "writable_code|section \.nipswx is writable and executable"
  "windows_subsystem|subsystem 0*2 is not native"
  "no_relocations|no \.reloc section"
)

failures=0
run_case() {
  local name="$1"
  rm -f "$dir/tests-windows/nips_case_$name.sys"
  cmake --build "$dir" --target "nips_case_$name" 2>&1
}

if output="$(run_case clean)" && [ -f "$dir/tests-windows/nips_case_clean.sys" ]; then
  echo "ok   clean: builds and passes the checks"
else
  echo "FAIL clean: the clean throwaway source did not build and pass:"
  echo "$output"
  failures=$((failures + 1))
fi

for entry in "${cases[@]}"; do
  name="${entry%%|*}"
  expected="${entry#*|}"
  if output="$(run_case "$name")"; then
    echo "FAIL $name: the build succeeded"
    failures=$((failures + 1))
  elif [ -f "$dir/tests-windows/nips_case_$name.sys" ]; then
    echo "FAIL $name: the build failed but left the image behind"
    failures=$((failures + 1))
  elif message="$(grep -E -m1 "$expected" <<<"$output")"; then
    echo "ok   $name: $message"
  else
    echo "FAIL $name: no message matching /$expected/ in:"
    echo "$output" | grep -v '^\[' | tail -20
    failures=$((failures + 1))
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "$failures image check case(s) failed"
  exit 1
fi
echo "all $((${#cases[@]} + 1)) image check cases behaved"
