// The fuzzing D2XX driver: the functions the channel calls, over one bridge whose line runs in
// simulated time (fuzz_line.h). Single-threaded and deterministic, so libFuzzer replays exactly.
#include "fuzz_line.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "ftd2xx_api.h"

namespace {

constexpr uint32_t kOk = 0;
constexpr uint32_t kInvalidHandle = 1;
constexpr uint32_t kDeviceNotFound = 2;
constexpr uint32_t kDeviceNotOpened = 3;
constexpr uint32_t kByDescription = 2;
constexpr uint32_t kPurgeRx = 1;

// Time that passes with every driver call, and when a query finds nothing and nothing is due.
constexpr double kCallTime = 0.0001;
constexpr double kIdleTime = 0.05;

struct Delivery {
    double at;
    std::vector<uint8_t> data;
    size_t taken;
};

struct Line {
    std::string description;
    FuzzWriteHandler handler = nullptr;
    void* context = nullptr;
    bool open = false;
    double now = 1000.0;
    double lastArrival = 0.0;
    double readTimeout = 0.0;
    std::deque<Delivery> input;
    uint32_t failNext[FUZZ_FN_COUNT] = {};
    uint32_t overstate = 0;
    std::vector<uint8_t> written;
    std::vector<uint8_t> read;
};

Line& line = *new Line;

// The handle FT_OpenEx gives out: any other value is not ours.
char handleToken;

// Every call lets time pass; a call on a handle that is not the open bridge's fails.
uint32_t call(void* handle) {
    line.now += kCallTime;
    return handle == &handleToken && line.open ? kOk : kInvalidHandle;
}

uint32_t takeFailure(int function) {
    return std::exchange(line.failNext[function], 0u);
}

// Bytes that have arrived by now, and when the next one arrives (negative when none is queued).
size_t arrived() {
    size_t count = 0;
    for (auto d = line.input.begin(); d != line.input.end() && d->at <= line.now; ++d) {
        count += d->data.size() - d->taken;
    }
    return count;
}

double nextArrival() {
    for (const Delivery& d : line.input) {
        if (d.at > line.now) {
            return d.at;
        }
    }
    return -1.0;
}

size_t take(uint8_t* out, size_t count) {
    size_t got = 0;
    while (got < count && !line.input.empty() && line.input.front().at <= line.now) {
        Delivery& d = line.input.front();
        const size_t n = std::min(count - got, d.data.size() - d.taken);
        std::memcpy(out + got, d.data.data() + d.taken, n);
        d.taken += n;
        got += n;
        if (d.taken == d.data.size()) {
            line.input.pop_front();
        }
    }
    line.read.insert(line.read.end(), out, out + got);
    return got;
}

}  // namespace

extern "C" {

void fuzz_line_reset(const char* description, FuzzWriteHandler handler, void* context) {
    // Everything an input left is freed here, not kept for the next: libFuzzer looks for leaks
    // in every input that allocated more than it freed.
    const double now = line.now;
    line.~Line();
    new (&line) Line;
    line.description = description != nullptr ? description : "";
    line.handler = handler;
    line.context = context;
    line.now = line.lastArrival = now;
}

void fuzz_line_deliver(const void* data, size_t length, double delay) {
    const double at = std::max(line.now, line.lastArrival) + std::max(delay, 0.0);
    line.lastArrival = at;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (length > 0) {
        line.input.push_back(Delivery{at, std::vector<uint8_t>(bytes, bytes + length), 0});
    }
}

void fuzz_line_fail_next(int function, uint32_t status) {
    if (function >= 0 && function < FUZZ_FN_COUNT) {
        line.failNext[function] = status;
    }
}

void fuzz_line_overstate_next(uint32_t extra) {
    line.overstate = extra;
}

double fuzz_line_now(void) {
    return line.now;
}

void fuzz_line_pause(unsigned milliseconds) {
    line.now += milliseconds * 0.001;
}

size_t fuzz_line_written(const uint8_t** data) {
    *data = line.written.data();
    return line.written.size();
}

size_t fuzz_line_read(const uint8_t** data) {
    *data = line.read.data();
    return line.read.size();
}

uint32_t FT_OpenEx(void* pArg1, uint32_t flags, void** pHandle) {
    call(nullptr);
    if (const uint32_t status = takeFailure(FUZZ_FN_OPEN)) {
        return status;
    }
    if (flags != kByDescription || pArg1 == nullptr ||
        line.description != static_cast<const char*>(pArg1)) {
        return kDeviceNotFound;
    }
    if (line.open) {
        return kDeviceNotOpened;
    }
    line.open = true;
    *pHandle = &handleToken;
    return kOk;
}

uint32_t FT_Close(void* handle) {
    const uint32_t status = call(handle);
    line.open = line.open && status != kOk;
    return status;
}

uint32_t FT_Read(void* handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned) {
    if (const uint32_t status = call(handle) ? kInvalidHandle : takeFailure(FUZZ_FN_READ)) {
        return status;
    }
    // Like the vendor's driver: waits for the whole count, at most the read time-out.
    uint8_t* out = static_cast<uint8_t*>(buffer);
    const double deadline = line.now + line.readTimeout;
    size_t got = take(out, bytesToRead);
    while (got < bytesToRead) {
        const double next = nextArrival();
        if (next < 0.0 || next > deadline) {
            line.now = std::max(line.now, deadline);
            break;
        }
        line.now = next;
        got += take(out + got, bytesToRead - got);
    }
    *bytesReturned = static_cast<uint32_t>(got);
    return kOk;
}

uint32_t FT_Write(void* handle, void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten) {
    if (call(handle) != kOk) {
        return kInvalidHandle;
    }
    const uint8_t* data = static_cast<const uint8_t*>(buffer);
    uint32_t accepted = bytesToWrite;
    const uint32_t status =
        line.handler != nullptr ? line.handler(line.context, data, bytesToWrite, &accepted) : kOk;
    if (status == kOk) {
        line.written.insert(line.written.end(), data, data + std::min(accepted, bytesToWrite));
    }
    *bytesWritten = accepted;
    return status;
}

uint32_t FT_Purge(void* handle, uint32_t mask) {
    const uint32_t status = call(handle);
    while (status == kOk && (mask & kPurgeRx) != 0 && !line.input.empty() &&
           line.input.front().at <= line.now) {
        line.input.pop_front();
    }
    return status;
}

uint32_t FT_SetTimeouts(void* handle, uint32_t readTimeout, uint32_t /*writeTimeout*/) {
    const uint32_t status = call(handle);
    line.readTimeout = status == kOk ? readTimeout * 0.001 : line.readTimeout;
    return status;
}

uint32_t FT_GetQueueStatus(void* handle, uint32_t* rxBytes) {
    if (const uint32_t status = call(handle) ? kInvalidHandle : takeFailure(FUZZ_FN_QUEUE)) {
        return status;
    }
    size_t count = arrived();
    if (count == 0) {
        // Nothing yet: time runs on to the next arrival while the host polls.
        const double next = nextArrival();
        line.now = next > line.now ? next : line.now + kIdleTime;
    } else {
        count += std::exchange(line.overstate, 0u);
    }
    *rxBytes = static_cast<uint32_t>(std::min<size_t>(count, UINT32_MAX));
    return kOk;
}

uint32_t FT_SetBitMode(void* handle, uint8_t, uint8_t) {
    return call(handle) ? kInvalidHandle : takeFailure(FUZZ_FN_BITMODE);
}

// Settings the line does not model: checked and accepted.
#define FUZZ_ACCEPT(name, ...)                 \
    uint32_t name(void* handle, __VA_ARGS__) { \
        return call(handle);                   \
    }
FUZZ_ACCEPT(FT_SetLatencyTimer, uint8_t)
FUZZ_ACCEPT(FT_SetFlowControl, uint16_t, uint8_t, uint8_t)
FUZZ_ACCEPT(FT_SetUSBParameters, uint32_t, uint32_t)
FUZZ_ACCEPT(FT_SetBaudRate, uint32_t)
FUZZ_ACCEPT(FT_SetDataCharacteristics, uint8_t, uint8_t, uint8_t)
uint32_t FT_SetDtr(void* handle) {
    return call(handle);
}
uint32_t FT_ClrRts(void* handle) {
    return call(handle);
}

}  // extern "C"
