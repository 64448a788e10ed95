// Binds the vendor's D2XX driver library at run time. Every call-through answers FT_OTHER_ERROR
// (18) when the library is absent or the entry point was not found, so a machine without the
// driver still loads the plug-in and simply finds no device.
#pragma once

#include <cstddef>
#include <cstdint>

#include "D2xxTypes.h"

class FT2XXLoader {
public:
    static constexpr size_t kFunctionCount = 76;
    // The D2XX names, in the order of the entry-point table.
    static const char* const kFunctionNames[kFunctionCount];

    // Loads the platform's D2XX library by its bare name, or by its second name when the first
    // cannot be loaded.
    FT2XXLoader();
    // Loads the named library, or `fallbackName` when that fails and one is given (used to check
    // the binding against other libraries).
    explicit FT2XXLoader(const char* libraryName, const char* fallbackName = nullptr);
    virtual ~FT2XXLoader();
    FT2XXLoader(const FT2XXLoader&) = delete;
    FT2XXLoader& operator=(const FT2XXLoader&) = delete;

    // Releases the library and forgets it and its entry points (the destructor's work); every
    // later call-through answers FT_OTHER_ERROR.
    void unload();

    bool loaded() const { return module_ != nullptr; }
    // The bound entry point of table index i, or null.
    void* entry(size_t i) const { return i < kFunctionCount ? table_[i] : nullptr; }

    FT_STATUS FT_ListDevices(void* arg1, void* arg2, uint32_t flags);
    FT_STATUS FT_OpenEx(void* arg1, uint32_t flags, FT_HANDLE* handle);
    FT_STATUS FT_Close(FT_HANDLE handle);
    FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t toRead, uint32_t* returned);
    FT_STATUS FT_Write(FT_HANDLE handle, void* buffer, uint32_t toWrite, uint32_t* written);
    FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask);
    FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t readTimeout, uint32_t writeTimeout);
    FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, uint8_t latency);
    FT_STATUS FT_SetFlowControl(FT_HANDLE handle, uint16_t flow, uint8_t xon, uint8_t xoff);
    FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, uint32_t inSize, uint32_t outSize);
    FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baud);
    FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t wordLength, uint8_t stopBits,
                                        uint8_t parity);
    FT_STATUS FT_SetBitMode(FT_HANDLE handle, uint8_t mask, uint8_t mode);
    FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* rxBytes);
    FT_STATUS FT_SetDtr(FT_HANDLE handle);
    FT_STATUS FT_ClrRts(FT_HANDLE handle);

private:
    void bindFunctions();

    void* module_ = nullptr;
    void* table_[kFunctionCount] = {};
};

// The one process-wide loader.
extern FT2XXLoader ft2xx;
