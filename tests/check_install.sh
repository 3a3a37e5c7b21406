#!/bin/sh
# Installs the build tree into a scratch prefix and builds a consumer against
# it twice: through the CMake package and through pkg-config.
set -eu
build=$1
source=$2
# Consumers take the flags the library was built with (sanitizer runtimes).
cflags=${3:-}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
for f in include/valmora.h bin/recpack bin/recunpack; do
  [ -e "$prefix/$f" ] || { echo "missing after install: $f"; exit 1; }
done
lib=$(find "$prefix" -name 'libvalmora.so.0' | head -n 1)
[ -n "$lib" ] || { echo "missing after install: libvalmora.so.0"; exit 1; }
libdir=$(dirname "$lib")
cmake -S "$source/tests/consumer" -B "$prefix/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_FLAGS="$cflags" >/dev/null
cmake --build "$prefix/consumer" >/dev/null
LD_LIBRARY_PATH=$libdir "$prefix/consumer/consumer"
PKG_CONFIG_PATH=$libdir/pkgconfig
export PKG_CONFIG_PATH
cc $cflags -o "$prefix/pc-consumer" "$source/tests/consumer/main.c" $(pkg-config --cflags --libs valmora)
LD_LIBRARY_PATH=$libdir "$prefix/pc-consumer"
echo "install: package and pkg-config consumers ran"
