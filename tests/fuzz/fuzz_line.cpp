// The fuzzing D2XX driver: the functions the channel calls, over one bridge whose line runs in
// simulated time (fuzz_support.h). Single-threaded and deterministic, so libFuzzer replays exactly.
#include "fuzz_support.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <utility>
#include <vector>

#include "ftd2xx_api.h"

namespace {

constexpr uint32_t kOk = 0, kInvalidHandle = 1, kDeviceNotFound = 2, kDeviceNotOpened = 3;
// Time that passes with every driver call, and when a query finds nothing and nothing is due.
constexpr double kCallTime = 0.0001, kIdleTime = 0.05;

struct Line {
    std::string description;
    fuzz::Input* peer = nullptr;
    bool open = false;
    double now = 1000.0, lastArrival = 0.0, readTimeout = 0.0;
    // Bytes for the host and when each arrives, in order (no delivery overtakes an earlier one).
    std::deque<std::pair<double, uint8_t>> input;
    uint32_t armed[FUZZ_ARMS] = {};
    std::vector<uint8_t> written, read;
    fuzz::Marks marks;

    uint32_t take(int what) { return std::exchange(armed[what], 0u); }
    // How many bytes have arrived by now, at the queue's front.
    size_t arrived() const {
        return std::partition_point(input.begin(), input.end(),
                                    [this](const auto& b) { return b.first <= now; }) -
               input.begin();
    }
};

Line& line = *new Line;
char handleToken;  // the handle FT_OpenEx gives out: any other value is not ours

// Every call lets time pass; a foreign handle fails, else so does an armed `function`.
uint32_t call(void* handle, int function = -1) {
    line.now += kCallTime;
    return handle != &handleToken || !line.open ? kInvalidHandle
           : function < 0                       ? kOk
                                                : line.take(function);
}

}  // namespace

void fuzz_line_reset(const char* description, fuzz::Input* peer) {
    // Everything an input left is freed here: libFuzzer reports an input that keeps memory.
    const double now = line.now;
    line = Line();
    line.description = description != nullptr ? description : "";
    line.peer = peer;
    line.now = line.lastArrival = now;
}

void fuzz_line_deliver(const void* data, size_t length, double delay) {
    const double at = std::max(line.now, line.lastArrival) + std::max(delay, 0.0);
    line.lastArrival = at;
    for (size_t i = 0; i < length; ++i) {
        line.input.emplace_back(at, static_cast<const uint8_t*>(data)[i]);
    }
}

void fuzz_line_arm(int what, uint32_t value) {
    line.armed[what] = value;
}

double* fuzz_line_clock() {
    return &line.now;
}

const fuzz::Marks& fuzz_line_marks() {
    return line.marks;
}

size_t fuzz_line_record(bool written, const uint8_t** data) {
    const std::vector<uint8_t>& record = written ? line.written : line.read;
    *data = record.data();
    return record.size();
}

extern "C" {

uint32_t FT_OpenEx(void* pArg1, uint32_t flags, void** pHandle) {
    line.now += kCallTime;
    const bool found = flags == 2 /* by description */ && pArg1 != nullptr &&
                       line.description == static_cast<const char*>(pArg1);
    const uint32_t failure = line.take(FUZZ_FN_OPEN);
    const uint32_t status = failure != 0 ? failure
                            : !found     ? kDeviceNotFound
                            : line.open  ? kDeviceNotOpened
                                         : kOk;
    if (status == kOk) {
        line.open = true;
        *pHandle = &handleToken;
    }
    return status;
}

uint32_t FT_Close(void* handle) {
    const uint32_t status = call(handle);
    line.open = line.open && status != kOk;
    return status;
}

uint32_t FT_Read(void* handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned) {
    if (const uint32_t status = call(handle, FUZZ_FN_READ)) {
        return status;
    }
    // Like the vendor's driver: waits for the whole count, at most the read time-out.
    const double whole = bytesToRead == 0                   ? line.now
                         : bytesToRead <= line.input.size() ? line.input[bytesToRead - 1].first
                                                            : HUGE_VAL;
    line.now = std::max(line.now, std::min(whole, line.now + line.readTimeout));
    const size_t got = std::min<size_t>(bytesToRead, line.arrived());
    for (size_t i = 0; i < got; ++i) {
        line.read.push_back(static_cast<uint8_t*>(buffer)[i] = line.input[i].second);
    }
    line.input.erase(line.input.begin(), line.input.begin() + got);
    if (got > 0) {
        line.marks.readEnds.push_back(line.read.size());
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
        line.peer != nullptr ? fuzz::answerWrite(*line.peer, bytesToWrite, &accepted) : kOk;
    if (status == kOk && accepted > 0) {
        line.marks.writtenAt.push_back(line.written.size());
        line.marks.readAtWrite.push_back(line.read.size());
    }
    if (status == kOk) {
        line.written.insert(line.written.end(), data, data + std::min(accepted, bytesToWrite));
    }
    *bytesWritten = accepted;
    return status;
}

uint32_t FT_Purge(void* handle, uint32_t mask) {
    const uint32_t status = call(handle);
    const size_t dropped = status == kOk && (mask & 1) != 0 /* receive side */ ? line.arrived() : 0;
    line.input.erase(line.input.begin(), line.input.begin() + dropped);
    return status;
}

uint32_t FT_SetTimeouts(void* handle, uint32_t readTimeout, uint32_t /*writeTimeout*/) {
    const uint32_t status = call(handle);
    line.readTimeout = status == kOk ? readTimeout * 0.001 : line.readTimeout;
    return status;
}

uint32_t FT_GetQueueStatus(void* handle, uint32_t* rxBytes) {
    if (const uint32_t status = call(handle, FUZZ_FN_QUEUE)) {
        return status;
    }
    size_t count = line.arrived();
    if (count == 0) {
        // Nothing yet: time runs on to the next arrival while the host polls.
        line.now = line.input.empty() ? line.now + kIdleTime : line.input.front().first;
    } else {
        count += line.take(FUZZ_OVERSTATE);
    }
    *rxBytes = static_cast<uint32_t>(std::min<size_t>(count, UINT32_MAX));
    return kOk;
}

// The rest: checked and accepted (bit mode may be armed to fail); the line does not model them.
#define FUZZ_ACCEPT(name, params, function) \
    uint32_t name params {                  \
        return call(handle, function);      \
    }
FUZZ_ACCEPT(FT_SetBitMode, (void* handle, uint8_t, uint8_t), FUZZ_FN_BITMODE)
FUZZ_ACCEPT(FT_SetLatencyTimer, (void* handle, uint8_t), -1)
FUZZ_ACCEPT(FT_SetFlowControl, (void* handle, uint16_t, uint8_t, uint8_t), -1)
FUZZ_ACCEPT(FT_SetUSBParameters, (void* handle, uint32_t, uint32_t), -1)
FUZZ_ACCEPT(FT_SetBaudRate, (void* handle, uint32_t), -1)
FUZZ_ACCEPT(FT_SetDataCharacteristics, (void* handle, uint8_t, uint8_t, uint8_t), -1)
FUZZ_ACCEPT(FT_SetDtr, (void* handle), -1)
FUZZ_ACCEPT(FT_ClrRts, (void* handle), -1)

}  // extern "C"
