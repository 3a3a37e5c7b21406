#!/bin/sh
# Rebuilds tests/data/sample.grb with ecCodes' C API (libeccodes-dev).
set -e
here=$(cd "$(dirname "$0")" && pwd)
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
c++ -O1 -std=c++17 -I"$here/.." "$here/make_sample.cpp" -o "$tmp/make_sample" -leccodes -lm
"$tmp/make_sample" "$here/sample.grb"
grib_ls -p edition,packingType,bitsPerValue,bitmapPresent,totalLength "$here/sample.grb"
