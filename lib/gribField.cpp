// Fields of a record, editions 1 and 2: the keys of one field and its values.
#include "valmora.h"
#include "support.h"

extern "C" {

int gribFieldCount(const unsigned char *record, size_t recordLength, int *count)
{
    (void)record;
    (void)recordLength;
    if (count) *count = 0;
    return VALMORA_DECODE_NOT_GRIB;
}

int grib_field_decode_double(const unsigned char *record, size_t recordLength, int index, gribField *field,
                             double *values, size_t *valuesSize, double missingValue)
{
    (void)record, (void)recordLength, (void)index, (void)field, (void)values, (void)valuesSize, (void)missingValue;
    return VALMORA_DECODE_NOT_GRIB;
}

int grib_field_decode_float(const unsigned char *record, size_t recordLength, int index, gribField *field,
                            float *values, size_t *valuesSize, float missingValue)
{
    (void)record, (void)recordLength, (void)index, (void)field, (void)values, (void)valuesSize, (void)missingValue;
    return VALMORA_DECODE_NOT_GRIB;
}

} // extern "C"
