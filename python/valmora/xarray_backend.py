"""The xarray engine "valmora": GRIB files as datasets laid out as cfgrib
lays them out, with values decoded only when indexed.

    xarray.open_dataset("file.grb", engine="valmora")
    xarray.open_dataset("file.grb", engine="valmora", filter_by_keys={"typeOfLevel": "surface"})
    valmora.open_datasets("mixed.grb")

Opening reads the headers of every field and nothing else; no index file is
written. The arrays pickle as the file's path and the fields' offsets, so
they travel to Dask workers, which map the file once per process.
"""
import collections
import concurrent.futures
import datetime
import os
import threading

import numpy as np
import xarray as xr
from xarray.backends import BackendArray, BackendEntrypoint
from xarray.core import indexing

from . import _core
from ._reader import File

# Keys whose values must be one per variable (or the file splits), those
# read from its first field, and those of each kind of grid: the attributes
# cfgrib gives a data variable, as "GRIB_<key>".
DATA_ATTRIBUTES_KEYS = ["paramId", "dataType", "numberOfPoints", "typeOfLevel", "stepUnits", "stepType",
                        "gridType"]
EXTRA_DATA_ATTRIBUTES_KEYS = ["shortName", "units", "name", "cfName", "cfVarName", "missingValue",
                              "totalNumber", "numberOfDirections", "numberOfFrequencies", "NV",
                              "gridDefinitionDescription"]
_LL = ["iDirectionIncrementInDegrees", "iScansNegatively", "jPointsAreConsecutive", "jScansPositively",
       "latitudeOfFirstGridPointInDegrees", "latitudeOfLastGridPointInDegrees",
       "longitudeOfFirstGridPointInDegrees", "longitudeOfLastGridPointInDegrees"]
_ROTATION = ["angleOfRotationInDegrees", "latitudeOfSouthernPoleInDegrees", "longitudeOfSouthernPoleInDegrees"]
GRID_TYPE_MAP = {
    "regular_ll": _LL + ["Nx", "Ny", "jDirectionIncrementInDegrees"],
    "rotated_ll": _LL + _ROTATION + ["Nx", "Ny", "jDirectionIncrementInDegrees"],
    "reduced_ll": ["Ny", "jDirectionIncrementInDegrees", "jPointsAreConsecutive", "jScansPositively",
                   "latitudeOfFirstGridPointInDegrees", "latitudeOfLastGridPointInDegrees"],
    "regular_gg": _LL + ["N", "Ni", "Nj"],
    "rotated_gg": _LL + _ROTATION + ["Nx", "Ny", "N"],
    "reduced_gg": ["N", "pl"],
    "sh": ["M", "K", "J"],
}
GLOBAL_ATTRIBUTES_KEYS = ["edition", "centre", "centreDescription", "subCentre"]

COORD_ATTRS = {
    "latitude": {"units": "degrees_north", "standard_name": "latitude", "long_name": "latitude"},
    "longitude": {"units": "degrees_east", "standard_name": "longitude", "long_name": "longitude"},
    "depthBelowLand": {"units": "m", "positive": "down", "long_name": "soil depth", "standard_name": "depth"},
    "depthBelowLandLayer": {"units": "m", "positive": "down", "long_name": "soil depth",
                            "standard_name": "depth"},
    "hybrid": {"units": "1", "positive": "down", "long_name": "hybrid level",
               "standard_name": "atmosphere_hybrid_sigma_pressure_coordinate"},
    "heightAboveGround": {"units": "m", "positive": "up", "long_name": "height above the surface",
                          "standard_name": "height"},
    "isobaricInhPa": {"units": "hPa", "positive": "down", "stored_direction": "decreasing",
                      "standard_name": "air_pressure", "long_name": "pressure"},
    "isobaricInPa": {"units": "Pa", "positive": "down", "stored_direction": "decreasing",
                     "standard_name": "air_pressure", "long_name": "pressure"},
    "isobaricLayer": {"units": "Pa", "positive": "down", "standard_name": "air_pressure",
                      "long_name": "pressure"},
    "number": {"units": "1", "standard_name": "realization", "long_name": "ensemble member numerical id"},
    "step": {"units": "hours", "standard_name": "forecast_period",
             "long_name": "time since forecast_reference_time"},
    "time": {"units": "seconds since 1970-01-01T00:00:00", "calendar": "proleptic_gregorian",
             "standard_name": "forecast_reference_time", "long_name": "initial time of forecast"},
    "valid_time": {"units": "seconds since 1970-01-01T00:00:00", "calendar": "proleptic_gregorian",
                   "standard_name": "time", "long_name": "time"},
}
GRID_TYPES_DIMENSION_COORDS = {"regular_ll", "regular_gg"}
GRID_TYPES_2D_NON_DIMENSION_COORDS = {"rotated_ll", "rotated_gg", "lambert", "polar_stereographic"}
HEADER_KEYS = ["number", "time", "step", "level"]
_EPOCH = datetime.datetime(1970, 1, 1)


class DatasetBuildError(ValueError):
    """Fields that do not fit one hypercube: args are (message, key, the
    filter_by_keys that would open each part)."""

    def __str__(self):
        return str(self.args[0])


# ---- Files, opened once per process ------------------------------------------

_files = collections.OrderedDict()
_files_lock = threading.Lock()
# Files kept mapped at once; the least recently used is let go (arrays
# still reading it keep it alive until they finish).
_FILES_KEPT = 32


def _file(path):
    """The mapped file for path, shared by every array of this process; a
    file rewritten since it was mapped is mapped again."""
    st = os.stat(path)
    key = (path, st.st_ino, st.st_size, st.st_mtime_ns)
    with _files_lock:
        f = _files.get(key)
        if f is None:
            f = _files[key] = File(path)
            while len(_files) > _FILES_KEPT:
                _files.popitem(last=False)
        _files.move_to_end(key)
        return f


def _header(field):
    """The per-field values the dataset is built from."""
    k = field.keys
    date, time = k["dataDate"], k["dataTime"]
    ref = datetime.datetime(date // 10000, date // 100 % 100, date % 100, time // 100, time % 100)
    h = dict(k)
    h["time"] = int((ref - _EPOCH).total_seconds())
    h["step"] = k.get("endStep", 0)
    h["level"] = float(k.get("level", 0))
    h["edition"] = k["editionNumber"]
    return h


def _matches(h, filter_by_keys):
    for key, want in filter_by_keys.items():
        have = h.get(key)
        if isinstance(want, (list, tuple, set)):
            if have not in want and str(have) not in map(str, want):
                return False
        elif have != want and str(have) != str(want):
            return False
    return True


# ---- The lazy array --------------------------------------------------------------

class ValmoraArray(BackendArray):
    """A data variable: header dimensions, each index of which is one field,
    then the grid. Values are decoded when indexed, several fields at once
    on threads (the decoder releases the GIL)."""

    def __init__(self, path, shape, dtype, geo_ndim, fields):
        self.path = path
        self.shape = tuple(shape)
        self.dtype = np.dtype(dtype)
        self.geo_ndim = geo_ndim
        self.fields = fields  # header index tuple -> (offset, length, field index)

    def __getitem__(self, key):
        return indexing.explicit_indexing_adapter(key, self.shape, indexing.IndexingSupport.BASIC,
                                                  self._getitem)

    def _getitem(self, key):
        nh = len(self.shape) - self.geo_ndim
        head, geo = key[:nh], key[nh:]
        ranges = [range(self.shape[i])[k] if isinstance(k, slice) else [k] for i, k in enumerate(head)]
        # Left unset where a field will be decoded: the decoders write it
        # first, on their own threads, rather than one pass of NaN before.
        out = np.empty(tuple(len(r) for r in ranges) + self.shape[nh:], dtype=self.dtype)
        where = {}
        for idx in np.ndindex(*out.shape[:nh]):
            at = tuple(r[i] for r, i in zip(ranges, idx))
            if at in self.fields:
                where[idx] = self.fields[at]
            else:
                out[idx] = np.nan  # no field for this place in the hypercube
        f = _file(self.path)

        decoder = _core.values_float if self.dtype == np.float32 else _core.values_double

        def decode(item):
            idx, (offset, length, index) = item
            # Straight into the output: each field's block is contiguous.
            decoder(f.data, offset, length, index, np.nan, out[idx].reshape(-1))

        items = list(where.items())
        if len(items) > 1:
            threads = min(len(items), os.cpu_count() or 1)
            with concurrent.futures.ThreadPoolExecutor(threads) as pool:
                list(pool.map(decode, items))
        else:
            for item in items:
                decode(item)
        out = out[(Ellipsis,) + tuple(geo)]
        # Integer indices drop their dimensions, as basic indexing does.
        drop = tuple(0 if isinstance(k, (int, np.integer)) else slice(None) for k in head)
        return out[drop]


# ---- Building the dataset ------------------------------------------------------

def _unique_attributes(headers, keys, filter_by_keys):
    attrs = {}
    for key in keys:
        values = []
        for h in headers:
            v = h.get(key)
            if v is not None and v not in values:
                values.append(v)
        if len(values) > 1:
            fbks = [dict(filter_by_keys, **{key: v}) for v in values]
            raise DatasetBuildError("multiple values for key %r" % key, key, fbks)
        if values and values[0] not in ("undef", "unknown"):
            attrs["GRIB_" + key] = values[0]
    return attrs


def _geography(first, field):
    grid = first["gridType"]
    if grid in GRID_TYPES_DIMENSION_COORDS:
        lats, lons = field.distinct_latlons()
        lat_attrs = dict(COORD_ATTRS["latitude"])
        if lats[0] > lats[-1]:
            lat_attrs["stored_direction"] = "decreasing"
        coords = {"latitude": xr.Variable(("latitude",), lats, lat_attrs),
                  "longitude": xr.Variable(("longitude",), lons, dict(COORD_ATTRS["longitude"]))}
        return ("latitude", "longitude"), field.shape, coords
    if grid in GRID_TYPES_2D_NON_DIMENSION_COORDS and first.get("Nx") and first.get("Ny"):
        shape = (first["Ny"], first["Nx"])
        lats, lons = field.latlons()
        coords = {"latitude": xr.Variable(("y", "x"), lats.reshape(shape), dict(COORD_ATTRS["latitude"])),
                  "longitude": xr.Variable(("y", "x"), lons.reshape(shape), dict(COORD_ATTRS["longitude"]))}
        return ("y", "x"), shape, coords
    coords = {}
    try:
        lats, lons = field.latlons()
        coords = {"latitude": xr.Variable(("values",), lats, dict(COORD_ATTRS["latitude"])),
                  "longitude": xr.Variable(("values",), lons, dict(COORD_ATTRS["longitude"]))}
    except Exception:  # a grid without coordinates here: the values alone
        pass
    return ("values",), (first["numberOfPoints"],), coords


def _variable(path, fields, headers, filter_by_keys, dtype, squeeze):
    attrs = _unique_attributes(headers, DATA_ATTRIBUTES_KEYS, filter_by_keys)
    first = headers[0]
    grid_keys = GRID_TYPE_MAP.get(first["gridType"], [])
    for key in sorted(EXTRA_DATA_ATTRIBUTES_KEYS + grid_keys):
        v = first.get(key)
        if v is not None:
            attrs["GRIB_" + key] = np.array(v) if isinstance(v, list) else v
    attrs["long_name"] = attrs.get("GRIB_name", "original GRIB paramId: %s" % attrs.get("GRIB_paramId"))
    attrs["units"] = attrs.get("GRIB_units", "1")
    if "GRIB_cfName" in attrs:
        attrs["standard_name"] = attrs["GRIB_cfName"]

    coords, names = {}, {}
    for key in HEADER_KEYS:
        values = sorted({h[key] for h in headers if key in h})
        if not values:
            continue
        name = attrs.get("GRIB_typeOfLevel", "level") if key == "level" else key
        names[name] = key
        cattrs = {"long_name": "original GRIB coordinate for key: %s(%s)" % (key, name), "units": "1"}
        cattrs.update(COORD_ATTRS.get(name, {}))
        if cattrs.get("stored_direction") == "decreasing":
            values = values[::-1]
        data = np.array(values)
        if squeeze and len(values) == 1:
            coords[name] = xr.Variable((), data[0], cattrs)
        else:
            coords[name] = xr.Variable((name,), data, cattrs)
    header_dims = tuple(n for n, c in coords.items() if c.ndim == 1)
    position = {n: {v: i for i, v in enumerate(coords[n].values.tolist())} for n in header_dims}

    geo_dims, geo_shape, geo_coords = _geography(first, fields[0])
    placed = {}
    for field, h in zip(fields, headers):
        at = tuple(position[n][h[names[n]]] for n in header_dims)
        placed.setdefault(at, (field.offset, field.length, field.index))  # the first of duplicates, as cfgrib
    shape = tuple(len(position[n]) for n in header_dims) + tuple(geo_shape)
    coords.update(geo_coords)
    if "time" in coords and "step" in coords:
        t, s = coords["time"], coords["step"]
        seconds = np.asarray(s.values) * 3600
        if t.ndim and s.ndim:
            vt = xr.Variable(("time", "step"), t.values[:, None] + seconds[None, :], COORD_ATTRS["valid_time"])
        else:
            vt = xr.Variable(t.dims or s.dims, t.values + seconds, dict(COORD_ATTRS["valid_time"]))
        coords["valid_time"] = vt
    attrs["coordinates"] = " ".join(coords)
    array = ValmoraArray(path, shape, dtype, len(geo_dims), placed)
    data = indexing.LazilyIndexedArray(array)
    encoding = {"preferred_chunks": dict({d: 1 for d in header_dims}, **dict(zip(geo_dims, geo_shape)))}
    return xr.Variable(header_dims + geo_dims, data, attrs, encoding), coords


def _merge(into, new, what):
    for name, var in new.items():
        old = into.get(name)
        if old is None:
            into[name] = var
        elif not (old.dims == var.dims and np.array_equal(np.asarray(old.values), np.asarray(var.values))):
            raise DatasetBuildError("key present and new value is different: %s" % what, None, [])


def build_variables(path, filter_by_keys=None, dtype=np.float32, squeeze=True, errors="warn"):
    """(variables, attributes) of the dataset, before CF decoding."""
    filter_by_keys = dict(filter_by_keys or {})
    f = _file(path)
    fields, headers = [], []
    for field in f.fields:
        h = _header(field)
        if _matches(h, filter_by_keys):
            fields.append(field)
            headers.append(h)
    variables, attrs = {}, {}
    for param in sorted({h["paramId"] for h in headers}, key=str):
        sel = [i for i, h in enumerate(headers) if h["paramId"] == param]
        var, coords = _variable(path, [fields[i] for i in sel], [headers[i] for i in sel],
                                filter_by_keys, dtype, squeeze)
        name = var.attrs.get("GRIB_cfVarName", "unknown")
        if name in ("undef", "unknown"):
            name = var.attrs.get("GRIB_shortName", "paramId_%s" % param)
        try:
            merged = dict(variables)
            _merge(merged, coords, name)
            _merge(merged, {name: var}, name)
            variables = merged
        except DatasetBuildError:
            if errors == "raise":
                raise
            if errors == "warn":
                import warnings
                warnings.warn("skipping variable: paramId==%r shortName=%r" % (param, name))
    if headers:
        attrs = _unique_attributes(headers, GLOBAL_ATTRIBUTES_KEYS, filter_by_keys)
    attrs["Conventions"] = "CF-1.7"
    if "GRIB_centreDescription" in attrs:
        attrs["institution"] = attrs["GRIB_centreDescription"]
    attrs["history"] = "%s GRIB to CDM+CF via valmora-%s" % (
        datetime.datetime.now().isoformat()[:16], _core.library_version())
    return variables, attrs


def open_dataset(path, filter_by_keys=None, dtype=np.float32, squeeze=True, errors="warn", drop_variables=None,
                 decode_times=True, decode_timedelta=None, mask_and_scale=True, use_cftime=None):
    path = os.path.abspath(os.fspath(path))
    variables, attrs = build_variables(path, filter_by_keys, dtype, squeeze, errors)
    variables, attrs, coord_names = xr.conventions.decode_cf_variables(
        variables, attrs, mask_and_scale=mask_and_scale, decode_times=decode_times,
        decode_timedelta=decode_timedelta, drop_variables=drop_variables, use_cftime=use_cftime)
    ds = xr.Dataset(variables, attrs=attrs)
    ds = ds.set_coords(coord_names.intersection(variables))
    ds.encoding["source"] = path
    return ds


class ValmoraBackendEntrypoint(BackendEntrypoint):
    """xarray.open_dataset(path, engine="valmora", filter_by_keys={...}, dtype="float64")."""

    description = "GRIB files (plain and recpack'd) through libvalmora, laid out as cfgrib lays them out"
    open_dataset_parameters = ("filename_or_obj", "drop_variables", "filter_by_keys", "dtype", "squeeze",
                               "errors", "decode_times", "decode_timedelta", "mask_and_scale", "use_cftime")

    def open_dataset(self, filename_or_obj, *, drop_variables=None, filter_by_keys=None, dtype=np.float32,
                     squeeze=True, errors="warn", decode_times=True, decode_timedelta=None,
                     mask_and_scale=True, use_cftime=None):
        return open_dataset(filename_or_obj, filter_by_keys=filter_by_keys, dtype=dtype, squeeze=squeeze,
                            errors=errors, drop_variables=drop_variables, decode_times=decode_times,
                            decode_timedelta=decode_timedelta, mask_and_scale=mask_and_scale,
                            use_cftime=use_cftime)

    def guess_can_open(self, filename_or_obj):
        try:
            ext = os.path.splitext(os.fspath(filename_or_obj))[1]
        except TypeError:
            return False
        return ext in {".grib", ".grib1", ".grib2", ".grb", ".grb1", ".grb2"}


def _raw_open_datasets(path, filter_by_keys, **kwargs):
    try:
        return [open_dataset(path, filter_by_keys=filter_by_keys, **kwargs)]
    except DatasetBuildError as ex:
        fbks = ex.args[2]
    out = []
    for fbk in fbks:
        out.extend(_raw_open_datasets(path, fbk, **kwargs))
    return out


def open_datasets(path, filter_by_keys=None, squeeze=True, **kwargs):
    """Every hypercube of the file, split and merged as cfgrib's
    open_datasets does it: one parameter at a time, split where a key has
    several values, then merged by level type where they fit."""
    path = os.path.abspath(os.fspath(path))
    base = dict(filter_by_keys or {})
    params = sorted({_header(f)["paramId"] for f in _file(path).fields if _matches(_header(f), base)}, key=str)
    datasets = []
    for param in params:
        datasets.extend(_raw_open_datasets(path, dict(base, paramId=param), squeeze=False, **kwargs))
    by_level = {}
    for ds in datasets:
        for da in ds.data_vars.values():
            by_level.setdefault(da.attrs.get("GRIB_typeOfLevel", "undef"), []).append(ds)
    merged = []
    for level in sorted(by_level):
        for ds in _merge_datasets(by_level[level]):
            merged.append(ds.squeeze() if squeeze else ds)
    return merged


def _merge_datasets(datasets):
    merged = []
    for ds in datasets:
        ds.attrs.pop("history", None)
        for i, o in enumerate(merged):
            if all(o.attrs[k] == ds.attrs.get(k) for k in o.attrs):
                try:
                    o = xr.merge([o, ds], join="exact")
                    o.attrs.update(ds.attrs)
                    merged[i] = o
                    break
                except Exception:
                    pass
        else:
            merged.append(ds)
    return merged
