// The binary command protocol of the current HV source model. A request is the sync byte 0x55,
// a command code and a payload of fixed, command-specific length; the answer echoes the code,
// carries the payload the caller expects and ends with a status byte and a line feed. The
// manager sends, receives, validates and logs each exchange; it knows nothing of the payloads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "FileLog.h"
#include "FtdiDev.h"
#include "ThreadSync.h"

namespace HwHvSrc {

// Command codes of the HV source; each is also the index of its name in kHvCommandNames.
enum HvCommand : signed char {
    HV_CMD_NOTHING = 0x00,
    HV_CMD_TEST = 0x01,
    HV_CMD_FW_INFO = 0x02,
    HV_CMD_SOURCES_COUNT = 0x03,
    HV_CMD_GET_RANGES = 0x04,
    HV_CMD_SET_VOLTAGE = 0x05,
    HV_CMD_READ_VOLT_CURR = 0x06,
};

constexpr uint32_t kHvCommandCount = 7;
extern const char* const kHvCommandNames[kHvCommandCount];

// Result codes besides 0 (success) and what the channel's write or read returns.
enum : int {
    CMD_ERR_READ = -1,        // the response code or payload could not be read
    CMD_ERR_SHORT = -2,       // the response payload arrived short
    CMD_ERR_NO_TRAILER = -3,  // the status byte and line feed did not arrive
    CMD_ERR_STATUS = -4,      // a status other than 0, or no line feed at the end
    CMD_ERR_MISMATCH = -5,    // the response code is not the command code
};

// Time-out of the writes and of the trailer read.
constexpr double kCmdWriteTimeout = 2.0;
constexpr double kCmdTrailerTimeout = 2.0;

class CmdMgr {
public:
    static constexpr unsigned char kSync = 0x55;
    static constexpr unsigned char kLineFeed = 0x0A;
    // flushInput reads in chunks of this size ...
    static constexpr size_t kFlushChunk = 10000;
    static constexpr size_t kFlushPolls = 5;
    // ... and gives up on input that never stops after this long or this much.
    static constexpr double kFlushMaxSeconds = 2.0;
    static constexpr size_t kFlushMaxBytes = 1024 * 1024;

    // Uses the channel and the log (which may be null) without owning them; the name table holds
    // nameCount texts indexed by command code.
    CmdMgr(FtdiDev* channel, FileLog* log, const char* const* names, uint32_t nameCount);
    virtual ~CmdMgr();
    CmdMgr(const CmdMgr&) = delete;
    CmdMgr& operator=(const CmdMgr&) = delete;

    // Sends 0x55, the code, then the payload (if any).
    int sendCommand(signed char code, const void* payload, uint32_t length);
    // Receives one answer to `expected` with `length` payload bytes into `buffer` (none when the
    // buffer is null or the length 0). The time-out applies to the code and to the payload.
    int receiveResponse(signed char expected, void* buffer, uint32_t length, double timeout);
    // One whole exchange: sendCommand, then, when that succeeded, receiveResponse.
    int transact(signed char code, const void* request, uint32_t requestLength, void* response,
                 uint32_t responseLength, double timeout);
    // Drains and (with `logIt`) dumps whatever input is waiting; always 0.
    int flushInput(bool logIt);

    std::string lastError();
    // The name of a code, "Unknown" for one outside the table.
    const char* nameOf(signed char code) const;

private:
    int fail(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));

    ThreadSyncObject lock_;
    FtdiDev* channel_;
    FileLog* log_;
    const char* const* names_;
    std::string lastError_;
    uint32_t nameCount_;
};

}  // namespace HwHvSrc
