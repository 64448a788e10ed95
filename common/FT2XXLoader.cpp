#include "FT2XXLoader.h"

#include "platform.h"

// Every D2XX entry point, in the order of the entry-point table. X(name) is expanded once for the
// name texts and once for the table indices, so the two can never disagree.
#define HVSRC_D2XX_FUNCTIONS(X)  \
    X(FT_Open)                   \
    X(FT_OpenEx)                 \
    X(FT_ListDevices)            \
    X(FT_Close)                  \
    X(FT_Read)                   \
    X(FT_Write)                  \
    X(FT_IoCtl)                  \
    X(FT_SetBaudRate)            \
    X(FT_SetDivisor)             \
    X(FT_SetDataCharacteristics) \
    X(FT_SetFlowControl)         \
    X(FT_ResetDevice)            \
    X(FT_SetDtr)                 \
    X(FT_ClrDtr)                 \
    X(FT_SetRts)                 \
    X(FT_ClrRts)                 \
    X(FT_GetModemStatus)         \
    X(FT_SetChars)               \
    X(FT_Purge)                  \
    X(FT_SetTimeouts)            \
    X(FT_GetQueueStatus)         \
    X(FT_SetEventNotification)   \
    X(FT_GetStatus)              \
    X(FT_SetBreakOn)             \
    X(FT_SetBreakOff)            \
    X(FT_SetWaitMask)            \
    X(FT_WaitOnMask)             \
    X(FT_GetEventStatus)         \
    X(FT_ReadEE)                 \
    X(FT_WriteEE)                \
    X(FT_EraseEE)                \
    X(FT_EE_Program)             \
    X(FT_EE_ProgramEx)           \
    X(FT_EE_Read)                \
    X(FT_EE_ReadEx)              \
    X(FT_EE_UASize)              \
    X(FT_EE_UAWrite)             \
    X(FT_EE_UARead)              \
    X(FT_SetLatencyTimer)        \
    X(FT_GetLatencyTimer)        \
    X(FT_SetBitMode)             \
    X(FT_GetBitMode)             \
    X(FT_SetUSBParameters)       \
    X(FT_SetDeadmanTimeout)      \
    X(FT_GetDeviceInfo)          \
    X(FT_StopInTask)             \
    X(FT_RestartInTask)          \
    X(FT_SetResetPipeRetryCount) \
    X(FT_ResetPort)              \
    X(FT_CyclePort)              \
    X(FT_GetDriverVersion)       \
    X(FT_GetLibraryVersion)      \
    X(FT_Rescan)                 \
    X(FT_Reload)                 \
    X(FT_GetComPortNumber)       \
    X(FT_W32_ClearCommBreak)     \
    X(FT_W32_ClearCommError)     \
    X(FT_W32_EscapeCommFunction) \
    X(FT_W32_GetCommModemStatus) \
    X(FT_W32_GetCommState)       \
    X(FT_W32_GetCommTimeouts)    \
    X(FT_W32_PurgeComm)          \
    X(FT_W32_SetCommBreak)       \
    X(FT_W32_SetCommMask)        \
    X(FT_W32_GetCommMask)        \
    X(FT_W32_SetCommState)       \
    X(FT_W32_SetCommTimeouts)    \
    X(FT_W32_SetupComm)          \
    X(FT_W32_WaitCommEvent)      \
    X(FT_EE_ReadConfig)          \
    X(FT_EE_WriteConfig)         \
    X(FT_EE_ReadECC)             \
    X(FT_GetQueueStatusEx)       \
    X(FT_CreateDeviceInfoList)   \
    X(FT_GetDeviceInfoList)      \
    X(FT_GetDeviceInfoDetail)

#define HVSRC_D2XX_NAME_TEXT(name) #name,
const char* const FT2XXLoader::kFunctionNames[kFunctionCount] = {
    HVSRC_D2XX_FUNCTIONS(HVSRC_D2XX_NAME_TEXT)};
#undef HVSRC_D2XX_NAME_TEXT

namespace {

#define HVSRC_D2XX_INDEX(name) k_##name,
enum FunctionIndex : size_t { HVSRC_D2XX_FUNCTIONS(HVSRC_D2XX_INDEX) kIndexCount };
#undef HVSRC_D2XX_INDEX
static_assert(kIndexCount == FT2XXLoader::kFunctionCount, "one table entry per D2XX name");

// The published signatures of the D2XX functions that are called, as plain function pointers:
// right only where the vendor's calling convention is the default one (x64 Windows has a single
// convention; 32-bit Windows would need __stdcall here).
static_assert(plat::kD2xxDefaultCallingConvention,
              "the D2XX bindings assume the platform's default calling convention");
using FnListDevices = FT_STATUS (*)(void*, void*, uint32_t);
using FnOpenEx = FT_STATUS (*)(void*, uint32_t, FT_HANDLE*);
using FnHandleOnly = FT_STATUS (*)(FT_HANDLE);
using FnTransfer = FT_STATUS (*)(FT_HANDLE, void*, uint32_t, uint32_t*);
using FnHandleU32 = FT_STATUS (*)(FT_HANDLE, uint32_t);
using FnHandleU32U32 = FT_STATUS (*)(FT_HANDLE, uint32_t, uint32_t);
using FnHandleU8 = FT_STATUS (*)(FT_HANDLE, uint8_t);
using FnFlowControl = FT_STATUS (*)(FT_HANDLE, uint16_t, uint8_t, uint8_t);
using FnHandleU8x3 = FT_STATUS (*)(FT_HANDLE, uint8_t, uint8_t, uint8_t);
using FnHandleU8x2 = FT_STATUS (*)(FT_HANDLE, uint8_t, uint8_t);
using FnQueueStatus = FT_STATUS (*)(FT_HANDLE, uint32_t*);

// The entry point to call, or null when the library is absent or lacks the name; a null result
// makes the call-through answer FT_OTHER_ERROR without touching its arguments.
template <typename Fn>
Fn bound(const FT2XXLoader& loader, FunctionIndex index) {
    if (!loader.loaded()) {
        return nullptr;
    }
    return reinterpret_cast<Fn>(loader.entry(index));
}

}  // namespace

// Constructed before, and destroyed after, every other static object of the library, so the
// driver stays loaded while anything that may still call it is being torn down.
FT2XXLoader ft2xx __attribute__((init_priority(101)));

FT2XXLoader::FT2XXLoader()
    : FT2XXLoader(plat::d2xxLibraryName(), plat::d2xxFallbackLibraryName()) {}

FT2XXLoader::FT2XXLoader(const char* libraryName, const char* fallbackName) {
    module_ = libraryName != nullptr ? plat::loadLibrary(libraryName) : nullptr;
    if (module_ == nullptr && fallbackName != nullptr) {
        module_ = plat::loadLibrary(fallbackName);
    }
    // Every entry is looked up in the one module that loaded, so all of them come from it.
    bindFunctions();
}

FT2XXLoader::~FT2XXLoader() {
    unload();
}

void FT2XXLoader::unload() {
    plat::freeLibrary(module_);
    // Nothing may jump into the unloaded library: a late call answers FT_OTHER_ERROR.
    module_ = nullptr;
    for (void*& entry : table_) {
        entry = nullptr;
    }
}

void FT2XXLoader::bindFunctions() {
    for (size_t i = 0; i < kFunctionCount; ++i) {
        table_[i] = plat::findSymbol(module_, kFunctionNames[i]);
    }
}

FT_STATUS FT2XXLoader::FT_ListDevices(void* arg1, void* arg2, uint32_t flags) {
    FnListDevices fn = bound<FnListDevices>(*this, k_FT_ListDevices);
    return fn != nullptr ? fn(arg1, arg2, flags) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_OpenEx(void* arg1, uint32_t flags, FT_HANDLE* handle) {
    FnOpenEx fn = bound<FnOpenEx>(*this, k_FT_OpenEx);
    return fn != nullptr ? fn(arg1, flags, handle) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_Close(FT_HANDLE handle) {
    FnHandleOnly fn = bound<FnHandleOnly>(*this, k_FT_Close);
    return fn != nullptr ? fn(handle) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_Read(FT_HANDLE handle, void* buffer, uint32_t toRead,
                               uint32_t* returned) {
    FnTransfer fn = bound<FnTransfer>(*this, k_FT_Read);
    return fn != nullptr ? fn(handle, buffer, toRead, returned) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_Write(FT_HANDLE handle, void* buffer, uint32_t toWrite,
                                uint32_t* written) {
    FnTransfer fn = bound<FnTransfer>(*this, k_FT_Write);
    return fn != nullptr ? fn(handle, buffer, toWrite, written) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_Purge(FT_HANDLE handle, uint32_t mask) {
    FnHandleU32 fn = bound<FnHandleU32>(*this, k_FT_Purge);
    return fn != nullptr ? fn(handle, mask) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout,
                                      uint32_t writeTimeout) {
    FnHandleU32U32 fn = bound<FnHandleU32U32>(*this, k_FT_SetTimeouts);
    return fn != nullptr ? fn(handle, readTimeout, writeTimeout) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_SetLatencyTimer(FT_HANDLE handle, uint8_t latency) {
    FnHandleU8 fn = bound<FnHandleU8>(*this, k_FT_SetLatencyTimer);
    return fn != nullptr ? fn(handle, latency) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_SetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon,
                                         uint8_t xoff) {
    FnFlowControl fn = bound<FnFlowControl>(*this, k_FT_SetFlowControl);
    return fn != nullptr ? fn(handle, flow, xon, xoff) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_SetUSBParameters(FT_HANDLE handle, uint32_t inSize, uint32_t outSize) {
    FnHandleU32U32 fn = bound<FnHandleU32U32>(*this, k_FT_SetUSBParameters);
    return fn != nullptr ? fn(handle, inSize, outSize) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    FnHandleU32 fn = bound<FnHandleU32>(*this, k_FT_SetBaudRate);
    return fn != nullptr ? fn(handle, baud) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength,
                                                 uint8_t stopBits, uint8_t parity) {
    FnHandleU8x3 fn = bound<FnHandleU8x3>(*this, k_FT_SetDataCharacteristics);
    return fn != nullptr ? fn(handle, wordLength, stopBits, parity) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode) {
    FnHandleU8x2 fn = bound<FnHandleU8x2>(*this, k_FT_SetBitMode);
    return fn != nullptr ? fn(handle, mask, mode) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes) {
    FnQueueStatus fn = bound<FnQueueStatus>(*this, k_FT_GetQueueStatus);
    return fn != nullptr ? fn(handle, rxBytes) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_SetDtr(FT_HANDLE handle) {
    FnHandleOnly fn = bound<FnHandleOnly>(*this, k_FT_SetDtr);
    return fn != nullptr ? fn(handle) : FT_OTHER_ERROR;
}

FT_STATUS FT2XXLoader::FT_ClrRts(FT_HANDLE handle) {
    FnHandleOnly fn = bound<FnHandleOnly>(*this, k_FT_ClrRts);
    return fn != nullptr ? fn(handle) : FT_OTHER_ERROR;
}
