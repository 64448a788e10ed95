#include "FtdiDev.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "FT2XXLoader.h"
#include "TextUtil.h"
#include "platform.h"

namespace {

const char* const kStatusTexts[] = {
    "",
    "Invalid handle",
    "Device not found",
    "Device not opened",
    "USB device disconnected",
    "Insuficient resources",
    "Invalid parameter",
    "Invalid baud rate",
    "Device not opened for erase",
    "Device not opened for write",
    "Failed to write device",
    "EEPROM read failed",
    "EEPROM write failed",
    "EEPROM erase failed",
    "EEPROM not present",
    "EEPROM not programmed",
    "Invalid Args",
    "Not supported",
    "Other Error",
};
constexpr size_t kStatusTextCount = sizeof(kStatusTexts) / sizeof(kStatusTexts[0]);
static_assert(kStatusTextCount == 19, "texts for the statuses 0 to 18");

const char* const kTimeoutText = "Timeout";
const char* const kDisconnectedText = "Device disconnected";

// Listing: description slots as the driver fills them (64 characters and a zero each).
constexpr size_t kListSlots = 50;
constexpr size_t kListSlotSize = 65;
constexpr size_t kDescriptionMax = 64;
constexpr size_t kSerialBufferSize = 64;
constexpr uint32_t kListAllByDescription = FT_LIST_ALL | FT_OPEN_BY_DESCRIPTION;
constexpr uint32_t kListSerialByIndex = FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER;

// Fixed configuration applied at every open.
constexpr uint8_t kLatencyMs = 2;
constexpr uint32_t kUsbTransferSize = 65536;

constexpr size_t kWriteChunk = 65535;
constexpr uint32_t kClearChunk = 1000;
constexpr size_t kLineChunk = 1023;

// Byte counts handed to the driver are 32-bit; results must fit an int.
constexpr size_t kMaxTransfer = static_cast<size_t>(INT_MAX);

uint32_t driverCount(size_t count) {
    return static_cast<uint32_t>(std::min(count, kMaxTransfer));
}

// A failed call's result: always negative, also for a status that does not fit an int.
int negated(FT_STATUS status) {
    return status <= static_cast<FT_STATUS>(INT_MAX) ? -static_cast<int>(status) : INT_MIN;
}

// After a poll that found nothing: the processor goes to whoever else is ready, and the polling
// goes on at once when nobody is. Busy channels on fewer cores than channels would otherwise
// keep a channel whose answer has arrived waiting for its turn, a latency tick or more.
void idlePoll() {
    std::this_thread::yield();
}

}  // namespace

const char* ftStatusText(uint32_t status) {
    if (status < kStatusTextCount) {
        return kStatusTexts[status];
    }
    return "Unknown status";
}

FtdiDev::FtdiDev(const std::string& identifier, bool openBySerial)
    : identifier_(identifier), openBySerial_(openBySerial) {}

FtdiDev::~FtdiDev() {
    // Owners close the channel before destroying it; a channel still holding its handle here
    // would otherwise keep the bridge opened (and unopenable) for the rest of the process.
    if (handle_ != nullptr) {
        ft2xx.FT_Close(handle_);
        handle_ = nullptr;
    }
}

int FtdiDev::listDevices(const char* const* filters, int filterCount, std::vector<FtdiDevInfo>& out,
                         bool skipChannelB, bool withSerial) {
    std::vector<char> buffers(kListSlots * kListSlotSize, 0);
    char* slots[kListSlots + 1];
    for (size_t i = 0; i < kListSlots; ++i) {
        slots[i] = &buffers[i * kListSlotSize];
    }
    slots[kListSlots] = nullptr;

    uint32_t count = 0;
    const FT_STATUS status = ft2xx.FT_ListDevices(slots, &count, kListAllByDescription);

    // More bridges than slots: the listing covers the first ones.
    const size_t listed = std::min(static_cast<size_t>(count), kListSlots);
    for (size_t i = 0; i < listed; ++i) {
        const char* slot = &buffers[i * kListSlotSize];
        const std::string description(slot, strnlen(slot, kDescriptionMax));

        if (skipChannelB && description.size() > 1 && description.back() == 'B') {
            continue;
        }
        if (filters != nullptr && filterCount > 0) {
            bool matched = false;
            for (int f = 0; f < filterCount && !matched; ++f) {
                matched =
                    filters[f] != nullptr && description.find(filters[f]) != std::string::npos;
            }
            if (!matched) {
                continue;
            }
        }

        std::string serial;
        if (withSerial) {
            char serialBuffer[kSerialBufferSize] = {};
            void* index = reinterpret_cast<void*>(static_cast<uintptr_t>(i));
            if (ft2xx.FT_ListDevices(index, serialBuffer, kListSerialByIndex) == FT_OK) {
                serial.assign(serialBuffer, strnlen(serialBuffer, sizeof(serialBuffer)));
            }
        }
        out.push_back(FtdiDevInfo{description, serial});
    }
    return static_cast<int>(status);
}

int FtdiDev::open(bool rtsCts) {
    rtsCts_ = rtsCts;
    const uint32_t flags = openBySerial_ ? FT_OPEN_BY_SERIAL_NUMBER : FT_OPEN_BY_DESCRIPTION;
    const FT_STATUS status =
        ft2xx.FT_OpenEx(const_cast<char*>(identifier_.c_str()), flags, &handle_);
    if (status != FT_OK) {
        handle_ = nullptr;
        lastError_ = ftStatusText(status);
        return static_cast<int>(status);
    }
    ft2xx.FT_Purge(handle_, FT_PURGE_RX | FT_PURGE_TX);
    ft2xx.FT_SetTimeouts(handle_, kDriverTimeoutMs, kDriverTimeoutMs);
    ft2xx.FT_SetLatencyTimer(handle_, kLatencyMs);
    if (rtsCts_) {
        ft2xx.FT_SetFlowControl(handle_, FT_FLOW_RTS_CTS, 0, 0);
    }
    ft2xx.FT_SetUSBParameters(handle_, kUsbTransferSize, kUsbTransferSize);
    return 0;
}

int FtdiDev::close() {
    if (handle_ == nullptr) {
        return 0;
    }
    const FT_STATUS status = ft2xx.FT_Close(handle_);
    // The handle is gone either way: a second close must not reach the driver with it.
    handle_ = nullptr;
    lastError_ = ftStatusText(status);
    return static_cast<int>(status);
}

int FtdiDev::setBaudRate(uint32_t baudRate) {
    ft2xx.FT_SetBaudRate(handle_, baudRate);
    ft2xx.FT_SetDataCharacteristics(handle_, 8, 0, 0);
    if (rtsCts_) {
        ft2xx.FT_SetFlowControl(handle_, FT_FLOW_RTS_CTS, 0, 0);
    }
    lineConfigured_ = true;
    return 0;
}

int FtdiDev::setBitMode(bool on) {
    const FT_STATUS status = ft2xx.FT_SetBitMode(handle_, 0xFF, on ? 0x40 : 0x01);
    lastError_ = ftStatusText(status);
    return static_cast<int>(status);
}

int FtdiDev::clearInput() {
    unsigned char scratch[kClearChunk];
    const double giveUp = preciseTime() + kClearMaxSeconds;
    size_t discarded = 0;
    for (;;) {
        uint32_t waiting = 0;
        if (ft2xx.FT_GetQueueStatus(handle_, &waiting) != FT_OK || waiting == 0) {
            return 0;
        }
        uint32_t got = 0;
        if (ft2xx.FT_Read(handle_, scratch, kClearChunk, &got) != FT_OK) {
            return -1;
        }
        if (got == 0) {
            return 0;
        }
        discarded += std::min(got, kClearChunk);
        // Input that never stops must not keep the caller here for good.
        if (discarded >= kClearMaxBytes || preciseTime() >= giveUp) {
            return 0;
        }
    }
}

int FtdiDev::availableBytes() {
    uint32_t waiting = 0;
    const FT_STATUS status = ft2xx.FT_GetQueueStatus(handle_, &waiting);
    if (status != FT_OK) {
        lastError_ = ftStatusText(status);
        return negated(status);
    }
    return static_cast<int>(driverCount(waiting));
}

int FtdiDev::read(void* buffer, size_t bufferSize, size_t count, double timeout,
                  bool fixedDeadline) {
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    size_t want = std::min(std::min(count, bufferSize), kMaxTransfer);
    if (want == 0) {
        const int waiting = availableBytes();
        if (waiting <= 0 || bufferSize == 0) {
            return waiting;
        }
        want = std::min(static_cast<size_t>(waiting), bufferSize);
    }

    double deadline = preciseTime() + timeout;
    double interval = 1.0;
    size_t received = 0;
    while (deadline > preciseTime()) {
        const Intake in = takeWaiting(bytes + received, want - received, false);
        if (in.kind == Intake::kQueryFailed) {
            return negated(in.status);
        }
        if (in.kind == Intake::kNothingWaits) {
            if (timeout * 0.5 > 2.0 * interval) {
                interval *= 2.0;
            }
            idlePoll();
            continue;
        }
        if (in.kind == Intake::kReadFailed) {
            trace(bytes, received, false);
            return negated(in.status);
        }
        received += in.count;
        if (received == want) {
            break;
        }
        if (in.count > 0 && !fixedDeadline) {
            deadline = preciseTime() + timeout;
        }
        if (interval > 16.0) {
            pauseMs(static_cast<unsigned>(interval));
        }
    }

    if (received < bufferSize) {
        bytes[received] = 0;
    }
    notify(bytes, received, false);
    if (received < want) {
        lastError_ = kTimeoutText;
    }
    trace(bytes, received, false);
    return static_cast<int>(received);
}

int FtdiDev::readAvailable(void* buffer, size_t bufferSize, size_t polls) {
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    const size_t capacity = std::min(bufferSize, kMaxTransfer);
    size_t received = 0;
    for (size_t poll = 0; poll < polls; ++poll) {
        const Intake in = takeWaiting(bytes + received, capacity - received, true);
        if (in.kind == Intake::kNothingWaits) {
            continue;
        }
        if (in.kind == Intake::kReadFailed) {
            trace(bytes, received, false);
            return negated(in.status);
        }
        received += in.count;
        if (received > 0) {
            break;
        }
    }
    trace(bytes, received, false);
    return static_cast<int>(received);
}

int FtdiDev::readUntil(void* buffer, size_t bufferSize, const void* pattern, size_t patternLength,
                       double timeout) {
    unsigned char* bytes = static_cast<unsigned char*>(buffer);
    const size_t capacity = std::min(bufferSize, kMaxTransfer);
    size_t received = 0;
    const double deadline = preciseTime() + timeout;
    while (deadline > preciseTime()) {
        const Intake in = takeWaiting(bytes + received, capacity - received, true);
        if (in.kind == Intake::kNothingWaits) {
            idlePoll();
            continue;
        }
        if (in.kind == Intake::kReadFailed) {
            trace(bytes, received, false);
            return negated(in.status);
        }
        received += in.count;
        if (received >= patternLength &&
            (patternLength == 0 ||
             std::memcmp(bytes + received - patternLength, pattern, patternLength) == 0)) {
            break;
        }
        // A full buffer can take nothing more; waiting for the deadline would change nothing.
        if (received == capacity) {
            break;
        }
    }
    notify(bytes, received, false);
    trace(bytes, received, false);
    return static_cast<int>(received);
}

int FtdiDev::readLine(std::string& out, char terminator, double timeout) {
    const size_t pendingAt = pending_.find(terminator);
    if (pendingAt != std::string::npos) {
        out = pending_.substr(0, pendingAt);
        pending_.erase(0, pendingAt + 1);
        return 0;
    }
    out = pending_;
    pending_.clear();

    const double deadline = preciseTime() + timeout;
    while (deadline > preciseTime()) {
        char scratch[kLineChunk + 1];
        const Intake in = takeWaiting(scratch, kLineChunk, true);
        if (in.kind == Intake::kNothingWaits) {
            idlePoll();
            continue;
        }
        if (in.kind == Intake::kReadFailed) {
            return negated(in.status);
        }
        scratch[in.count] = 0;

        // The chunk's text ends at its first zero byte.
        const std::string chunk(scratch);
        const size_t at = chunk.find(terminator);
        if (at == std::string::npos) {
            out += chunk;
            continue;
        }
        out.append(chunk, 0, at);
        if (at + 1 < chunk.size()) {
            pending_ = chunk.substr(at + 1);
        }
        return 0;
    }
    return -1;
}

int FtdiDev::write(const void* data, size_t length, double timeout) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    trace(bytes, length, true);
    double lastProgress = preciseTime();
    size_t sent = 0;
    for (;;) {
        const uint32_t offered = static_cast<uint32_t>(std::min(length - sent, kWriteChunk));
        uint32_t written = 0;
        const FT_STATUS status =
            ft2xx.FT_Write(handle_, const_cast<unsigned char*>(bytes + sent), offered, &written);
        if (status != FT_OK) {
            lastError_ = ftStatusText(status);
            return negated(status);
        }
        // A driver claiming more than it was handed has lost track of the device.
        if (written > offered) {
            lastError_ = kDisconnectedText;
            return -1;
        }
        sent += written;
        if (preciseTime() - lastProgress > timeout && written == 0) {
            lastError_ = kTimeoutText;
            return -1;
        }
        if (written > 0) {
            lastProgress = preciseTime();
        }
        if (sent == length) {
            notify(bytes, sent, true);
            return static_cast<int>(std::min(sent, kMaxTransfer));
        }
    }
}

FtdiDev::Intake FtdiDev::takeWaiting(void* into, size_t room, bool readAfterFailedQuery) {
    uint32_t waiting = 0;
    const FT_STATUS queryStatus = ft2xx.FT_GetQueueStatus(handle_, &waiting);
    size_t amount = room;
    if (queryStatus != FT_OK) {
        lastError_ = ftStatusText(queryStatus);
        if (!readAfterFailedQuery) {
            return Intake{Intake::kQueryFailed, 0, queryStatus};
        }
    } else if (waiting == 0) {
        fixUp();
        return Intake{Intake::kNothingWaits, 0, FT_OK};
    } else {
        amount = std::min(amount, static_cast<size_t>(waiting));
    }
    const uint32_t asked = driverCount(amount);
    uint32_t got = 0;
    const FT_STATUS status = ft2xx.FT_Read(handle_, into, asked, &got);
    if (status != FT_OK) {
        lastError_ = ftStatusText(status);
        return Intake{Intake::kReadFailed, 0, status};
    }
    fixUp();
    // A driver claiming more than it was asked for is not believed.
    return Intake{Intake::kRead, std::min(got, asked), FT_OK};
}

void FtdiDev::fixUp() {
    if (rtsCts_ && !lineConfigured_) {
        ft2xx.FT_SetDtr(handle_);
        ft2xx.FT_ClrRts(handle_);
    }
}

void FtdiDev::trace(const void* data, size_t count, bool sent) {
    if (tracePath.empty()) {
        return;
    }
    std::FILE* file = plat::openFile(tracePath, "a");
    if (file == nullptr) {
        return;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::fputc(sent ? '>' : '<', file);
    for (size_t i = 0; i < count; ++i) {
        std::fprintf(file, "%02X ", bytes[i]);
    }
    std::fputc('\n', file);
    std::fclose(file);
}

void FtdiDev::notify(const void* data, size_t count, bool sent) {
    if (observer != nullptr) {
        observer(data, static_cast<uint32_t>(count), sent, observerContext);
    }
}
