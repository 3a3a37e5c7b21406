#!/bin/sh
# Installs the build tree into a scratch prefix (not a system directory) and
# uses what was installed from a clean environment (env -i, a minimal PATH,
# no LD_LIBRARY_PATH), as the README tells a user to: the installed tools
# run, also after the whole prefix has moved, and a consumer is built and
# run through the CMake package and through pkg-config.
#   check_install.sh build-dir source-dir [compiler flags of the build]
set -eu
build=$1
source=$2
# Consumers take the flags the library was built with (sanitizer runtimes).
cflags=${3:-}
sample=$source/tests/data/sample.grb
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
clean="env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=$work"

fail() { echo "install: $*"; exit 1; }
version=$(sed -n 's/^#define VALMORA_VERSION_STRING "\(.*\)"$/\1/p' "$source/lib/valmora.h")

cmake --install "$build" --prefix "$prefix" >/dev/null

# The tools a user runs on their own files, and no demo program.
for f in include/valmora.h bin/recpack bin/recunpack bin/gribls bin/gribcheck bin/gribcmp bin/gribdump; do
  [ -e "$prefix/$f" ] || fail "missing after install: $f"
done
for f in encode_temperature printsections gribwalk; do
  [ ! -e "$prefix/bin/$f" ] || fail "demo program installed: bin/$f"
done
lib=$(find "$prefix" -name 'libvalmora.so.0' | head -n 1)
[ -n "$lib" ] || fail "missing after install: libvalmora.so.0"
libdir=$(dirname "$lib")

# The installed programs find the library wherever the prefix is.
tools() {
  bin=$1/bin
  $clean "$bin/recpack" "$sample" "$work/packed.grb" >"$work/log" 2>&1 || { cat "$work/log"; fail "recpack ($1)"; }
  $clean "$bin/recunpack" "$work/packed.grb" "$work/restored.grb" >"$work/log" 2>&1 ||
    { cat "$work/log"; fail "recunpack ($1)"; }
  $clean "$bin/gribcmp" "$sample" "$work/restored.grb" >"$work/log" 2>&1 || { cat "$work/log"; fail "gribcmp ($1)"; }
  grep -q IDENTICAL "$work/log" || fail "round trip through the installed recpack ($1)"
  for t in gribls gribcheck gribcmp gribdump; do
    $clean "$bin/$t" --version >"$work/log" 2>&1 || { cat "$work/log"; fail "$t --version ($1)"; }
  done
  $clean "$bin/gribls" "$sample" >"$work/log" 2>&1 || { cat "$work/log"; fail "gribls ($1)"; }
  $clean "$bin/gribcheck" "$sample" >"$work/log" 2>&1 || { cat "$work/log"; fail "gribcheck ($1)"; }
  rm -f "$work/packed.grb" "$work/restored.grb"
  python "$1"
}

# The Python module, when the build made it: it imports from the installed
# tree through PYTHONPATH, reads the sample, and xarray finds its engine.
python() {
  site=$1/lib/python3/dist-packages
  [ -e "$site/valmora/__init__.py" ] || return 0
  [ -e "$site/valmora-$version.dist-info/entry_points.txt" ] || fail "missing after install: valmora-$version.dist-info"
  $clean PYTHONPATH="$site" /usr/bin/python3 -c "
import sys, valmora
with valmora.open(sys.argv[1]) as f:
    assert len(f) > 0 and f[0].values().size > 0
from importlib.metadata import entry_points
assert any(e.name == 'valmora' for e in entry_points(group='xarray.backends'))
" "$sample" >"$work/log" 2>&1 || { cat "$work/log"; fail "python module ($1)"; }
}
tools "$prefix"
mv "$prefix" "$work/moved"
tools "$work/moved"
mv "$work/moved" "$prefix"

# A consumer through the CMake package: CMAKE_PREFIX_PATH names the prefix.
$clean cmake -S "$source/tests/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$cflags" >"$work/log" 2>&1 || { cat "$work/log"; fail "find_package(valmora)"; }
$clean cmake --build "$work/consumer" >"$work/log" 2>&1 || { cat "$work/log"; fail "consumer build (CMake)"; }
$clean "$work/consumer/consumer" >"$work/log" 2>&1 || { cat "$work/log"; fail "consumer run (CMake)"; }

# A consumer through pkg-config, with the run path the README gives.
pc="env PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config"
$clean sh -c "cc $cflags -o '$work/pc-consumer' '$source/tests/consumer/main.c' \
  \$($pc --cflags --libs valmora) -Wl,-rpath,\$($pc --variable=libdir valmora)" >"$work/log" 2>&1 ||
  { cat "$work/log"; fail "consumer build (pkg-config)"; }
$clean "$work/pc-consumer" >"$work/log" 2>&1 || { cat "$work/log"; fail "consumer run (pkg-config)"; }
echo "install: tools ran from two prefixes; package and pkg-config consumers ran"
