"""Packing from Python against the recpack program, restoring, errors, and
memory over many open/decode/close cycles."""
import os
import subprocess

import numpy as np
import pytest

import valmora

# The program of the same build: the module lies in <build>/python/valmora.
BUILD = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(valmora._core.__file__))))
RECPACK = os.path.join(BUILD, "recpack")
needs_program = pytest.mark.skipif(not os.access(RECPACK, os.X_OK), reason="no recpack program beside the module")


def records(path):
    with valmora.open(path) as f:
        data = bytes(f.data)
        return [data[g.offset:g.offset + g.length] for g in f]


@needs_program
@pytest.mark.parametrize("name", ["regular_ll", "reduced_gg", "wide24", "g2_regular_ll"])
@pytest.mark.parametrize("options", [(), ("--compat",), ("--grib2",)])
def test_pack_record_gives_the_program_output(files, tmp_path, name, options):
    out = tmp_path / "packed.grb"
    subprocess.run([RECPACK] + list(options) + [files[name], str(out)], check=True, capture_output=True)
    kw = {"compat": "--compat" in options, "grib2": "--grib2" in options}
    ours = b"".join(valmora.pack_record(r, **kw) for r in records(files[name]))
    assert ours == out.read_bytes()


@pytest.mark.parametrize("name", ["regular_ll", "regular_gg", "wide24", "g2_regular_ll"])
@pytest.mark.parametrize("compat", [False, True])
def test_unpack_record_restores_every_octet(files, name, compat):
    grib2 = name.startswith("g2_")
    for plain in records(files[name]):
        packed = valmora.pack_record(plain, compat=compat, grib2=grib2)
        assert len(packed) < len(plain) or packed[:len(plain)] == plain  # a small one not worth it
        restored = valmora.unpack_record(packed, grib2=grib2)
        assert restored[:len(plain)] == plain and restored[len(plain):] == bytes(len(restored) - len(plain))
        if not grib2:  # not packed: as it is, padded as recunpack pads it
            same = valmora.unpack_record(plain)
            assert same[:len(plain)] == plain and same[len(plain):] == bytes(len(same) - len(plain))


def test_packing_errors_raise(files):
    with pytest.raises(valmora.ValmoraError):
        valmora.pack_record(b"")
    # What is no record is carried as it stands, as recpack carries it.
    assert valmora.pack_record(b"GRIB and nothing a record needs").rstrip(b"\0") == b"GRIB and nothing a record needs"
    for compat in (False, True):
        packed = bytearray(valmora.pack_record(records(files["regular_gg"])[0], compat=compat))
        packed[len(packed) // 2:len(packed) // 2 + 32] = bytes(32)
        with pytest.raises(valmora.ValmoraError, match="damaged"):
            valmora.unpack_record(bytes(packed))


@needs_program
def test_pack_file_gives_the_program_output(files, tmp_path):
    # Octets between records and after the last are carried over too.
    src = tmp_path / "src.grb"
    src.write_bytes(b"header" + open(files["regular_ll"], "rb").read() + b"trailer")
    want = tmp_path / "program.grb"
    subprocess.run([RECPACK, str(src), str(want)], check=True, capture_output=True)
    for workers in (1, 2, 0):
        got = tmp_path / ("python%d.grb" % workers)
        result = valmora.pack(src, got, workers=workers)
        assert got.read_bytes() == want.read_bytes()
        assert result.records_coded + result.records_copied == 9 and result.records_coded > 0
        assert (result.octets_in, result.octets_out) == (src.stat().st_size, got.stat().st_size)
    # The options as the program's.
    mixed = tmp_path / "mixed.grb"
    mixed.write_bytes(src.read_bytes() + open(files["g2_regular_ll"], "rb").read())
    for options in (["--compat"], ["--grib2"]):
        program = tmp_path / "program_options.grb"
        subprocess.run([RECPACK] + options + [str(mixed), str(program)], check=True, capture_output=True)
        got = tmp_path / "python_options.grb"
        valmora.pack(mixed, got, compat="--compat" in options, grib2="--grib2" in options)
        assert got.read_bytes() == program.read_bytes()
    back = tmp_path / "restored.grb"
    result = valmora.unpack(want, back, workers=2)
    assert result.records_coded > 0 and result.records_left_packed == 0
    program = tmp_path / "program_restored.grb"
    subprocess.run([RECPACK[:-len("recpack")] + "recunpack", str(want), str(program)], check=True,
                   capture_output=True)
    assert back.read_bytes() == program.read_bytes()


def test_pack_file_errors_raise(files, tmp_path):
    with pytest.raises(FileNotFoundError):
        valmora.pack(tmp_path / "no such file", tmp_path / "out.grb")
    # A packed record whose data are damaged stays packed: unpack raises,
    # with the counts in the exception.
    data = bytearray(valmora.pack_record(records(files["regular_gg"])[0]))
    data[len(data) // 2:len(data) // 2 + 32] = bytes(32)
    damaged = tmp_path / "damaged.grb"
    damaged.write_bytes(bytes(data))
    with pytest.raises(valmora.ValmoraError, match="not every octet") as caught:
        valmora.unpack(damaged, tmp_path / "out.grb")
    assert caught.value.result.records_left_packed == 1
    with pytest.raises(valmora.ValmoraError, match="refuses"):
        valmora.pack(files["regular_ll"], tmp_path / "out.grb", workers=5000)


def resident_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def test_no_memory_growth_over_many_cycles(files):
    import xarray as xr

    def cycle():
        with valmora.open(files["regular_gg_packed"]) as f:
            for field in f:
                field.values(np.float32)
                field.latlons()
        with xr.open_dataset(files["regular_ll_packed"], engine="valmora") as ds:
            ds.load()

    for _ in range(50):
        cycle()
    before = resident_kib()
    for _ in range(450):
        cycle()
    grown = resident_kib() - before
    assert grown < 8 * 1024, "resident memory grew by %d KiB over 450 cycles" % grown
