#!/usr/bin/env bash
# check_image.sh [-q] OBJDUMP IMAGE ALLOWED_IMPORTS
# Checks a linked driver image: a PE32+ x86-64 image for the native
# subsystem, entered at DriverEntry, relocatable (a .reloc section: the
# kernel loads a driver at whatever address it picks), with no section both
# writable and executable, without thread-local storage, carrying its build
# version text in its build-variable section, and importing only from
# ntoskrnl.exe and HAL.dll the routines on the allow-list.
# Prints what it found; any deviation is an error naming it, and the image is
# removed so that nothing unchecked is left behind. -q prints errors only.
set -euo pipefail
trap 'echo "error: $0 failed at line $LINENO" >&2' ERR
quiet=0
if [ "${1:-}" = -q ]; then
  quiet=1
  shift
fi
objdump="$1"
image="$2"
allowed="$3"
nm="${objdump%objdump}nm"
name="$(basename "$image")"

errors=()
fail() { errors+=("$1"); }

headers="$("$objdump" -p "$image")"
sections="$("$objdump" -h "$image")"
symbols="$("$nm" "$image")"
field() { awk -v key="$1" '$1 == key { print $2; exit }' <<<"$headers"; }
has_section() { awk -v name="$1" '$2 == name { found = 1 } END { exit !found }' <<<"$sections"; }

[[ "$headers" == *"file format pei-x86-64"* ]] || fail "not an x86-64 PE image"
[ "$(field Magic)" = "020b" ] || fail "not PE32+ (optional header magic $(field Magic))"
subsystem="$(field Subsystem)"
[ "$((16#${subsystem:-0}))" -eq 1 ] || fail "subsystem $subsystem is not native (1)"

reloc_size="$(awk '$1 == "Entry" && $2 == "5" { print $4 }' <<<"$headers")"
if ! has_section .reloc || [ "$((16#${reloc_size:-0}))" -eq 0 ]; then
  fail "no .reloc section: the image could not be loaded at another address"
fi
# Memory integrity (HVCI) refuses a driver with a section that is both
# writable and executable.
while read -r section; do
  [ -n "$section" ] && fail "section $section is writable and executable"
done < <(awk '/^ *[0-9]+ / { section = $2; next }
  section != "" && /CODE/ && !/READONLY/ { print section } { section = "" }' <<<"$sections")
tls_size="$(awk '$1 == "Entry" && $2 == "9" { print $4 }' <<<"$headers")"
[ "$((16#${tls_size:-0}))" -eq 0 ] || fail "thread-local storage directory present"

image_base="$(field ImageBase)"
entry_rva="$(field AddressOfEntryPoint)"
driver_entry="$(awk '$3 == "DriverEntry" { print $1; exit }' <<<"$symbols")"
if [ -z "$driver_entry" ]; then
  fail "no DriverEntry symbol"
elif [ "$((16#$driver_entry - 16#$image_base))" -ne "$((16#$entry_rva))" ]; then
  fail "entry point RVA 0x$entry_rva is not DriverEntry"
fi

# The build version text: a NUL-terminated UTF-16LE string of its own section.
version_section=.nipsver
version=""
if has_section "$version_section"; then
  hex="$("$objdump" -s -j "$version_section" "$image" |
    awk '/^ [0-9a-f]+ / { for (i = 2; i <= 5; i++) printf "%s", $i }')"
  for ((i = 0; i + 4 <= ${#hex}; i += 4)); do
    unit=$((16#${hex:i+2:2}${hex:i:2}))
    [ "$unit" -eq 0 ] && break
    [ "$unit" -lt 128 ] || { version+="?"; continue; }
    version+="$(printf '%b' "\\x$(printf '%02x' "$unit")")"
  done
fi
[[ "$version" =~ ^[0-9]+(\.[0-9]+)+$ ]] ||
  fail "no build version text in a $version_section section (found '${version}')"

# Imports: "module routine" pairs from the interpreted import tables.
imports="$(awk '
  /DLL Name:/ { module = $3; in_table = 1; next }
  in_table && /^[[:space:]]*$/ { in_table = 0; next }
  in_table && /^\t[0-9a-f]+\t/ { print module, $NF }' <<<"$headers" | sort -u)"
allowed_pairs="$(sed 's/#.*//' "$allowed" | awk 'NF == 2 { print tolower($1), $2 }' | sort -u)"
count=0
listing=""
while read -r module routine; do
  [ -n "$module" ] || continue
  count=$((count + 1))
  case "${module,,}" in
    ntoskrnl.exe | hal.dll) ;;
    *)
      listing+="  $module $routine   <- module not allowed"$'\n'
      fail "import from module $module ($routine): only ntoskrnl.exe and HAL.dll may be imported"
      continue
      ;;
  esac
  if grep -qxF "${module,,} $routine" <<<"$allowed_pairs"; then
    listing+="  $module $routine"$'\n'
  else
    listing+="  $module $routine   <- not allowed"$'\n'
    fail "import $module!$routine is not on the allow-list ($allowed)"
  fi
done <<<"$imports"

if [ "$quiet" -eq 0 ] || [ ${#errors[@]} -ne 0 ]; then
  echo "$name: PE32+ x86-64, subsystem native, entry DriverEntry, base relocations 0x${reloc_size:-0} bytes"
  echo "$name: build version ($version_section): $version"
  echo "$name: $count imports:"
  printf '%s' "$listing"
fi
if [ ${#errors[@]} -ne 0 ]; then
  for error in "${errors[@]}"; do echo "error: $name: $error" >&2; done
  rm -f "$image"
  exit 1
fi
[ "$quiet" -eq 1 ] || echo "$name: import check passed"
