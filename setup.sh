#!/bin/sh
# Set-up on a Debian machine, run as root or by a user with sudo (only to
# install missing packages; the build itself needs neither):
#   ./setup.sh demo   installs what is missing, builds, and packs then unpacks
#                     the bundled sample, showing sizes and the exact round trip
#   ./setup.sh test   installs what is missing, builds with warnings as errors
#                     and runs the whole test suite: ctest, then the Python
#                     module's tests with Debian's /usr/bin/python3
set -eu
cd "$(dirname "$0")"
what=${1:-demo}
build=${VALMORA_BUILD:-build}

packages="cmake make g++ pkg-config libaec-dev libzstd-dev libopenjp2-7-dev libpng-dev python3-dev python3-numpy
  python3-pybind11 pybind11-dev"
case $what in
  demo) ;;
  test) packages="$packages libgtest-dev libbenchmark-dev libeccodes-tools libeccodes-data libeccodes-dev python-grib-doc
    python3-xarray python3-dask python3-distributed python3-pytest python3-cfgrib python3-eccodes" ;;
  *) echo "usage: $0 demo|test" >&2; exit 2 ;;
esac

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  # Installing packages needs root: run as root, or through sudo.
  if [ "$(id -u)" -eq 0 ]; then
    sudo=""
  elif command -v sudo >/dev/null 2>&1; then
    sudo=sudo
  else
    echo "setup: missing Debian packages:$missing; installing them needs root or sudo, and neither is available" >&2
    exit 1
  fi
  echo "setup: installing the Debian packages$missing with apt-get${sudo:+ through sudo} (needs root or sudo)"
  $sudo apt-get update
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi

jobs=$(nproc 2>/dev/null || echo 2)
if [ "$what" = demo ]; then
  cmake -S . -B "$build" -DVALMORA_TESTS=OFF -DVALMORA_BENCH=OFF >/dev/null
  cmake --build "$build" -j"$jobs" >/dev/null
  exec sh examples/demo.sh "$build" tests/data/sample.grb
fi

cmake -S . -B "$build" -DVALMORA_WERROR=ON -DVALMORA_TESTS=ON -DVALMORA_BENCH=ON -DVALMORA_PYTHON=ON >/dev/null
cmake --build "$build" -j"$jobs"
ctest --test-dir "$build" -j"$jobs" --output-on-failure

# The Python module from the build tree. pytest's status 5 (no tests
# collected) fails the run like any other non-zero status.
case $build in /*) pybuild=$build ;; *) pybuild=$PWD/$build ;; esac
status=0
PYTHONPATH="$pybuild/python" /usr/bin/python3 -m pytest -q -p no:cacheprovider python/tests || status=$?
if [ "$status" -ne 0 ]; then
  echo "setup: the Python tests failed (pytest status $status)" >&2
  exit 1
fi
