// Edition query from the indicator section, and the library's own version.
#include "valmora.h"
#include "grib1.h"

#include <cstring>

extern "C" int gribVersion(const unsigned char *buffer, size_t bufferSize)
{
    if (!buffer || bufferSize < 8 || memcmp(buffer, "GRIB", 4) != 0) return -1;
    // Edition 0 has no edition octet: its octets 5-7 hold the product
    // definition length, which is 24 in that edition.
    unsigned len = g1::get3(buffer + 4);
    int edition = buffer[7];
    if (len == 24 && edition != 1 && edition != 2) return 0;
    return edition;
}

extern "C" const char *gribLibraryVersion(void) { return VALMORA_VERSION_STRING; }
