// The edition 0/1 section locator of grib1Sections, for the library's own
// callers that must find out first whether a record frames and speak only
// when it does not.
#ifndef VALMORA_GRIBLOCATE_H
#define VALMORA_GRIBLOCATE_H

// grib1Sections with its messages when `say`, silent otherwise; same result.
extern "C" int grib1Locate(unsigned char *gribbuffer, long gribbufsize, unsigned char **pdsp, unsigned char **gdsp,
                           unsigned char **bmsp, unsigned char **bdsp, long *gribrecsize, bool say);

#endif
