#!/usr/bin/python3
"""The Python module against cfgrib on a file of 50 fields of 1440 x 721
points, made with ecCodes from the real fields of an ECMWF TIGGE file
(python-grib-doc's example) put on a 0.25 degree grid.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_python.py [build-dir]

Times are the best of a few runs, files in the page cache. Lines:
  open          dataset built, no values (cfgrib with indexpath="", so it
                neither reads nor writes an index file)
  load simple   every value of the GRIB1 file in simple packing, 16 bits
  load CCSDS    the same fields as GRIB2 in CCSDS packing
  load packed   the simple file packed by recpack --compat (the szip form),
                against the plain load plus libaec alone decompressing the
                same szip data; and packed by recpack in its default form
  threads       decoding every field of the packed (and CCSDS) file with
                two threads against one
"""
import ctypes
import ctypes.util
import os
import subprocess
import sys
import tempfile
import time

import eccodes
import numpy as np
import xarray as xr

import valmora

SOURCE = "/usr/share/doc/python-grib-doc/examples/ecmwf_tigge.grb"
NI, NJ = 1440, 721
LEVELS = [1000, 925, 850, 700, 500, 400, 300, 250, 200, 100]
STEPS = [0, 6, 12, 18, 24]
REPEATS = 3


def real_fields():
    """The TIGGE file's fields (reduced Gaussian N200) on the 0.25 degree
    grid: linear along each row (round the globe), then between rows."""
    out = []
    with open(SOURCE, "rb") as f:
        while True:
            h = eccodes.codes_grib_new_from_file(f)
            if h is None:
                break
            pl = eccodes.codes_get_array(h, "pl").astype(int)
            values = eccodes.codes_get_values(h)
            lats = np.unique(eccodes.codes_get_array(h, "latitudes"))[::-1]
            eccodes.codes_release(h)
            lon = np.arange(NI) * 360.0 / NI
            rows = np.empty((len(pl), NI))
            at = 0
            for j, n in enumerate(pl):
                row = values[at:at + n]
                at += n
                x = np.arange(n + 1) * 360.0 / n
                rows[j] = np.interp(lon, x, np.append(row, row[0]))
            target = 90.0 - np.arange(NJ) * 0.25
            pos = np.interp(-target, -lats, np.arange(len(lats)))
            lo = np.floor(pos).astype(int).clip(0, len(lats) - 2)
            w = (pos - lo)[:, None]
            grid = rows[lo] * (1 - w) + rows[lo + 1] * w
            span = grid.max() - grid.min()
            out.append((grid - grid.min()) / (span if span else 1.0))
    return out


def make_files(d):
    fields = real_fields()
    plain, ccsds = os.path.join(d, "plain.grib1"), os.path.join(d, "ccsds.grib2")
    for path, sample, packing in ((plain, "regular_ll_pl_grib1", None), (ccsds, "regular_ll_pl_grib2", "grid_ccsds")):
        base = eccodes.codes_grib_new_from_samples(sample)
        with open(path, "wb") as out:
            i = 0
            for level in LEVELS:
                for step in STEPS:
                    h = eccodes.codes_clone(base)
                    eccodes.codes_set_long(h, "Ni", NI)
                    eccodes.codes_set_long(h, "Nj", NJ)
                    for k, v in (("latitudeOfFirstGridPointInDegrees", 90.0),
                                 ("longitudeOfFirstGridPointInDegrees", 0.0),
                                 ("latitudeOfLastGridPointInDegrees", -90.0),
                                 ("longitudeOfLastGridPointInDegrees", 359.75),
                                 ("iDirectionIncrementInDegrees", 0.25), ("jDirectionIncrementInDegrees", 0.25)):
                        eccodes.codes_set_double(h, k, v)
                    eccodes.codes_set(h, "shortName", "t")
                    eccodes.codes_set(h, "level", level)
                    eccodes.codes_set(h, "stepRange", str(step))
                    if packing:
                        eccodes.codes_set_string(h, "packingType", packing)
                    eccodes.codes_set(h, "bitsPerValue", 16)
                    eccodes.codes_set_values(h, 200.0 + 100.0 * fields[i % len(fields)].ravel())
                    eccodes.codes_write(h, out)
                    eccodes.codes_release(h)
                    i += 1
        eccodes.codes_release(base)
    return plain, ccsds


def best(fn):
    times = []
    for _ in range(REPEATS):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def forget_files():
    """Each run reads the headers again: no file kept mapped from the last."""
    from valmora import xarray_backend
    xarray_backend._files.clear()


def open_time(path, engine):
    kw = {"backend_kwargs": {"indexpath": ""}} if engine == "cfgrib" else {}

    def run():
        forget_files()
        xr.open_dataset(path, engine=engine, **kw).close()
    return best(run)


def load_time(path, engine):
    kw = {"backend_kwargs": {"indexpath": ""}} if engine == "cfgrib" else {}

    def run():
        forget_files()
        with xr.open_dataset(path, engine=engine, **kw) as ds:
            ds.load()
    return best(run)


def libaec_alone(path):
    """Time libaec takes to decompress the szip data of every record of a
    recpack'd file, through its szip interface, as the library calls it."""
    sz = ctypes.CDLL(ctypes.util.find_library("sz") or "libsz.so.2")

    class Params(ctypes.Structure):
        _fields_ = [("options_mask", ctypes.c_int), ("bits_per_pixel", ctypes.c_int),
                    ("pixels_per_block", ctypes.c_int), ("pixels_per_scanline", ctypes.c_int)]
    raw, nn, msb = 128, 32, 16  # SZ_RAW_OPTION_MASK, SZ_NN_OPTION_MASK, SZ_MSB_OPTION_MASK
    data = open(path, "rb").read()
    jobs = []
    for field in valmora.open(data):
        rec = data[field.offset:field.offset + field.length]
        g3 = lambda b, i: b[i] << 16 | b[i + 1] << 8 | b[i + 2]  # noqa: E731
        bds = 8 + g3(rec, 8)
        bds += g3(rec, bds)  # after the grid description
        bits = rec[bds + 10]
        jobs.append((rec[bds + 23:bds + 23 + g3(rec, bds + 20)], g3(rec, bds + 17), bits))

    def run():
        for zipped, length, bits in jobs:
            out = ctypes.create_string_buffer(length)
            n = ctypes.c_size_t(length)
            p = Params(raw | nn | msb, 8 if bits == 24 else bits, 8, 1024)
            if sz.SZ_BufftoBuffDecompress(out, ctypes.byref(n), zipped, ctypes.c_size_t(len(zipped)),
                                          ctypes.byref(p)) != 0:
                raise RuntimeError("libaec failed")
    return best(run)


def thread_times(path):
    with valmora.open(path) as f:
        one = best(lambda: f.values(np.float32, threads=1))
        two = best(lambda: f.values(np.float32, threads=2))
    return one, two


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    recpack = os.path.join(build, "recpack")
    with tempfile.TemporaryDirectory() as d:
        plain, ccsds = make_files(d)
        packed = os.path.join(d, "packed.grib1")
        subprocess.run([recpack, "--compat", plain, packed], check=True, capture_output=True)
        packed_form = os.path.join(d, "packed_form.grib1")
        subprocess.run([recpack, plain, packed_form], check=True, capture_output=True)
        sizes = {p: os.path.getsize(p) for p in (plain, ccsds, packed, packed_form)}
        print("file: 50 fields of %d x %d, simple %.1f MB, CCSDS %.1f MB, recpack --compat %.1f MB, recpack %.1f MB"
              % (NI, NJ, sizes[plain] / 1e6, sizes[ccsds] / 1e6, sizes[packed] / 1e6, sizes[packed_form] / 1e6))
        for p in (plain, ccsds, packed, packed_form):  # into the page cache
            open(p, "rb").read()

        cf_open, vm_open = open_time(plain, "cfgrib"), open_time(plain, "valmora")
        print("open          cfgrib %7.3f s  valmora %7.3f s  ratio %.3f" % (cf_open, vm_open, vm_open / cf_open))
        cf_load, vm_load = load_time(plain, "cfgrib"), load_time(plain, "valmora")
        print("load simple   cfgrib %7.3f s  valmora %7.3f s  ratio %.3f" % (cf_load, vm_load, vm_load / cf_load))
        cf_ccsds = load_time(ccsds, "cfgrib")
        try:
            vm_ccsds = load_time(ccsds, "valmora")
            print("load CCSDS    cfgrib %7.3f s  valmora %7.3f s  ratio %.3f" % (cf_ccsds, vm_ccsds,
                                                                                 vm_ccsds / cf_ccsds))
        except Exception as e:  # GRIB2 decoding not in this build
            print("load CCSDS    cfgrib %7.3f s  valmora: not measured (%s)" % (cf_ccsds, e))
        vm_packed, aec = load_time(packed, "valmora"), libaec_alone(packed)
        print("load packed   valmora %7.3f s  plain + 1.2 x libaec %7.3f s (libaec alone %.3f s)  ratio %.3f" % (
            vm_packed, vm_load + 1.2 * aec, aec, vm_packed / (vm_load + 1.2 * aec)))
        vm_form = load_time(packed_form, "valmora")
        print("load packed   default form: valmora %7.3f s, %.2f x the plain load" % (vm_form, vm_form / vm_load))
        one, two = thread_times(packed)
        print("threads       packed: one %7.3f s  two %7.3f s  speed-up %.2f" % (one, two, one / two))
        one, two = thread_times(packed_form)
        print("threads       packed (default form): one %7.3f s  two %7.3f s  speed-up %.2f" % (one, two, one / two))
        try:
            one, two = thread_times(ccsds)
            print("threads       CCSDS:  one %7.3f s  two %7.3f s  speed-up %.2f" % (one, two, one / two))
        except Exception as e:
            print("threads       CCSDS: not measured (%s)" % e)


if __name__ == "__main__":
    main()
