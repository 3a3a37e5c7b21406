#!/bin/sh
# gribdump on a GRIB file and on its recpack copy: every record printed, the
# same printout but for the record lengths and offsets; and the argument
# rules (help, version, bad arguments, missing and non-GRIB input).
set -u
dump=$1 pack=$2 sample=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

"$dump" "$sample" > "$tmp/plain.txt" 2> "$tmp/plain.err" || fail "plain dump: $(cat "$tmp/plain.err")"
records=$(grep -c '^ Record [0-9]* at offset' "$tmp/plain.txt")
[ "$records" -ge 1 ] || fail "no record printed"
grep -q 'Section 4 - Binary Data  Section.' "$tmp/plain.txt" || fail "no data section printed"

"$pack" "$sample" "$tmp/packed.grb" > /dev/null 2>&1 || fail "recpack"
cmp -s "$sample" "$tmp/packed.grb" && fail "recpack packed nothing"
"$dump" "$tmp/packed.grb" > "$tmp/packed.txt" 2> "$tmp/packed.err" || fail "packed dump: $(cat "$tmp/packed.err")"
strip() { grep -v -e '^ Record [0-9]* at offset' -e 'Length of GRIB message' "$1"; }
strip "$tmp/plain.txt" > "$tmp/a"
strip "$tmp/packed.txt" > "$tmp/b"
cmp -s "$tmp/a" "$tmp/b" || { diff "$tmp/a" "$tmp/b" | head -20; fail "packed printout differs"; }

"$dump" "$tmp/packed.grb" 2 > "$tmp/one.txt" || fail "one record"
[ "$(grep -c '^ Record' "$tmp/one.txt")" = 1 ] && grep -q '^ Record 2 at' "$tmp/one.txt" || fail "record 2 alone"

# A record whose end section is damaged: reported with its offset, the
# others printed.
off=$(sed -n 's/^ Record 2 at offset //p' "$tmp/plain.txt")
len=$(grep 'Length of GRIB message' "$tmp/plain.txt" | sed -n '2s/.* //p')
cp "$sample" "$tmp/damaged.grb"
printf '6666' | dd of="$tmp/damaged.grb" bs=1 seek=$((off + len - 4)) conv=notrunc 2> /dev/null
"$dump" "$tmp/damaged.grb" > "$tmp/damaged.txt" 2> "$tmp/err"; st=$?
[ $st = 1 ] || fail "damaged record: status $st"
grep -q "record 2 at offset $off: damaged record" "$tmp/err" || fail "damaged record not reported: $(cat "$tmp/err")"
[ "$(grep -c '^ Record' "$tmp/damaged.txt")" = $((records - 1)) ] || fail "records after the damaged one"

"$dump" --help > "$tmp/help" 2>&1 && grep -q '^usage: gribdump' "$tmp/help" || fail "--help"
"$dump" --version | grep -q '^gribdump (libvalmora) [0-9]' || fail "--version"
"$dump" > /dev/null 2>&1; [ $? = 2 ] || fail "no argument: status 2"
"$dump" "$sample" x > /dev/null 2>&1; [ $? = 2 ] || fail "bad record number: status 2"
"$dump" -x "$sample" > /dev/null 2>&1; [ $? = 2 ] || fail "unknown option: status 2"
"$dump" "$tmp/no-such.grb" > /dev/null 2> "$tmp/err"; [ $? = 1 ] && grep -q 'cannot open' "$tmp/err" || fail "missing file"
echo "plain text, no record in it" > "$tmp/text"
"$dump" "$tmp/text" > /dev/null 2> "$tmp/err"; [ $? = 1 ] && grep -q 'no GRIB record' "$tmp/err" || fail "non-GRIB file"
# A marker whose record cannot be sized: reported, the records after it printed.
{ printf 'GRIB\000\000\000\003'; cat "$sample"; } > "$tmp/unsized.grb"
"$dump" "$tmp/unsized.grb" > "$tmp/unsized.txt" 2> "$tmp/err"; st=$?
[ $st = 1 ] && grep -q 'record 1 at offset 0 cannot be sized' "$tmp/err" || fail "unsized record: $(cat "$tmp/err")"
[ "$(grep -c '^ Record' "$tmp/unsized.txt")" = "$records" ] || fail "records after the unsized one"
echo "gribdump: $records records, plain and packed alike"
