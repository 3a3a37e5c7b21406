#!/bin/sh
# Compresses a GRIB file with recpack, restores it with recunpack and checks
# that every data section came back identical.
#   examples/demo.sh [build-dir] [file.grb]
set -e
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
input=${2:-$here/../tests/data/sample.grb}
for prog in recpack recunpack gribcmp; do
    [ -x "$build/$prog" ] || { echo "demo: $build/$prog not found (build first)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

status=0
"$build/recpack" "$input" "$work/packed.grb" >"$work/pack.log" 2>"$work/pack.err" || status=$?
"$build/recunpack" "$work/packed.grb" "$work/restored.grb" >"$work/unpack.log" 2>"$work/unpack.err" || status=$?

size() { wc -c <"$1" | tr -d ' '; }
in=$(size "$input")
packed=$(size "$work/packed.grb")
restored=$(size "$work/restored.grb")
echo "input:      $in octets  ($input)"
echo "compressed: $packed octets"
echo "restored:   $restored octets"
awk -v a="$in" -v b="$packed" 'BEGIN { printf "ratio:      %.3f (compressed/input), %.2f : 1\n", b / a, a / b }'
echo "recpack:    $(tail -n 1 "$work/pack.log")"
echo "recunpack:  $(tail -n 1 "$work/unpack.log")"
sed 's/^/note:       /' "$work/pack.err" "$work/unpack.err"
"$build/gribcmp" "$input" "$work/restored.grb" || status=$?
[ "$status" -eq 0 ] || echo "demo: FAILED (status $status)" >&2
exit "$status"
