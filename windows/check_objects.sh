#!/usr/bin/env bash
# check_objects.sh OBJDUMP OBJECT...
# Runs before a driver image is linked. A kernel driver runs no global
# constructors and has no C++ runtime, so an object fails when it
#  - has content in a constructor list (.ctors, .init_array, .CRT$XC*): a
#    global object with a constructor, which the kernel would never build;
#  - refers to the C++ runtime (operator new/delete, exception or RTTI
#    support, guarded statics, the standard library's throw helpers): the
#    trace an STL container or exception leaves.
# Every finding names the object and what it holds; any finding fails.
set -euo pipefail
trap 'echo "error: $0 failed at line $LINENO" >&2' ERR
objdump="$1"
shift
nm="${objdump%objdump}nm"
cxx_runtime='^(_Znw|_Zna|_Zdl|_Zda|_ZSt|_ZNSt|_ZTI|_ZTS|_ZTVN10__cxxabiv1|__cxa_|__gxx_personality|_Unwind_|__dynamic_cast$|atexit$)'
failed=0
for object in "$@"; do
  name="$(basename "$object" .obj)"
  symbols="$("$nm" "$object")"
  while read -r section size; do
    [ "$((16#$size))" -ne 0 ] || continue
    # GCC names a file's constructor function after the file's first
    # global symbol: _GLOBAL__sub_I_<symbol>.
    constructors="$(awk '$3 ~ /^_GLOBAL__sub_I_/ { print $3 }' <<<"$symbols" | paste -sd, -)"
    echo "error: $name: global constructor in $section ($((16#$size)) bytes):" \
      "${constructors:-?}: a global object with a dynamic initialiser" >&2
    failed=1
  done < <("$objdump" -h "$object" | awk '$2 ~ /^(\.ctors|\.init_array|\.CRT\$XC)/ { print $2, $3 }')
  while read -r mangled; do
    [ -n "$mangled" ] || continue
    echo "error: $name: C++ runtime reference $(c++filt <<<"$mangled") ($mangled)" >&2
    failed=1
  done < <("$nm" -u "$object" | awk '{ print $NF }' | { grep -E "$cxx_runtime" || true; } | sort -u)
done
if [ "$failed" -ne 0 ]; then
  echo "error: objects unfit for a kernel driver image (see above)" >&2
  exit 1
fi
