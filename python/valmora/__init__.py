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
           "pack", "unpack", "pack_record", "unpack_record", "library_version"]


def library_version():
    """The version of the libvalmora the module runs on."""
    return _core.library_version()


def pack_record(record):
    """The record (bytes-like) with its data section szip-coded as recpack
    codes it; a record that recpack would leave alone comes back as it is
    (padded as recpack pads it)."""
    return _core.pack_record(record)


def unpack_record(record):
    """The record restored bit for bit from its packed form; a record that
    is not packed comes back as it is. Damaged packed data raise."""
    return _core.unpack_record(record)


def pack(src, dst, workers=0, compat=False, grib2=False):
    """Packs the file `src` into `dst` as recpack does (the same octets
    for any number of workers); returns the result, raises ValmoraError."""
    return _pack_file(src, dst, False, workers=workers, compat=compat, grib2=grib2)


def unpack(src, dst, workers=0):
    """Restores the recpack'd file `src` into `dst` as recunpack does."""
    return _pack_file(src, dst, True, workers=workers)


def _pack_file(src, dst, unpack, **options):
    import os
    if not hasattr(_core, "pack_file"):
        raise NotImplementedError("packing whole files needs a libvalmora with recPackFile")
    return _core.pack_file(os.fspath(src), os.fspath(dst), unpack, **options)


def open_datasets(path, **kwargs):
    """Every hypercube of the file as an xarray Dataset, as cfgrib's
    open_datasets gives them, for files whose fields do not fit one."""
    from .xarray_backend import open_datasets as _open
    return _open(path, **kwargs)
