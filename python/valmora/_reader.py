"""Files of GRIB records as fields: keys, values and coordinates."""
import concurrent.futures
import builtins
import mmap
import os
import warnings

import numpy as np

from . import _core, names
from ._errors import ValmoraError

# Hours per unit of GRIB1 code table 4 (unitOfTimeRange).
_HOURS_PER_UNIT = {0: 1 / 60, 1: 1, 2: 24, 10: 3, 11: 6, 12: 12, 13: 0.25, 14: 0.5, 254: 1 / 3600}


# ecCodes' missingValue key, the largest float: what cfgrib shows as
# GRIB_missingValue (the values themselves come with NaN or a given value).
MISSING_VALUE = 3.4028234663852886e38


class ValmoraWarning(UserWarning):
    """A record skipped because it cannot be read; the file goes on."""


def _steps(k):
    """startStep and endStep in hours, as ecCodes counts them for edition 1."""
    unit = _HOURS_PER_UNIT.get(k["unitOfTimeRange"])
    tri, p1, p2 = k["timeRangeIndicator"], k["P1"], k["P2"]
    if tri == 10:
        start = end = p1 * 256 + p2
    elif tri in (2, 3, 4, 5) or tri >= 113:
        start, end = p1, p2
    else:
        start = end = p1
    if unit is None:
        return start, end
    start, end = start * unit, end * unit
    return (int(start) if float(start).is_integer() else start,
            int(end) if float(end).is_integer() else end)


# Hours per unit of GRIB2 code table 4.4.
_HOURS_PER_UNIT2 = {0: 1 / 60, 1: 1, 2: 24, 10: 3, 11: 6, 12: 12, 13: 1 / 3600}
# ecCodes' stepType of edition 2 by typeOfStatisticalProcessing.
_STEP_TYPE2 = {0: "avg", 1: "accum", 2: "max", 3: "min", 4: "diff", 5: "rms", 6: "sd", 7: "cov", 8: "sdiff",
               9: "ratio"}
# ecCodes' dataType of edition 2 by typeOfProcessedData.
_DATA_TYPE2 = {0: "an", 1: "fc", 2: "af", 3: "cf", 4: "pf", 5: "cp", 6: "sa", 7: "ra", 8: "ep"}


def _hours(value, unit, table):
    hours = table.get(unit)
    if hours is None:
        return value
    v = value * hours
    return int(v) if float(v).is_integer() else v


def _derived2(k):
    """The edition 2 keys that ecCodes computes: level, steps, data type."""
    t1 = k.get("typeOfFirstFixedSurface")
    if "scaledValueOfFirstFixedSurface" in k:
        level = k["scaledValueOfFirstFixedSurface"] / 10.0 ** k.get("scaleFactorOfFirstFixedSurface", 0)
        if t1 == 100:  # pressure levels in hPa, as ecCodes gives them
            level /= 100.0
            k["pressureUnits"] = "hPa"
        elif t1 == 109:  # potential vorticity in units of 1e-6 K m2 kg-1 s-1
            level *= 1e6
        k["level"] = int(round(level))  # ecCodes' level is an integer: 0.1 m reads 0
    else:
        k["level"] = 0
    k.setdefault("typeOfSecondFixedSurface", 255)
    start = _hours(k.get("forecastTime", 0), k.get("indicatorOfUnitOfTimeRange"), _HOURS_PER_UNIT2)
    end = start
    if "lengthOfTimeRange" in k:
        end = start + _hours(k["lengthOfTimeRange"], k.get("indicatorOfUnitForTimeRange"), _HOURS_PER_UNIT2)
    k["startStep"], k["endStep"] = start, end
    k["stepType"] = _STEP_TYPE2.get(k.get("typeOfStatisticalProcessing"), "instant")
    if "typeOfProcessedData" in k and k["typeOfProcessedData"] in _DATA_TYPE2:
        k["dataType"] = _DATA_TYPE2[k["typeOfProcessedData"]]


def _derived(k):
    """The keys that follow from the others: names, level type, steps."""
    if k["editionNumber"] == 2:
        _derived2(k)
    code = k["centreCode"] = k["centre"]
    k["centre"], k["centreDescription"] = names.code_table("centres").get(code, (str(code), "unknown"))
    if "marsType" in k:
        k["dataType"] = names.code_table("mars_types").get(k["marsType"], (str(k["marsType"]),))[0]
    if "numberOfForecastsInEnsemble" in k:
        k["totalNumber"] = k["numberOfForecastsInEnsemble"]
    grid = None
    if k["editionNumber"] < 2 and k.get("gridDescriptionSectionPresent"):
        grid = names.code_table("grib1_grids").get(k["dataRepresentationType"])
    elif k["editionNumber"] == 2 and "gridDefinitionTemplateNumber" in k:
        grid = names.code_table("grib2_grids").get(k["gridDefinitionTemplateNumber"])
    if grid:
        k["gridDefinitionDescription"] = grid[1]
    if k.get("Nj") is not None:
        k["Ny"] = k["Nj"]
    if k.get("Ni") is not None:
        k["Nx"] = k["Ni"]
    if "Nx" in k and "Ni" not in k:  # projections: ecCodes' aliases
        k["Ni"], k["Nj"] = k["Nx"], k["Ny"]
    k["missingValue"] = MISSING_VALUE
    k.update(names.parameter(dict(k, centre=k["centreCode"])))
    k["typeOfLevel"] = names.type_of_level(dict(k, centre=k["centreCode"]))
    if "unitOfTimeRange" in k:
        k["stepType"] = names.step_type(dict(k, centre=k["centreCode"]))
        k["startStep"], k["endStep"] = _steps(k)
    k["step"] = k["endStep"]
    k["stepRange"] = (str(k["endStep"]) if k["startStep"] == k["endStep"]
                      else "%s-%s" % (k["startStep"], k["endStep"]))
    k["stepUnits"] = 1
    if "perturbationNumber" in k:
        k["number"] = k["perturbationNumber"]
    k["validityDate"], k["validityTime"] = _validity(k)
    return k


def _validity(k):
    date, time = k["dataDate"], k["dataTime"]
    step = k.get("endStep", 0)
    base = np.datetime64("%04d-%02d-%02dT%02d:%02d" % (date // 10000, date // 100 % 100, date % 100,
                                                      time // 100, time % 100))
    valid = (base + np.timedelta64(int(round(step * 3600)), "s")).astype("datetime64[m]").item()
    return (valid.year * 10000 + valid.month * 100 + valid.day, valid.hour * 100 + valid.minute)


class Field:
    """One field of a file: a GRIB1 record, or one product of a GRIB2 message."""

    def __init__(self, source, offset, length, edition, index=0):
        self._source = source
        self.offset = offset
        self.length = length
        self.edition = edition
        self.index = index  # the field's number in its message
        self._keys = None
        self._error = None  # why a message's fields could not be counted

    def __repr__(self):
        k = self.keys
        return "<valmora.Field offset=%d %s %s %s step=%s>" % (
            self.offset, k.get("shortName"), k.get("typeOfLevel"), k.get("level"), k.get("stepRange"))

    @property
    def keys(self):
        """The header keys under ecCodes' names (a dict, read once)."""
        if self._keys is None:
            self._keys = _derived(self._decode_keys())
        return self._keys

    def __getitem__(self, key):
        return self.keys[key]

    def get(self, key, default=None):
        return self.keys.get(key, default)

    def _decode_keys(self):
        if self._error is not None:
            raise ValmoraError(self._error)
        if self.edition in (0, 1):
            return _core.grib1_keys(self._source.data, self.offset, self.length)
        return _core.field_keys(self._source.data, self.offset, self.length, self.index)

    def values(self, dtype=np.float64, missing=np.nan, shape=False):
        """The values as a NumPy array of float64 or float32, missing points
        given `missing`; with shape=True a regular grid comes as (Nj, Ni).
        Decoding releases the GIL: fields decode in parallel from threads."""
        dtype = np.dtype(dtype)
        if self._error is not None:
            raise ValmoraError(self._error)
        if dtype == np.float64:
            v = _core.values_double(self._source.data, self.offset, self.length, self.index, float(missing))
        elif dtype == np.float32:
            v = _core.values_float(self._source.data, self.offset, self.length, self.index, float(missing))
        else:
            raise ValueError("dtype must be float64 or float32, not %s" % dtype)
        if shape:
            return v.reshape(self.shape)
        return v

    @property
    def shape(self):
        """(Nj, Ni) for a regular grid, else (points,)."""
        k = self.keys
        if k.get("Ni") and k.get("Nj") and k["Ni"] * k["Nj"] == k["numberOfPoints"]:
            if k.get("jPointsAreConsecutive"):
                return (k["Ni"], k["Nj"])
            return (k["Nj"], k["Ni"])
        return (k["numberOfPoints"],)

    def distinct_latlons(self):
        """The latitudes of the rows and the longitudes of the columns of a
        regular latitude/longitude or Gaussian grid."""
        k = self.keys
        if k["gridType"] not in ("regular_ll", "regular_gg"):
            raise ValmoraError("record at offset %d: no distinct latitudes for a %s grid"
                               % (self.offset, k["gridType"]))
        lats, lons = self.latlons(shape=True)
        if k.get("jPointsAreConsecutive"):
            return lats[0, :], lons[:, 0]
        return lats[:, 0], lons[0, :]

    def latlons(self, shape=False):
        """Latitude and longitude of every point, in the order of values();
        with shape=True a regular grid's as 2-D arrays of its shape."""
        lats, lons = _core.latlons(self._source.data, self.offset, self.length, self.index)
        if shape:
            return lats.reshape(self.shape), lons.reshape(self.shape)
        return lats, lons


class File:
    """The fields of a file (mapped, not read whole) or of octets in memory,
    in their order. Records are found by the library; a damaged record is
    skipped with a ValmoraWarning."""

    def __init__(self, source):
        self.path = None
        self._mmap = None
        if isinstance(source, (bytes, bytearray, memoryview)):
            self.data = source
        else:
            self.path = os.fspath(source)
            with builtins.open(self.path, "rb") as f:
                size = os.fstat(f.fileno()).st_size
                self._mmap = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if size else None
            self.data = self._mmap if self._mmap is not None else b""
        self.fields = []
        for offset, length, status in _core.find_records(self.data):
            if status != 0:
                why = "cut short by the end of the data" if status == 1 else "starts no record it can frame"
                warnings.warn("record at offset %d: %s; skipped" % (offset, why), ValmoraWarning, stacklevel=2)
                continue
            edition = _core.edition(self.data, offset)
            if edition != 2:
                self.fields.append(Field(self, offset, length, edition))
                continue
            # One field per product of a GRIB2 message.
            try:
                count = _core.field_count(self.data, offset, length)
            except ValmoraError as e:
                field = Field(self, offset, length, edition)
                field._error = str(e)
                self.fields.append(field)
                continue
            self.fields.extend(Field(self, offset, length, edition, i) for i in range(count))

    def __len__(self):
        return len(self.fields)

    def __iter__(self):
        return iter(self.fields)

    def __getitem__(self, i):
        return self.fields[i]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Lets the mapping go; arrays already returned stay valid."""
        self.fields = []
        self.data = b""
        if self._mmap is not None:
            self._mmap.close()
            self._mmap = None

    def values(self, dtype=np.float64, missing=np.nan, threads=0):
        """The values of every field, decoded by `threads` threads at once
        (0: one per processor)."""
        threads = threads or os.cpu_count() or 1
        if threads == 1:
            return [f.values(dtype, missing) for f in self.fields]
        with concurrent.futures.ThreadPoolExecutor(threads) as pool:
            return list(pool.map(lambda f: f.values(dtype, missing), self.fields))


def open(source):  # noqa: A001 - the module's own open, as valmora.open
    """The fields of a GRIB file (a path) or of GRIB octets in memory."""
    return File(source)
