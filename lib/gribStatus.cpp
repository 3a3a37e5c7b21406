// The texts of the status values the library returns beyond the section
// arrays: one table per family, so that every program says the same thing
// for the same result.
#include "valmora.h"

namespace {

struct Named {
    int status;
    const char *text;
};

const Named decodeTexts[] = {
    {VALMORA_DECODE_OK, "decoded"},
    {VALMORA_DECODE_NOT_GRIB1, "not a GRIB edition 0 or 1 record"},
    {VALMORA_DECODE_DAMAGED, "damaged record"},
    {VALMORA_DECODE_TRUNCATED, "record cut short"},
    {VALMORA_DECODE_UNSUPPORTED, "unsupported packing"},
    {VALMORA_DECODE_NO_ROOM, "out of memory for the values"},
    {VALMORA_DECODE_SZIP_FAILED, "szip data cannot be decompressed"},
    {VALMORA_DECODE_CHECK_MISMATCH, "szip data fail their check"},
    {VALMORA_DECODE_GRID_NOT_DECODED, "values decoded, grid type without a layout"},
    {VALMORA_DECODE_PACKING_UNSUPPORTED, "packing template without a decoder"},
    {VALMORA_DECODE_NO_FIELD, "no such field in the message"},
    {VALMORA_DECODE_CODER_FAILED, "the JPEG2000, PNG or CCSDS data cannot be decoded"},
    {VALMORA_DECODE_GRID_UNSUPPORTED, "grid without coordinates"},
    {VALMORA_DECODE_NOT_GRIB, "not a GRIB record"},
    {VALMORA_DECODE_NO_MEMORY, "out of memory"},
};

const Named planesTexts[] = {
    {GRIB_PLANES_WHOLE, "values stored whole"},
    {GRIB_PLANES_SPLIT, "data left in byte planes"},
    {GRIB_PLANES_UNDECIDED, "undecided"},
    {GRIB_PLANES_NOT_TESTED, "not tested"},
    {GRIB_PLANES_DAMAGED, "damaged record"},
    {GRIB_PLANES_FAILED, "no memory, or the szip coder failed"},
};

const Named findTexts[] = {
    {VALMORA_FIND_RECORD, "whole record"},
    {VALMORA_FIND_MORE, "record needs more octets"},
    {VALMORA_FIND_NONE, "no GRIB marker"},
    {VALMORA_FIND_NOT_RECORD, "marker starts no record"},
};

const Named encodeTexts[] = {
    {0, "encoded"},
    {VALMORA_ENCODE_RANGE, "minimum value or binary scale factor out of range"},
    {VALMORA_ENCODE_NO_ROOM, "buffer too small for the record"},
    {VALMORA_ENCODE_MISMATCH, "complex packing requested against the grid"},
};

template <size_t N> const char *lookup(const Named (&table)[N], int status)
{
    for (const Named &n : table)
        if (n.status == status) return n.text;
    return "unknown status";
}

} // namespace

extern "C" const char *valmoraStatusText(int family, int status)
{
    switch (family) {
    case VALMORA_STATUS_DECODE: return lookup(decodeTexts, status);
    case VALMORA_STATUS_PLANES: return lookup(planesTexts, status);
    case VALMORA_STATUS_FIND: return lookup(findTexts, status);
    case VALMORA_STATUS_ENCODE: return lookup(encodeTexts, status);
    default: return "unknown status family";
    }
}
