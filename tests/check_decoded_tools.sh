#!/bin/sh
# gribcmp and gribls -v on a GRIB file and on its recpack copy, both read
# through the decoder.
#   check_decoded_tools.sh gribcmp|gribls TOOL RECPACK SAMPLE
# gribcmp: the plain and packed files compare identical; one bit flipped in
# an szip stream, a value's low bit, a PDS octet or a reference value is
# found and named. gribls -v: the same statistics for plain and packed, and
# a record that cannot be decoded says so while the others are listed.
set -u
mode=$1 tool=$2 pack=$3 sample=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$pack" "$sample" "$tmp/packed.grb" > /dev/null 2>&1 || fail "recpack"
cmp -s "$sample" "$tmp/packed.grb" && fail "recpack packed nothing"

# bds FILE N: the file offset of record N's data section, from the overview
# (position + 8 + PDS, GDS and BMS lengths).
lister=$(dirname "$tool")/gribls
bds() { "$lister" "$1" | awk -v n="$2" '$1 == n && $2 == ":" { print $4 + 8 + $8 + $9 + $10 }'; }
pos() { "$lister" "$1" | awk -v n="$2" '$1 == n && $2 == ":" { print $4 }'; }
# flip FILE OFFSET MASK: XOR one octet of FILE with MASK.
flip() {
  b=$(od -An -tu1 -j "$2" -N1 "$1" | tr -d ' ')
  printf "\\$(printf %o $((b ^ $3)))" | dd of="$1" bs=1 seek="$2" conv=notrunc 2> /dev/null
}
records=$("$lister" "$sample" | grep -c '^ *[0-9]* :')
[ "$records" -ge 3 ] || fail "the sample needs 3 records"

# Record 3 with BDS flag 0x10 (further flags in octet 14: matrix values or
# second-order packing), which the decoder does not read.
cp "$sample" "$tmp/unread.grb"
flip "$tmp/unread.grb" $(($(bds "$sample" 3) + 3)) 16

# Record 2 packed: a bit of its szip stream (BDS octet 24 on) flipped.
cp "$tmp/packed.grb" "$tmp/broken.grb"
flip "$tmp/broken.grb" $(($(bds "$tmp/packed.grb" 2) + 23 + 100)) 16

case $mode in
gribcmp)
  "$tool" "$sample" "$tmp/packed.grb" > "$tmp/out" 2>&1; st=$?
  [ $st = 0 ] && grep -q "^IDENTICAL: $records records" "$tmp/out" || fail "plain and packed: status $st: $(cat "$tmp/out")"
  "$tool" "$tmp/packed.grb" "$sample" > "$tmp/out" 2>&1 || fail "packed and plain: $(cat "$tmp/out")"

  "$tool" "$sample" "$tmp/broken.grb" > "$tmp/out" 2> /dev/null; st=$?
  [ $st = 1 ] && grep -q '^DIFFERENT: record 2: .*cannot be decoded' "$tmp/out" ||
    fail "flipped szip bit: status $st: $(cat "$tmp/out")"
  [ "$(grep -c '^DIFFERENT' "$tmp/out")" = 1 ] || fail "flipped szip bit: other records differ: $(cat "$tmp/out")"

  # Record 3 plain holds 12-bit values: data octet 3 (BDS octet 14) is the
  # low 8 bits of value 2.
  at=$(($(bds "$sample" 3) + 13))
  cp "$sample" "$tmp/value.grb"
  flip "$tmp/value.grb" $at 1
  "$tool" "$tmp/packed.grb" "$tmp/value.grb" > "$tmp/out" 2>&1; st=$?
  [ $st = 1 ] && grep -q '^DIFFERENT: record 3: value 2 of ' "$tmp/out" || fail "changed value: status $st: $(cat "$tmp/out")"

  cp "$sample" "$tmp/pds.grb"
  flip "$tmp/pds.grb" $((8 + 10)) 1
  "$tool" "$tmp/pds.grb" "$tmp/packed.grb" > "$tmp/out" 2>&1; st=$?
  [ $st = 1 ] && grep -q '^DIFFERENT: record 1: section 1 (PDS) octet 11: ' "$tmp/out" || fail "PDS octet: $(cat "$tmp/out")"

  cp "$sample" "$tmp/ref.grb"
  flip "$tmp/ref.grb" $(($(bds "$sample" 3) + 9)) 1
  "$tool" "$tmp/packed.grb" "$tmp/ref.grb" > "$tmp/out" 2>&1; st=$?
  [ $st = 1 ] && grep -q '^DIFFERENT: record 3: data section reference value R' "$tmp/out" ||
    fail "reference value: $(cat "$tmp/out")"

  # Records the decoder does not read are compared octet for octet.
  "$tool" "$tmp/unread.grb" "$tmp/unread.grb" > "$tmp/out" 2>&1 || fail "unsupported record: $(cat "$tmp/out")"
  cp "$tmp/unread.grb" "$tmp/unread2.grb"
  flip "$tmp/unread2.grb" $(($(bds "$sample" 3) + 100)) 1
  "$tool" "$tmp/unread.grb" "$tmp/unread2.grb" > "$tmp/out" 2>&1; st=$?
  [ $st = 1 ] && grep -q "^DIFFERENT: record 3: lengths [0-9]* and [0-9]*, first difference at octet $(($(bds "$sample" 3) - $(pos "$sample" 3) + 101))\$" "$tmp/out" ||
    fail "unsupported record changed: status $st: $(cat "$tmp/out")"
  grib2=/usr/share/eccodes/samples/GRIB2.tmpl
  if [ -r "$grib2" ]; then
    cat "$tmp/packed.grb" "$grib2" > "$tmp/two.grb"
    cat "$sample" "$grib2" > "$tmp/two2.grb"
    "$tool" "$tmp/two.grb" "$tmp/two2.grb" > "$tmp/out" 2>&1 || fail "edition 2 record: $(cat "$tmp/out")"
    size=$(wc -c < "$sample")
    flip "$tmp/two2.grb" $((size + 20)) 1
    "$tool" "$tmp/two.grb" "$tmp/two2.grb" > "$tmp/out" 2>&1; st=$?
    [ $st = 1 ] && grep -q "^DIFFERENT: record $((records + 1)): .*first difference at octet 21\$" "$tmp/out" ||
      fail "edition 2 record changed: status $st: $(cat "$tmp/out")"
  fi
  echo "gribcmp: $records records, plain and packed identical, each change found"
  ;;
gribls)
  "$tool" -v "$sample" > "$tmp/plain.txt" 2>&1 || fail "plain: $(cat "$tmp/plain.txt")"
  "$tool" -v "$tmp/packed.grb" > "$tmp/packed.txt" 2>&1 || fail "packed: $(cat "$tmp/packed.txt")"
  grep '^  *values [0-9]' "$tmp/plain.txt" > "$tmp/a"
  grep '^  *values [0-9]' "$tmp/packed.txt" > "$tmp/b"
  [ "$(grep -c 'min .* max .* mean ' "$tmp/a")" = "$records" ] || fail "statistics lines: $(cat "$tmp/plain.txt")"
  cmp -s "$tmp/a" "$tmp/b" || { diff "$tmp/a" "$tmp/b"; fail "plain and packed statistics differ"; }
  # Without -v the overview stays as it was.
  "$tool" "$sample" > "$tmp/plain0.txt" 2>&1 || fail "overview"
  grep -v '^  *values' "$tmp/plain.txt" | cmp -s - "$tmp/plain0.txt" || fail "-v changes the overview lines"

  "$tool" -v "$tmp/broken.grb" > "$tmp/out" 2> /dev/null; st=$?
  [ $st = 1 ] || fail "damaged record: status $st"
  sed -n '/^ *2 :/{n;p;}' "$tmp/out" | grep -q '^ *values not decoded: szip data' || fail "record 2: $(cat "$tmp/out")"
  [ "$(grep -c 'min .* max .* mean ' "$tmp/out")" = $((records - 1)) ] || fail "records after the damaged one"
  "$tool" -v "$tmp/unread.grb" > "$tmp/out" 2> /dev/null || fail "unsupported record: status $?"
  sed -n '/^ *3 :/{n;p;}' "$tmp/out" | grep -q '^ *values not decoded: unsupported packing' || fail "record 3: $(cat "$tmp/out")"
  grib2=/usr/share/eccodes/samples/GRIB2.tmpl
  if [ -r "$grib2" ]; then
    cat "$sample" "$grib2" > "$tmp/two.grb"
    "$tool" -v "$tmp/two.grb" > "$tmp/out" 2>&1 || fail "edition 2 record: status $?"
    # A GRIB2 message: a line per field, and under it the field's values.
    tail -n 2 "$tmp/out" | head -n 1 | grep -q '^ *field 1: parameter .* packing 5\.' || fail "edition 2: $(cat "$tmp/out")"
    tail -n 1 "$tmp/out" | grep -q '^ *values [0-9]*  missing 0' || fail "edition 2 values: $(cat "$tmp/out")"
  fi
  "$tool" --help | grep -q '^  -v ' || fail "-v missing from the usage"
  echo "gribls -v: $records records, plain and packed alike"
  ;;
*) fail "mode $mode" ;;
esac
