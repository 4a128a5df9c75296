#!/usr/bin/env bash
# Checks that the shipped library exports the PKCS#11 entry points and no internal symbol.
set -euo pipefail
lib=${1:?usage: check-exports.sh path/to/liborvo-pkcs11.so}
names=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TW]$/ {print $3}' | sed 's/@.*//' | sort -u)
c_count=$(grep -c '^C_' <<<"$names" || true)
if [ "$c_count" -ne 68 ]; then
  echo "check-exports: expected the 68 C_ functions of the function list, found $c_count C_ names" >&2
  exit 1
fi
stray=$(grep -vE '^(C_|hid_|u32|bReadLogEntries$|pListDevices$|vFreeDeviceList$|pOpenPort$|bRead$|bWrite$|vClosePort$)' <<<"$names" || true)
if [ -n "$stray" ]; then
  echo "check-exports: internal symbols are exported:" >&2
  echo "$stray" >&2
  exit 1
fi
echo "check-exports: $c_count C_ entry points, no internal symbols"
