"""GRIB fields as NumPy arrays, recpack archives from Python, and the xarray
engine "valmora", over libvalmora.

    import valmora
    with valmora.open("file.grb") as f:
        for field in f:
            print(field.offset, field["shortName"], field.values().mean())

Records packed by recpack read as the records they restore to.
"""
from . import _core
from ._errors import ValmoraError
from ._reader import Field, File, ValmoraWarning, open  # noqa: A004

__version__ = _core.library_version()
__all__ = ["Field", "File", "ValmoraError", "ValmoraWarning", "open", "open_datasets",
           "PackResult", "pack", "unpack", "pack_record", "unpack_record", "library_version"]


def library_version():
    """The version of the libvalmora the module runs on."""
    return _core.library_version()


def pack_record(record, compat=False, grib2=False):
    """The record (bytes-like) packed as recpack packs it: a GRIB1 record in
    the packed form with a whole-record check (with compat=True the szip
    form of code 128 alone), a GRIB2 record's simple packing as CCSDS
    packing with grib2=True. A record recpack would leave alone comes back
    as it is (padded as recpack pads it)."""
    return _core.pack_record(record, compat, grib2)


def unpack_record(record, grib2=False):
    """The record restored bit for bit from any packed form (GRIB2 CCSDS
    packing back to simple packing with grib2=True); a record that is not
    packed comes back as it is. Damaged packed data raise ValmoraError."""
    return _core.unpack_record(record, grib2)


class PackResult:
    """What pack or unpack did: records coded (compressed or restored),
    copied as read and left packed, octets in and out, the run's own
    messages, and its wall-clock seconds."""

    def __init__(self, d):
        self.records_coded = d["records_coded"]
        self.records_copied = d["records_copied"]
        self.records_left_packed = d["records_left_packed"]
        self.octets_in = d["octets_in"]
        self.octets_out = d["octets_out"]
        self.messages = d["messages"]
        self.seconds = d["seconds"]

    def __repr__(self):
        return ("<valmora.PackResult coded=%d copied=%d left_packed=%d in=%d out=%d>"
                % (self.records_coded, self.records_copied, self.records_left_packed, self.octets_in,
                   self.octets_out))


def pack(src, dst, workers=0, compat=False, grib2=False):
    """Packs the file `src` into `dst` as recpack does, every octet carried
    over and the same output for any number of workers (0: one per
    processor). Returns a PackResult; raises ValmoraError when something
    could not be carried over (the result in its .result) or the library
    refuses the options."""
    return _pack_file(src, dst, False, workers, compat, grib2)


def unpack(src, dst, workers=0, compat=False, grib2=False):
    """Restores the packed file `src` into `dst` as recunpack does; a
    record left packed raises ValmoraError (the result in its .result)."""
    return _pack_file(src, dst, True, workers, compat, grib2)


def _pack_file(src, dst, restore, workers, compat, grib2):
    import os
    src, dst = os.fspath(src), os.fspath(dst)
    ifd = os.open(src, os.O_RDONLY)
    try:
        ofd = os.open(dst, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
        try:
            d = _core.pack_file(ifd, ofd, restore, int(workers), bool(compat), bool(grib2), src, dst)
        finally:
            os.close(ofd)
    finally:
        os.close(ifd)
    result = PackResult(d)
    if d["status"] == -1:
        raise ValmoraError("%s: the library refuses these options (workers=%r, compat=%r, grib2=%r)"
                           % ("unpack" if restore else "pack", workers, compat, grib2))
    if d["status"] != 0:
        error = ValmoraError("%s of %s into %s: not every octet was carried over%s" % (
            "unpack" if restore else "pack", src, dst, (": " + d["messages"].strip()) if d["messages"] else ""))
        error.result = result
        raise error
    return result


def open_datasets(path, **kwargs):
    """Every hypercube of the file as an xarray Dataset, as cfgrib's
    open_datasets gives them, for files whose fields do not fit one."""
    from .xarray_backend import open_datasets as _open
    return _open(path, **kwargs)
