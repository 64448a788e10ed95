// The few D2XX types and constants the library needs, declared from the vendor's published
// interface. On x64 Windows there is one calling convention, so none is named here.
#pragma once

#include <cstdint>

typedef void* FT_HANDLE;
typedef uint32_t FT_STATUS;

enum : FT_STATUS {
    FT_OK = 0,
    FT_INVALID_HANDLE = 1,
    FT_DEVICE_NOT_FOUND = 2,
    FT_DEVICE_NOT_OPENED = 3,
    FT_IO_ERROR = 4,
    FT_INSUFFICIENT_RESOURCES = 5,
    FT_INVALID_PARAMETER = 6,
    FT_INVALID_BAUD_RATE = 7,
    FT_OTHER_ERROR = 18,
};

enum : uint32_t {
    FT_OPEN_BY_SERIAL_NUMBER = 1,
    FT_OPEN_BY_DESCRIPTION = 2,
    FT_LIST_ALL = 0x20000000,
    FT_LIST_BY_INDEX = 0x40000000,
    FT_LIST_NUMBER_ONLY = 0x80000000,
    FT_PURGE_RX = 1,
    FT_PURGE_TX = 2,
    FT_FLOW_RTS_CTS = 0x0100,
};
