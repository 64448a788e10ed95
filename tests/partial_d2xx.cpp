// A stand-in D2XX library that exports only FT_Read and FT_GetQueueStatus, for checking how the
// loader treats a library that loads but lacks some entry points. Each function records that it
// was called and with which arguments.
#include <cstdint>
#include <cstring>

#include "platform.h"

namespace {
unsigned readCalls = 0;
unsigned queueCalls = 0;
void* lastHandle = nullptr;
uint32_t lastCount = 0;
}  // namespace

extern "C" {

PLAT_EXPORT uint32_t FT_Read(void* handle, void* buffer, uint32_t toRead, uint32_t* returned) {
    ++readCalls;
    lastHandle = handle;
    lastCount = toRead;
    std::memset(buffer, 0x5A, toRead);
    *returned = toRead;
    return 11;  // a non-zero status, to show it is passed back unchanged
}

PLAT_EXPORT uint32_t FT_GetQueueStatus(void* handle, uint32_t* rxBytes) {
    ++queueCalls;
    lastHandle = handle;
    *rxBytes = 1234;
    return 0;
}

// Total calls of both functions.
PLAT_EXPORT unsigned partial_calls() {
    return readCalls + queueCalls;
}

PLAT_EXPORT void* partial_last_handle() {
    return lastHandle;
}

PLAT_EXPORT uint32_t partial_last_count() {
    return lastCount;
}
}
