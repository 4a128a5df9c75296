#!/usr/bin/env bash
# Checks that the shipped library exports exactly its public names, and nothing internal:
#   - the 68 functions of the PKCS#11 function list, as p11-kit's pkcs11.h names them in
#     struct ck_function_list (C_GetFunctionList among them);
#   - the 13 administration and 6 raw port calls that include/orvo/ declares;
#   - hidapi's functions, as the headers of the linked hidapi and its backend declare them.
# Reads the Linux shared library with nm, the Windows DLL's export table with
# x86_64-w64-mingw32-objdump -p.
#
#   check-exports.sh build/src/liborvo-pkcs11.so
#   check-exports.sh build-windows/bin/orvo-pkcs11.dll [HIDAPI_INCLUDE_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
lib=${1:?usage: check-exports.sh LIBRARY [HIDAPI_INCLUDE_DIR]}

case "$lib" in
  *.dll)
    hidapi=${2:-$root/build-windows/deps/prefix/include/hidapi}
    hidapi_headers=("$hidapi/hidapi.h" "$hidapi/hidapi_winapi.h")
    actual=$(x86_64-w64-mingw32-objdump -p "$lib" |
      awk '/^\[Ordinal\/Name Pointer\] Table/ {table = 1; next} table && !/^[ \t]*\[/ {table = 0}
           table {print $NF}')
    ;;
  *)
    hidapi=${2:-/usr/include/hidapi}
    hidapi_headers=("$hidapi/hidapi.h")  # the hidraw backend declares nothing of its own
    actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sed 's/@.*//')
    ;;
esac
actual=$(sort -u <<<"$actual")

pkcs11=$(awk '/^struct ck_function_list$/ {list = 1} list && /^};/ {exit} list {print}' \
  /usr/include/p11-kit-1/p11-kit/pkcs11.h | grep -oE '\bC_[A-Za-z]+;' | tr -d ';' | sort -u)
orvo=$(grep -hoE '^[a-z].*\b(u32|b|p|v)[A-Z][A-Za-z]*\(' "$root"/include/orvo/*.h |
  grep -oE '\b(u32|b|p|v)[A-Z][A-Za-z]*\($' | tr -d '(' | sort -u)
hid=$(grep -h 'HID_API_EXPORT' "${hidapi_headers[@]}" | grep -oE '\bhid_[a-z_]+ *\(' | tr -d ' (' | sort -u)

count() { grep -c . <<<"$1" || true; }
[ "$(count "$pkcs11")" -eq 68 ] || { echo "check-exports: p11-kit's function list has $(count "$pkcs11") names, not 68" >&2; exit 1; }
[ "$(count "$orvo")" -eq 19 ] || { echo "check-exports: include/orvo declares $(count "$orvo") calls, not 19" >&2; exit 1; }
[ -n "$hid" ] || { echo "check-exports: no hidapi functions declared in ${hidapi_headers[*]}" >&2; exit 1; }

expected=$(sort -u <<<"$pkcs11"$'\n'"$orvo"$'\n'"$hid")
missing=$(comm -23 <(echo "$expected") <(echo "$actual"))
extra=$(comm -13 <(echo "$expected") <(echo "$actual"))
if [ -n "$missing" ]; then
  echo "check-exports: $lib does not export:" >&2
  echo "$missing" >&2
fi
if [ -n "$extra" ]; then
  echo "check-exports: $lib exports names that are not public:" >&2
  echo "$extra" >&2
fi
[ -z "$missing$extra" ] || exit 1
echo "check-exports: $(basename "$lib") exports exactly the 68 PKCS#11 functions, the 13 administration" \
  "and 6 raw port calls and hidapi's $(count "$hid") functions"
