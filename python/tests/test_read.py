"""Fields read by valmora against ecCodes: values, keys, coordinates; the
packed copies against the plain files; errors."""
import concurrent.futures
import os
import warnings

import numpy as np
import pytest

import valmora
from conftest import eccodes, eccodes_messages

GRIB1_FILES = ["regular_ll", "regular_gg", "reduced_gg", "ensemble", "mixed", "wide24"]
GRIB2_FILES = ["g2_regular_ll", "g2_ccsds", "g2_reduced_gg", "g2_ensemble",
               "/usr/share/doc/python-grib-doc/examples/gfs.t12z.pgrbf120.2p5deg.grib2",
               "/usr/share/doc/python-grib-doc/examples/ecmwf_tigge.grb"]
KEYS = ["shortName", "paramId", "name", "units", "cfVarName", "typeOfLevel", "level", "dataDate", "dataTime",
        "step", "stepType", "gridType", "numberOfPoints", "centre", "editionNumber", "dataType"]


@pytest.mark.parametrize("name", GRIB1_FILES + GRIB2_FILES)
def test_values_keys_and_coordinates_as_eccodes(files, name):
    path = files.get(name, name)
    if not os.path.exists(path):
        pytest.skip("no file %s" % path)
    handles = eccodes_messages(path)
    try:
        with valmora.open(path) as f:
            assert len(f) == len(handles)
            for field, h in zip(f, handles):
                want = eccodes.codes_get_values(h)
                got = field.values()
                e = eccodes.codes_get(h, "binaryScaleFactor")
                d = eccodes.codes_get(h, "decimalScaleFactor")
                step = 2.0 ** e / 10.0 ** d
                # ecCodes gives missing points its missingValue (which a
                # field without a bit map may well hold as a value).
                missing = eccodes.codes_get(h, "missingValue")
                if eccodes.codes_get(h, "bitmapPresent"):
                    assert np.array_equal(np.isnan(got), want == missing)
                else:
                    assert not np.isnan(got).any()
                assert np.max(np.abs(got - want)[~np.isnan(got)], initial=0) <= 1e-6 * step
                # TIGGE data (production status 4 and 5) take ecCodes' TIGGE
                # names, which these tables leave out.
                # A parameter the WMO tables leave to a centre's own (numbers of
                # local use, 192 to 254, or a centre's entry) is named from its
                # numbers.
                tigge = field.get("productionStatusOfProcessedData") in (4, 5)
                local = field["paramId"] == 0 and field.get("editionNumber") == 2
                if local:
                    assert field["shortName"] == "p%d.%d.%d" % (
                        field["discipline"], field["parameterCategory"], field["parameterNumber"])
                for key in KEYS:
                    if not ((tigge or local) and key in ("shortName", "paramId", "name", "units", "cfVarName")):
                        assert field.get(key) == eccodes.codes_get(h, key), key
                if eccodes.codes_is_defined(h, "number"):
                    assert field["number"] == eccodes.codes_get(h, "number")
                if field["gridType"] == "reduced_gg":
                    assert list(field["pl"]) == list(eccodes.codes_get_array(h, "pl"))
                else:
                    assert (field["Ni"], field["Nj"]) == (eccodes.codes_get(h, "Ni"), eccodes.codes_get(h, "Nj"))
                lats, lons = field.latlons()
                assert np.allclose(lats, eccodes.codes_get_array(h, "latitudes"), atol=1e-6)
                assert np.allclose(lons, eccodes.codes_get_array(h, "longitudes"), atol=1e-6)
    finally:
        for h in handles:
            eccodes.codes_release(h)


@pytest.mark.parametrize("name", GRIB1_FILES)
def test_packed_copy_reads_bit_for_bit_as_the_plain_file(files, name):
    with valmora.open(files[name]) as plain, valmora.open(files[name + "_packed"]) as packed:
        assert len(plain) == len(packed)
        assert any(f["recpackPacked"] for f in packed)
        for a, b in zip(plain, packed):
            assert np.array_equal(a.values(), b.values())
            assert np.array_equal(a.values(np.float32), b.values(np.float32))
            for key in KEYS:
                assert a[key] == b[key], key


def test_float32_shape_missing_and_bytes(files, tmp_path):
    path = files["regular_ll"]
    with valmora.open(path) as f:
        field = f[0]
        v64, v32 = field.values(), field.values(dtype=np.float32)
        assert v32.dtype == np.float32 and np.array_equal(v32, v64.astype(np.float32))
        grid = field.values(shape=True)
        assert grid.shape == (field["Nj"], field["Ni"]) and np.array_equal(grid.ravel(), v64)
        with open(path, "rb") as raw:
            octets = raw.read()
    from_bytes = valmora.open(octets)
    assert [g.offset for g in from_bytes] == [g.offset for g in valmora.open(path)]
    assert np.array_equal(from_bytes[0].values(), v64)

    # A bit map: missing points come as NaN, or as the value asked for.
    with open("/usr/share/eccodes/samples/regular_ll_sfc_grib1.tmpl", "rb") as src:
        h = eccodes.codes_grib_new_from_file(src)
    n = eccodes.codes_get(h, "numberOfPoints")
    values = np.linspace(200, 300, n)
    values[::7] = 9999
    eccodes.codes_set(h, "bitmapPresent", 1)
    eccodes.codes_set(h, "missingValue", 9999)
    eccodes.codes_set(h, "bitsPerValue", 16)
    eccodes.codes_set_values(h, values)
    masked = tmp_path / "bitmap.grib1"
    with open(masked, "wb") as out:
        eccodes.codes_write(h, out)
    want = eccodes.codes_get_values(h)
    eccodes.codes_release(h)
    field = valmora.open(masked)[0]
    got = field.values()
    assert np.array_equal(np.isnan(got), want == 9999)
    assert np.allclose(got[~np.isnan(got)], want[want != 9999])
    assert np.array_equal(field.values(missing=-1.0) == -1.0, want == 9999)


def test_threads_decode_the_same_values(files):
    with valmora.open(files["regular_gg_packed"]) as f:
        one = f.values(threads=1)
        two = f.values(threads=2)
        with concurrent.futures.ThreadPoolExecutor(4) as pool:
            many = list(pool.map(lambda fld: fld.values(np.float32), list(f) * 4))
    for a, b in zip(one, two):
        assert np.array_equal(a, b)
    for i, v in enumerate(many):
        assert np.array_equal(v, one[i % len(one)].astype(np.float32))


def test_damaged_records_skip_with_a_warning_and_errors_name_the_offset(files, tmp_path):
    with open(files["regular_ll_packed"], "rb") as f:
        data = bytearray(f.read())
    fields = valmora.open(bytes(data)).fields
    second = fields[1]
    # The end section of the second record broken: it is skipped, the others stay.
    broken = bytearray(data)
    broken[second.offset + second.length - 4:second.offset + second.length] = b"XXXX"
    with pytest.warns(valmora.ValmoraWarning, match="offset %d" % second.offset):
        f = valmora.open(bytes(broken))
    assert [g.offset for g in f] == [g.offset for g in fields if g.offset != second.offset]
    # The szip data of the third record garbled: its values raise, naming it.
    third = fields[2]
    garbled = bytearray(data)
    mid = third.offset + third.length // 2
    garbled[mid:mid + 16] = bytes(16)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        g = valmora.open(bytes(garbled))
    with pytest.raises(valmora.ValmoraError, match="offset %d" % third.offset):
        g[2].values()
    assert np.array_equal(g[0].values(), fields[0].values())
    # A file cut inside a record.
    with pytest.warns(valmora.ValmoraWarning, match="cut short"):
        cut = valmora.open(bytes(data[:fields[-1].offset + 20]))
    assert len(cut) == len(fields) - 1
    with pytest.raises(FileNotFoundError):
        valmora.open(tmp_path / "no such file")
    assert len(valmora.open(b"")) == 0


def test_names_of_parameters_no_table_knows():
    from valmora import names
    unknown = names.parameter({"editionNumber": 1, "centre": 7, "table2Version": 200,
                               "indicatorOfParameter": 130})
    assert unknown["shortName"] == "p130.200" and unknown["paramId"] == 0
    grib2 = names.parameter({"editionNumber": 2, "discipline": 0, "parameterCategory": 0, "parameterNumber": 0})
    assert (grib2["shortName"], grib2["paramId"], grib2["units"]) == ("t", 130, "K")
    assert names.parameter({"editionNumber": 2, "discipline": 0, "parameterCategory": 250,
                            "parameterNumber": 7})["shortName"] == "p0.250.7"
    wmo = names.parameter({"editionNumber": 1, "centre": 7, "table2Version": 2, "indicatorOfParameter": 11})
    assert (wmo["shortName"], wmo["units"]) == ("t", "K")
