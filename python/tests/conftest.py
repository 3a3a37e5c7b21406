"""Files for the tests, made with ecCodes from its own samples: smooth fields
on real grids, several levels, steps and members, and their packed copies."""
import os

import numpy as np
import pytest

eccodes = pytest.importorskip("eccodes")
import valmora  # noqa: E402

SAMPLES = "/usr/share/eccodes/samples"


def smooth(lats, lons, shift=0.0):
    """A field that varies everywhere, so every packed code is used."""
    la, lo = np.radians(lats), np.radians(lons)
    return 250.0 + 40.0 * np.cos(la) * np.cos(2 * lo + shift) + 10.0 * np.sin(3 * la) + 5.0 * shift


def make_grib(path, sample, fields, bits=16, packing=None):
    """Writes one record per dict of keys in `fields`, each on the grid of
    `sample` with smooth values (in `packing` when given)."""
    with open(os.path.join(SAMPLES, sample), "rb") as f:
        base = eccodes.codes_grib_new_from_file(f)
    try:
        with open(path, "wb") as out:
            for i, keys in enumerate(fields):
                h = eccodes.codes_clone(base)
                for k, v in keys.items():
                    eccodes.codes_set(h, k, v)
                lats = eccodes.codes_get_array(h, "latitudes")
                lons = eccodes.codes_get_array(h, "longitudes")
                if packing:
                    eccodes.codes_set_string(h, "packingType", packing)
                eccodes.codes_set(h, "bitsPerValue", bits)
                eccodes.codes_set_values(h, smooth(lats, lons, 0.1 * i))
                eccodes.codes_write(h, out)
                eccodes.codes_release(h)
    finally:
        eccodes.codes_release(base)
    return str(path)


def packed_copy(plain, path):
    """The file with every record packed by the library."""
    with valmora.open(plain) as f:
        data = bytes(f.data)
        with open(path, "wb") as out:
            for field in f:
                out.write(valmora.pack_record(data[field.offset:field.offset + field.length]))
    return str(path)


def levels_steps(levels=(1000, 850, 500), steps=(0, 6, 12), **extra):
    return [dict(extra, level=lv, stepRange=str(st)) for lv in levels for st in steps]


@pytest.fixture(scope="session")
def files(tmp_path_factory):
    """name -> path of the test files (plain and packed)."""
    d = tmp_path_factory.mktemp("grib")
    out = {}
    out["regular_ll"] = make_grib(d / "regular_ll.grib1", "regular_ll_pl_grib1.tmpl",
                                  levels_steps(shortName="t"))
    out["regular_gg"] = make_grib(d / "regular_gg.grib1", "regular_gg_pl_grib1.tmpl",
                                  levels_steps(levels=(850, 500), steps=(0, 24)))
    out["reduced_gg"] = make_grib(d / "reduced_gg.grib1", "reduced_gg_pl_32_grib1.tmpl",
                                  levels_steps(levels=(500,), steps=(0, 6)))
    out["ensemble"] = make_grib(d / "ensemble.grib1", "regular_ll_pl_grib1.tmpl",
                                [dict(marsType="pf", number=n, totalNumber=4, level=500, stepRange=str(s))
                                 for n in (1, 2, 3, 4) for s in (0, 12)])
    mixed = [dict(shortName="t", level=lv) for lv in (850, 500)]
    mixed += [dict(shortName="2t", indicatorOfTypeOfLevel=1, level=0),
              dict(shortName="msl", indicatorOfTypeOfLevel=1, level=0),
              dict(shortName="10u", indicatorOfTypeOfLevel=1, level=0),
              dict(shortName="t", indicatorOfTypeOfLevel=1, level=0)]
    out["mixed"] = make_grib(d / "mixed.grib1", "regular_ll_pl_grib1.tmpl", mixed)
    out["wide24"] = make_grib(d / "wide24.grib1", "regular_gg_pl_grib1.tmpl", [dict(level=500)], bits=24)
    for name in list(out):
        out[name + "_packed"] = packed_copy(out[name], d / (name + ".packed.grib1"))
    out["g2_regular_ll"] = make_grib(d / "regular_ll.grib2", "regular_ll_pl_grib2.tmpl",
                                     levels_steps(shortName="t"))
    out["g2_ccsds"] = make_grib(d / "ccsds.grib2", "regular_ll_pl_grib2.tmpl", levels_steps(shortName="t"),
                                packing="grid_ccsds")
    out["g2_reduced_gg"] = make_grib(d / "reduced_gg.grib2", "reduced_gg_pl_32_grib2.tmpl",
                                     levels_steps(levels=(500,), steps=(0, 6)))
    out["g2_ensemble"] = make_grib(d / "ensemble.grib2", "regular_ll_pl_grib2.tmpl",
                                   [dict(productDefinitionTemplateNumber=1, typeOfEnsembleForecast=3, number=n,
                                         numberOfForecastsInEnsemble=4, level=500, stepRange=str(s))
                                    for n in (1, 2, 3) for s in (0, 12)])
    return out


def eccodes_messages(path):
    """ecCodes' handles of every message of the file, released after use."""
    handles = []
    eccodes.codes_grib_multi_support_on()  # every field of a message, as valmora lists them
    with open(path, "rb") as f:
        while True:
            h = eccodes.codes_grib_new_from_file(f)
            if h is None:
                break
            handles.append(h)
    return handles
