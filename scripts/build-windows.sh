#!/usr/bin/env bash
# Builds the driver as a Windows x64 kernel-mode image, build-windows/nips.sys,
# from every source under nips/ with the mingw-w64 cross compiler and the
# kernel headers it ships, and checks it: no global constructors or C++
# runtime in any object, then a native, relocatable PE32+ image importing
# only allowed routines of ntoskrnl.exe and HAL.dll (windows/check_image.sh
# prints them). See docs/WINDOWS.md.
#   scripts/build-windows.sh [BUILD_DIR]     default build-windows
# Debian: apt-get install g++-mingw-w64-x86-64 mingw-w64-x86-64-dev
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-windows}"
if ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  echo "error: x86_64-w64-mingw32-g++ not found (apt-get install g++-mingw-w64-x86-64 mingw-w64-x86-64-dev)" >&2
  exit 1
fi
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
cmake -S windows -B "$dir" "${generator[@]}" --toolchain "$PWD/windows/toolchain-mingw-w64-x86_64.cmake" >/dev/null
cmake --build "$dir" --target nips_sys -j "$(nproc)"
# The build checked the image already; the check runs again here so that
# every run prints the imports, also when the image was up to date.
windows/check_image.sh x86_64-w64-mingw32-objdump "$dir/nips.sys" windows/allowed_imports.txt
