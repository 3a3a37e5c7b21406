"""Parameter names, units and level types, as ecCodes gives them.

The tables under tables/ are made from ecCodes' definition files by
python/tools/make_tables.py (each file names its source). A parameter that
no table knows gets a name built from its numbers: ``p<parameter>.<table>``
for edition 1 (``p130.128``: parameter 130 of table 128) and
``p<discipline>.<category>.<number>`` for edition 2, with paramId 0, name
"unknown" and units "unknown".
"""
import functools
import os

_HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tables")
ECMWF = 98


def _rows(name):
    with open(os.path.join(_HERE, name), encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f if not line.startswith("#")]
    header = lines[0].split("\t")
    for line in lines[1:]:
        cells = line.split("\t")
        conds = tuple(tuple(c.split("=", 1)) for c in cells[0].split(";") if c)
        yield conds, dict(zip(header[1:], cells[1:]))


class _Concept:
    """Entries indexed by the values of their first conditions; the entry
    whose conditions all hold and are the most wins, the first of equals."""

    def __init__(self, *names, primary):
        self.primary = primary
        self.index = {}
        for name in names:
            for conds, values in _rows(name):
                given = dict(conds)
                if not all(p in given for p in primary):
                    continue
                key = tuple(given[p] for p in primary)
                self.index.setdefault(key, []).append((conds, values))

    def lookup(self, keys, concept):
        """The value of one concept: each is matched on its own, as ecCodes
        does (a name may come from a narrower entry than a unit)."""
        try:
            key = tuple(str(keys[p]) for p in self.primary)
        except KeyError:
            return None
        best, most = None, -1
        for conds, values in self.index.get(key, ()):
            if values.get(concept) and len(conds) > most and all(str(keys.get(k)) == v for k, v in conds):
                best, most = values[concept], len(conds)
        return best


@functools.lru_cache(maxsize=None)
def _table(which):
    if which == "grib1_ecmf":
        return _Concept("grib1_ecmf.tsv", primary=("table2Version", "indicatorOfParameter"))
    if which == "grib1_wmo":
        return _Concept("grib1_wmo.tsv", primary=("table2Version", "indicatorOfParameter"))
    if which == "grib2_wmo":
        return _Concept("grib2_wmo.tsv", primary=("discipline", "parameterCategory", "parameterNumber"))
    if which == "grib1_levels_ecmf":
        return _Concept("grib1_levels_ecmf.tsv", primary=("indicatorOfTypeOfLevel",))
    if which == "grib1_levels":
        return _Concept("grib1_levels.tsv", primary=("indicatorOfTypeOfLevel",))
    if which.startswith("grib2_levels"):
        return _Concept(which + ".tsv", primary=("typeOfFirstFixedSurface",))
    raise KeyError(which)


@functools.lru_cache(maxsize=None)
def code_table(name):
    """{code: (abbreviation, description)} of a code table: "centres"
    (common table C-11), "mars_types" (ECMWF's data types), "grib1_grids"
    (GRIB1 code table 6), "grib2_grids" (GRIB2 code table 3.1)."""
    out = {}
    with open(os.path.join(_HERE, name + ".tsv"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("#") or line.startswith("code\t"):
                continue
            code, abbreviation, description = line.rstrip("\n").split("\t", 2)
            out[int(code)] = (abbreviation, description)
    return out


CONCEPTS = ("paramId", "shortName", "name", "units", "cfName", "cfVarName")


def parameter(keys):
    """paramId, shortName, name, units, cfName and cfVarName of a field."""
    if keys.get("editionNumber", 1) == 2:
        tables = [_table("grib2_wmo")]
        fallback = "p%s.%s.%s" % (keys.get("discipline"), keys.get("parameterCategory"),
                                  keys.get("parameterNumber"))
    else:
        tables = [_table("grib1_ecmf")] if keys.get("centre") == ECMWF else []
        tables.append(_table("grib1_wmo"))
        fallback = "p%s.%s" % (keys.get("indicatorOfParameter"), keys.get("table2Version"))
    out = {}
    for concept in CONCEPTS:
        for table in tables:
            value = table.lookup(keys, concept)
            if value:
                out[concept] = value
                break
    if "shortName" not in out:
        return {"paramId": 0, "shortName": fallback, "name": "unknown", "units": "unknown",
                "cfName": "unknown", "cfVarName": fallback}
    out["paramId"] = int(out["paramId"]) if out.get("paramId", "").isdigit() else 0
    out.setdefault("name", "unknown")
    out.setdefault("units", "unknown")
    out.setdefault("cfName", "unknown")
    out.setdefault("cfVarName", out["shortName"])
    return out


def type_of_level(keys):
    """typeOfLevel: the centre's own level types first, then the WMO's."""
    if keys.get("editionNumber", 1) == 2:
        found = None
        centre = code_table("centres").get(keys.get("centre"), ("",))[0]
        if os.path.exists(os.path.join(_HERE, "grib2_levels_%s.tsv" % centre)):
            found = _table("grib2_levels_" + centre).lookup(keys, "typeOfLevel")
        return found or _table("grib2_levels").lookup(keys, "typeOfLevel") or "unknown"
    found = None
    if keys.get("centre") == ECMWF:
        found = _table("grib1_levels_ecmf").lookup(keys, "typeOfLevel")
    return found or _table("grib1_levels").lookup(keys, "typeOfLevel") or "unknown"


# ecCodes' stepType of edition 1 by timeRangeIndicator (its grib1 stepType
# concept): 2 is a maximum at ECMWF and an accumulation elsewhere.
_STEP_TYPE = {0: "instant", 1: "instant", 10: "instant", 3: "avg", 4: "accum", 5: "diff",
              113: "avgfc", 118: "max", 119: "min", 123: "avgua", 124: "avgia"}


def step_type(keys):
    tri = keys.get("timeRangeIndicator", 0)
    if tri == 2:
        return "max" if keys.get("centre") == ECMWF else "accum"
    return _STEP_TYPE.get(tri, "unknown")
