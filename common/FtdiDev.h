// One serial link to one FTDI USB bridge through the D2XX call-throughs. No lock of its own: the
// owner serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "D2xxTypes.h"

struct FtdiDevInfo {
    std::string description;
    std::string serial;
};

// Text of a D2XX status; statuses outside the known range get a text of their own.
const char* ftStatusText(uint32_t status);

class FtdiDev {
public:
    using Observer = void (*)(const void* data, uint32_t count, bool sent, void* context);

    // The driver's own read and write time-outs, set at every open: a driver call that waits for
    // bytes (or for room to send them) returns after this long.
    static constexpr uint32_t kDriverTimeoutMs = 500;
    // clearInput gives up on a line whose input never stops after this long or this much.
    static constexpr double kClearMaxSeconds = 2.0;
    static constexpr size_t kClearMaxBytes = 1024 * 1024;

    FtdiDev(const std::string& identifier, bool openBySerial);
    virtual ~FtdiDev();
    FtdiDev(const FtdiDev&) = delete;
    FtdiDev& operator=(const FtdiDev&) = delete;

    // Appends one entry per matching device; returns the status of the D2XX list call.
    static int listDevices(const char* const* filters, int filterCount,
                           std::vector<FtdiDevInfo>& out, bool skipChannelB, bool withSerial);

    int open(bool rtsCts);
    int close();
    int setBaudRate(uint32_t baudRate);
    int setBitMode(bool on);
    int clearInput();
    int availableBytes();
    int read(void* buffer, size_t bufferSize, size_t count, double timeout, bool fixedDeadline);
    int readAvailable(void* buffer, size_t bufferSize, size_t polls);
    int readUntil(void* buffer, size_t bufferSize, const void* pattern, size_t patternLength,
                  double timeout);
    int readLine(std::string& out, char terminator, double timeout);
    // Forgets the text that readLine kept after the last terminator it saw.
    void dropPending() { pending_.clear(); }
    int write(const void* data, size_t length, double timeout);

    const std::string& lastError() const { return lastError_; }
    bool isOpen() const { return handle_ != nullptr; }

    // Optional hooks, empty unless a caller fills them.
    std::string tracePath;
    Observer observer = nullptr;
    void* observerContext = nullptr;

private:
    // What one look at the receive queue came to: bytes read (possibly none), nothing waiting, or
    // the driver call that failed with its status.
    struct Intake {
        enum Kind { kRead, kNothingWaits, kQueryFailed, kReadFailed } kind;
        uint32_t count;
        FT_STATUS status;
    };
    // Asks the driver how much input waits and reads it, at most `room` bytes, into `into`, then
    // applies the line fix-up. After a failed query it reads the whole room when
    // readAfterFailedQuery is set and stops otherwise. A failure is recorded in lastError.
    Intake takeWaiting(void* into, size_t room, bool readAfterFailedQuery);
    void fixUp();
    void trace(const void* data, size_t count, bool sent);
    void notify(const void* data, size_t count, bool sent);

    FT_HANDLE handle_ = nullptr;
    std::string identifier_;
    bool openBySerial_;
    bool rtsCts_ = false;
    bool lineConfigured_ = false;
    std::string lastError_;
    std::string pending_;
};
