/* Compiled as C: the public header must stand on its own in C. */
#include "valmora.h"

int valmora_header_c_check(void);
int valmora_header_c_check(void) { return (int)sizeof(&gribGetSize); }
