#!/bin/sh
# Compares the dynamic symbols that the library exports with the names that
# its public header declares: none may be missing and none may leak.
set -eu
lib=$1
header=$2
tmp=${TMPDIR:-/tmp}/valmora-symbols.$$
trap 'rm -f "$tmp".*' EXIT
# (the address sanitizer adds an __odr_asan.NAME twin of every exported global)
nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | sed 's/@.*//' \
  | grep -v -E '^(_init|_fini|_edata|_end|__bss_start|__odr_asan\..*)$' | sort -u > "$tmp.lib"
grep -E '^[[:space:]]*VALMORA_API[[:space:]]' "$header" \
  | sed -E 's/\(.*//; s/[;[].*//; s/.*[ *]([A-Za-z_][A-Za-z0-9_]*)[[:space:]]*$/\1/' | sort -u > "$tmp.hdr"
status=0
if ! diff -u "$tmp.hdr" "$tmp.lib" > "$tmp.diff"; then
  echo "exported symbols differ from the header (- declared only, + exported only):"
  grep -E '^[-+][^-+]' "$tmp.diff" || true
  status=1
fi
echo "$(wc -l < "$tmp.hdr") names declared, $(wc -l < "$tmp.lib") exported"
exit $status
