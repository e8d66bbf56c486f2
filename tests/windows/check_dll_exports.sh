#!/usr/bin/env bash
# Checks a built chunkup.dll from its PE headers (objdump -p):
#  - a 32-bit x86 DLL;
#  - the export table holds exactly these names at these ordinals, ordinal
#    base 1, five entries in the address table (no export by ordinal only);
#  - every imported DLL is one Windows itself ships (no runtime DLL of the
#    compiler, no libcurl or jsoncpp DLL).
# Usage: check_dll_exports.sh DLL [OBJDUMP]
set -euo pipefail
dll="$1"
objdump="${2:-i686-w64-mingw32-objdump}"

expected_exports=$'1 _CancelUpload@4\n2 _GetUploadInfo@8\n3 _PauseUpload@4\n4 _RestartUpload@4\n5 UploadFile'
# DLLs every Windows installation has. Compared without regard to case.
system_dlls=" advapi32.dll bcrypt.dll crypt32.dll gdi32.dll kernel32.dll msvcrt.dll ole32.dll oleaut32.dll
 rpcrt4.dll shell32.dll shlwapi.dll user32.dll winmm.dll ws2_32.dll ntdll.dll "

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

headers=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll" >&2; exit 1; }

"$objdump" -f "$dll" | grep -q 'file format pei-i386' || fail "$dll is not a 32-bit x86 PE file"
echo "$headers" | sed -n "/^Characteristics/,/^$/p" | grep -qx "[[:space:]]*DLL" || fail "$dll is not marked as a DLL"

base=$(echo "$headers" | sed -n 's/^Export Address Table -- Ordinal Base \([0-9]*\).*/\1/p')
[ "$base" = 1 ] || fail "ordinal base is '${base}', not 1"

address_entries=$(echo "$headers" | sed -n 's/^[[:space:]]*Export Address Table[[:space:]]*\([0-9a-fA-F]*\)$/\1/p' | head -n1)
[ "$((16#${address_entries:-0}))" = 5 ] || fail "export address table has $((16#${address_entries:-0})) entries, not 5"

# objdump lists names with 0-based indexes into the address table: the real
# ordinal is index + base.
actual_exports=$(echo "$headers" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\1 \2/p' |
  while read -r index name; do echo "$((index + ${base:-0})) $name"; done | sort -n)
if [ "$actual_exports" != "$expected_exports" ]; then
  fail "export table differs (expected / actual):"
  diff <(echo "$expected_exports") <(echo "$actual_exports") >&2 || true
fi

imports=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: \(.*\)$/\1/p')
[ -n "$imports" ] || fail "no import table found"
for name in $imports; do
  lower=$(echo "$name" | tr 'A-Z' 'a-z')
  case "$system_dlls" in
    *" $lower "*) ;;
    *) fail "imports $name, which Windows does not ship" ;;
  esac
done

if [ "$failures" -ne 0 ]; then exit 1; fi
echo "$dll: 32-bit DLL; exports $(echo "$actual_exports" | tr '\n' ',' | sed 's/,$//'); imports only system DLLs ($(echo $imports))"
