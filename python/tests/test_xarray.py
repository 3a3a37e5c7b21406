"""The engine's datasets against cfgrib's for the same files; laziness,
Dask chunks and open_mfdataset on a local cluster."""
import os

import numpy as np
import pytest

import valmora
from valmora import xarray_backend

xr = pytest.importorskip("xarray")
pytest.importorskip("cfgrib")


def cfgrib_dataset(path, **kwargs):
    return xr.open_dataset(path, engine="cfgrib", backend_kwargs=dict(indexpath=""), **kwargs)


def assert_same_dataset(want, got, coord_atol=1e-6):
    """Names, dimensions, coordinates, attributes both give, and values.
    Rotated grids' coordinates agree with ecCodes' to some 4e-6 degrees
    (each rotates in its own way), hence coord_atol."""
    assert set(got.variables) == set(want.variables)
    assert set(got.coords) == set(want.coords)
    assert dict(got.sizes) == dict(want.sizes)
    for name in want.variables:
        a, b = want[name], got[name]
        assert a.dims == b.dims, name
        assert a.dtype == b.dtype, name
        if a.dtype.kind == "f":
            atol = coord_atol if name in ("latitude", "longitude") else 1e-6
            assert np.allclose(a.values, b.values, equal_nan=True, rtol=0, atol=atol), name
        else:
            assert np.array_equal(a.values, b.values), name
        assert set(a.attrs) == set(b.attrs), (name, set(a.attrs) ^ set(b.attrs))
        for k in a.attrs:
            assert np.array_equal(a.attrs[k], b.attrs[k]), (name, k, a.attrs[k], b.attrs[k])
    for k in set(want.attrs) - {"history"}:
        assert want.attrs[k] == got.attrs[k], k


@pytest.mark.parametrize("name", ["regular_ll", "regular_gg", "reduced_gg", "ensemble",
                                  "g2_regular_ll", "g2_ccsds", "g2_reduced_gg", "g2_ensemble"])
def test_dataset_as_cfgrib(files, name):
    want = cfgrib_dataset(files[name])
    got = xr.open_dataset(files[name], engine="valmora")
    assert_same_dataset(want, got)
    if name + "_packed" not in files:
        return
    # The packed copy gives the same dataset, values bit for bit.
    packed = xr.open_dataset(files[name + "_packed"], engine="valmora")
    assert_same_dataset(got, packed)
    for v in got.data_vars:
        assert np.array_equal(got[v].values, packed[v].values, equal_nan=True)


@pytest.mark.parametrize("path", ["/usr/share/eccodes/samples/polar_stereographic_pl_grib1.tmpl",
                                  "/usr/share/eccodes/samples/rotated_ll_sfc_grib1.tmpl",
                                  "/usr/share/doc/python-grib-doc/examples/rotated_ll.grib1",
                                  "/usr/share/eccodes/samples/GRIB1.tmpl"])
def test_projected_and_rotated_grids_as_cfgrib(path, tmp_path):
    if not os.path.exists(path):
        pytest.skip("no file %s" % path)
    # The .tmpl name is not one the engine claims: open a copy.
    import shutil
    copy = str(tmp_path / "field.grib1")
    shutil.copy(path, copy)
    assert_same_dataset(cfgrib_dataset(copy), xr.open_dataset(copy, engine="valmora"), coord_atol=1e-5)


def test_float64_option(files):
    want = cfgrib_dataset(files["regular_gg"])
    got = xr.open_dataset(files["regular_gg"], engine="valmora", dtype="float64")
    assert got["t"].dtype == np.float64
    assert np.array_equal(got["t"].values.astype(np.float32), want["t"].values)


def test_mixed_level_types(files):
    path = files["mixed"]
    # "t" on two level types fits no single hypercube, for cfgrib neither.
    with pytest.raises(xarray_backend.DatasetBuildError, match="typeOfLevel"):
        xr.open_dataset(path, engine="valmora")
    with pytest.raises(Exception, match="typeOfLevel"):
        cfgrib_dataset(path)
    for level in ("surface", "isobaricInhPa"):
        fbk = {"typeOfLevel": level}
        assert_same_dataset(cfgrib_dataset(path, filter_by_keys=fbk),
                            xr.open_dataset(path, engine="valmora", filter_by_keys=fbk))
    import cfgrib
    want = cfgrib.open_datasets(path, backend_kwargs=dict(indexpath=""))
    got = valmora.open_datasets(path)
    assert len(got) == len(want) == 2
    for a, b in zip(want, got):
        assert_same_dataset(a, b)


def test_lazy_no_index_file_and_one_chunk_per_field(files, tmp_path, monkeypatch):
    import shutil
    path = str(tmp_path / "copy.grib")
    shutil.copy(files["regular_ll_packed"], path)
    calls = []
    real = valmora._core.values_float

    class Counting:
        def __getattr__(self, name):
            return getattr(valmora._core, name)

        @staticmethod
        def values_float(*args):
            calls.append(args[1])
            return real(*args)

    monkeypatch.setattr(xarray_backend, "_core", Counting())
    ds = xr.open_dataset(path, engine="valmora")
    assert calls == [] and os.listdir(tmp_path) == ["copy.grib"]
    one = ds["t"].isel(isobaricInhPa=1, step=2).values
    assert len(calls) == 1
    full = ds["t"].load()
    assert len(calls) == 1 + 9 and np.array_equal(full.isel(isobaricInhPa=1, step=2).values, one)
    chunked = xr.open_dataset(path, engine="valmora", chunks={})
    assert chunked["t"].data.numblocks == (3, 3, 1, 1)
    assert np.array_equal(chunked["t"].values, full.values)


def test_open_mfdataset_parallel_on_a_local_cluster(files):
    distributed = pytest.importorskip("distributed")
    paths = [files["regular_gg"], files["regular_gg_packed"]]
    serial = xr.open_mfdataset(paths[:1], engine="valmora", combine="by_coords")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        parallel = xr.open_mfdataset(paths[:1], engine="valmora", parallel=True, chunks={},
                                     combine="by_coords")
        assert_same_dataset(serial.load(), parallel.load())
        both = xr.open_mfdataset(paths, engine="valmora", parallel=True, chunks={},
                                 combine="nested", concat_dim="file")
        values = both["t"].values
    assert np.array_equal(values[0], values[1], equal_nan=True)
    assert np.array_equal(values[0], serial["t"].values, equal_nan=True)
