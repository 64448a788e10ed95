// A stand-in D2XX library that exports only FT_Read and FT_GetQueueStatus, for checking how the
// loader treats a library that loads but lacks some entry points. Each call is counted and the
// handle it was given kept.
#include <cstdint>
#include <cstring>

#include "platform.h"

namespace {
unsigned calls = 0;
void* lastHandle = nullptr;
}  // namespace

extern "C" {

PLAT_EXPORT uint32_t FT_Read(void* handle, void* buffer, uint32_t toRead, uint32_t* returned) {
    ++calls;
    lastHandle = handle;
    std::memset(buffer, 0x5A, toRead);
    *returned = toRead;
    return 11;  // a non-zero status, to show it is passed back unchanged
}

PLAT_EXPORT uint32_t FT_GetQueueStatus(void* handle, uint32_t* rxBytes) {
    ++calls;
    lastHandle = handle;
    *rxBytes = 1234;
    return 0;
}

PLAT_EXPORT unsigned partial_calls() {
    return calls;
}

PLAT_EXPORT void* partial_last_handle() {
    return lastHandle;
}
}
