// A D2XX library that exports only FT_Read and FT_GetQueueStatus, for checking how the loader
// treats a library that loads but lacks some entry points.
#include <cstdint>

#include "platform.h"

extern "C" {

PLAT_EXPORT uint32_t FT_Read(void*, void*, uint32_t, uint32_t* returned) {
    *returned = 0;
    return 11;
}

PLAT_EXPORT uint32_t FT_GetQueueStatus(void*, uint32_t* rxBytes) {
    *rxBytes = 0;
    return 0;
}
}
