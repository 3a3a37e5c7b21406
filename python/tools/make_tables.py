#!/usr/bin/python3
"""Writes the parameter, level-type and centre tables of the Python module.

The tables come from ecCodes' definition files (Apache License 2.0,
copyright ECMWF), as Debian installs them under
/usr/share/eccodes/definitions; run this script again to follow a newer
ecCodes:

    python3 python/tools/make_tables.py [definitions-dir] [output-dir]

Each concept file maps a value (a short name, a unit, ...) to the header
keys that select it. Every table row holds the keys as "k=v;k=v" and the
values of the six concepts that share those keys.
"""
import os
import re
import sys

DEFS = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/eccodes/definitions"
OUT = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "valmora", "tables")

CONCEPTS = ("paramId", "shortName", "name", "units", "cfName", "cfVarName")
ENTRY = re.compile(r"'([^']*)'\s*=\s*\{([^}]*)\}", re.S)
# The GRIB2 disciplines kept: meteorological, land surface, oceanographic.
GRIB2_DISCIPLINES = {"0", "2", "10"}


def parse(path):
    """(conditions, value) pairs of a concept file, in file order."""
    if not os.path.exists(path):
        return []
    text = "\n".join(line for line in open(path, encoding="utf-8", errors="replace")
                     if not line.lstrip().startswith("#"))
    out = []
    for value, body in ENTRY.findall(text):
        conds = []
        for item in body.split(";"):
            if "=" in item:
                k, v = item.split("=", 1)
                conds.append((k.strip(), v.strip().strip("'")))
        out.append((";".join("%s=%s" % c for c in conds), value))
    return out


def table(directory, keep=lambda conds: True):
    rows, order = {}, []
    for concept in CONCEPTS:
        for conds, value in parse(os.path.join(DEFS, directory, concept + ".def")):
            if not keep(conds):
                continue
            if conds not in rows:
                rows[conds] = dict.fromkeys(CONCEPTS, "")
                order.append(conds)
            if not rows[conds][concept]:
                rows[conds][concept] = value
    return [(c, rows[c]) for c in order]


def write(name, source, header, lines):
    with open(os.path.join(OUT, name), "w", encoding="utf-8") as f:
        f.write("# %s\n# from ecCodes' definitions (Apache License 2.0, ECMWF): %s\n" % (name, source))
        f.write("\t".join(header) + "\n")
        for line in lines:
            f.write("\t".join(line) + "\n")


def write_params(name, directory, keep=lambda conds: True):
    rows = table(directory, keep)
    write(name, directory + "/{%s}.def" % ",".join(CONCEPTS), ("conditions",) + CONCEPTS,
          [(c,) + tuple(r[k] for k in CONCEPTS) for c, r in rows])


def discipline(conds):
    m = re.search(r"(?:^|;)discipline=(\d+)", conds)
    return m is not None and m.group(1) in GRIB2_DISCIPLINES


def write_levels(name, path):
    write(name, path, ("conditions", "typeOfLevel"),
          [(c, v) for c, v in parse(os.path.join(DEFS, path))])


def write_code_table(name, path):
    """A code table: code, abbreviation, description. ecCodes reads what
    follows "(" as units, not as part of the description."""
    lines = []
    for line in open(os.path.join(DEFS, path), encoding="utf-8", errors="replace"):
        parts = line.split(None, 2)
        if len(parts) == 3 and parts[0].isdigit():
            lines.append((parts[0], parts[1], parts[2].split("(")[0].strip()))
    write(name, path, ("code", "abbreviation", "name"), lines)


if __name__ == "__main__":
    os.makedirs(OUT, exist_ok=True)
    write_params("grib1_wmo.tsv", "grib1")
    write_params("grib1_ecmf.tsv", "grib1/localConcepts/ecmf")
    write_params("grib2_wmo.tsv", "grib2", discipline)
    write_levels("grib1_levels_ecmf.tsv", "grib1/localConcepts/ecmf/typeOfLevel.def")
    write_levels("grib1_levels.tsv", "grib1/typeOfLevel.def")
    write_levels("grib2_levels.tsv", "grib2/typeOfLevelConcept.def")
    # Level types of the centres' own, looked up first for their fields.
    for centre in sorted(os.listdir(os.path.join(DEFS, "grib2", "localConcepts"))):
        path = os.path.join("grib2", "localConcepts", centre, "typeOfLevelConcept.def")
        if os.path.exists(os.path.join(DEFS, path)):
            write_levels("grib2_levels_%s.tsv" % centre, path)
    write_code_table("centres.tsv", "common/c-11.table")
    write_code_table("mars_types.tsv", "mars/type.table")
    write_code_table("grib1_grids.tsv", "grib1/6.table")
    latest = max((v for v in os.listdir(os.path.join(DEFS, "grib2", "tables")) if v.isdigit()), key=int)
    write_code_table("grib2_grids.tsv", "grib2/tables/%s/3.1.table" % latest)
