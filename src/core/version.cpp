// The library's version, taken from the header the build generates.
#include "kavri/version.h"

extern "C" KAVRI_API uint32_t kavri_get_version(void) {
    return KAVRI_VERSION;
}
