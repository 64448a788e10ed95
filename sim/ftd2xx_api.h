/* The 16 D2XX functions the stand-in driver exports, declared for tests that call the driver
 * directly (the plug-in binds them at run time and never includes this header). The types are
 * the plain fixed-size ones of the published interface: handles are opaque pointers, statuses,
 * DWORDs and ULONGs 32-bit unsigned. Status values and flags: common/D2xxTypes.h. */
#ifndef HVSRC_FTD2XX_API_H
#define HVSRC_FTD2XX_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

uint32_t FT_ListDevices(void* pArg1, void* pArg2, uint32_t flags);
uint32_t FT_OpenEx(void* pArg1, uint32_t flags, void** pHandle);
uint32_t FT_Close(void* handle);
uint32_t FT_Read(void* handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned);
uint32_t FT_Write(void* handle, void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten);
uint32_t FT_Purge(void* handle, uint32_t mask);
uint32_t FT_SetTimeouts(void* handle, uint32_t readTimeout, uint32_t writeTimeout);
uint32_t FT_SetLatencyTimer(void* handle, uint8_t latency);
uint32_t FT_SetFlowControl(void* handle, uint16_t flowControl, uint8_t xon, uint8_t xoff);
uint32_t FT_SetUSBParameters(void* handle, uint32_t inTransferSize, uint32_t outTransferSize);
uint32_t FT_SetBaudRate(void* handle, uint32_t baudRate);
uint32_t FT_SetDataCharacteristics(void* handle, uint8_t wordLength, uint8_t stopBits,
                                   uint8_t parity);
uint32_t FT_SetBitMode(void* handle, uint8_t mask, uint8_t mode);
uint32_t FT_GetQueueStatus(void* handle, uint32_t* rxBytes);
uint32_t FT_SetDtr(void* handle);
uint32_t FT_ClrRts(void* handle);

#ifdef __cplusplus
}
#endif

#endif
