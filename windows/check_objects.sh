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
# One nm and one objdump over all objects: this runs before every link.
set -euo pipefail
trap 'echo "error: $0 failed at line $LINENO" >&2' ERR
objdump="$1"
shift
nm="${objdump%objdump}nm"
[ $# -gt 0 ] || exit 0

# "object symbol-type symbol" for every symbol of every object.
symbols="$("$nm" -A "$@" | sed -E 's/^(.*\.obj):[0-9a-f ]* ([A-Za-z]) (.*)$/\1 \2 \3/')"
# "object section size" for every constructor list with content.
constructor_lists="$("$objdump" -h "$@" | awk '
  /: +file format / { object = $1; sub(/:$/, "", object); next }
  $2 ~ /^(\.ctors|\.init_array|\.CRT\$XC)/ && $3 !~ /^0+$/ { print object, $2, $3 }')"

failed=0
while read -r object section size; do
  [ -n "$object" ] || continue
  # GCC names a file's constructor function after the file's first global
  # symbol: _GLOBAL__sub_I_<symbol>.
  constructors="$(awk -v o="$object" '$1 == o && $3 ~ /^_GLOBAL__sub_I_/ { print $3 }' \
    <<<"$symbols" | paste -sd, -)"
  echo "error: $(basename "$object" .obj): global constructor in $section ($((16#$size)) bytes):" \
    "${constructors:-?}: a global object with a dynamic initialiser" >&2
  failed=1
done <<<"$constructor_lists"

cxx_runtime='^(_Znw|_Zna|_Zdl|_Zda|_ZSt|_ZNSt|_ZTI|_ZTS|_ZTVN10__cxxabiv1|__cxa_|__gxx_personality|_Unwind_|__dynamic_cast$|atexit$)'
while read -r object mangled; do
  [ -n "$object" ] || continue
  echo "error: $(basename "$object" .obj): C++ runtime reference $(c++filt <<<"$mangled") ($mangled)" >&2
  failed=1
done < <(awk -v re="$cxx_runtime" '$2 == "U" && $3 ~ re { print $1, $3 }' <<<"$symbols" | sort -u)

if [ "$failed" -ne 0 ]; then
  echo "error: objects unfit for a kernel driver image (see above)" >&2
  exit 1
fi
