// The stand-in driver's face: the 16 D2XX functions the channel calls, on the simulated bridges
// of the registry (bridge_registry.h).
#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bridge_registry.h"
#include "ftd2xx_api.h"

using namespace simbridge;

namespace {

constexpr uint32_t kBySerial = 1;
constexpr uint32_t kByDescription = 2;
constexpr uint32_t kListAll = 0x20000000;
constexpr uint32_t kListByIndex = 0x40000000;
constexpr uint32_t kListNumberOnly = 0x80000000;
constexpr uint32_t kPurgeRx = 1;

constexpr size_t kDescriptionMax = 64;
constexpr size_t kSerialMax = 16;
// The vendor's driver waits forever by default; a simulated read never waits longer than this,
// so a test with a missing reply fails instead of hanging.
constexpr Millis kLongestWait{30000};
// A flooded bridge always reports this many bytes waiting.
constexpr uint32_t kFloodQueue = 4096;
// The highest baud rate the bridges take.
constexpr uint32_t kMaxBaud = 3000000;

// A failure injected for this bridge, else one injected for any bridge.
bool takeFailure(Bridge* b, int fn, uint32_t& status) {
    return (b != nullptr && takeFault(b->failNext, fn, status)) ||
           takeFault(reg().failAny, fn, status);
}

// Counts a handle call, validates the handle and applies an injected failure. Returns kOk when
// the call goes on; `b` is then the handle's bridge. The caller holds the lock.
uint32_t enter(int fn, void* handle, BridgePtr& b) {
    Registry& r = reg();
    ++r.calls[fn];
    auto it = r.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == r.handles.end()) {
        return kInvalidHandle;
    }
    b = it->second;
    ++b->calls[fn];
    uint32_t status = kOk;
    if (takeFailure(b.get(), fn, status)) {
        return status;
    }
    return kOk;
}

// A call that neither waits nor calls the peer: under the lock, counted, its handle checked and
// an injected failure applied (enter); then `work` runs on the handle's bridge, still under the
// lock, and gives the status.
template <typename Work>
uint32_t handleCall(int fn, void* handle, Work work) {
    std::lock_guard<std::mutex> lock(reg().mutex);
    BridgePtr b;
    const uint32_t status = enter(fn, handle, b);
    if (status != kOk) {
        return status;
    }
    return work(*b);
}

bool stillOpen(void* handle, const BridgePtr& b) {
    auto it = reg().handles.find(reinterpret_cast<uintptr_t>(handle));
    return it != reg().handles.end() && it->second == b;
}

// The entry of FT_Read and FT_Write, under the caller's lock: enter, then the buffer and the
// count's pointer checked and a bridge that is gone refused.
uint32_t enterTransfer(int fn, void* handle, const void* buffer, uint32_t length,
                       const uint32_t* transferred, BridgePtr& b) {
    const uint32_t status = enter(fn, handle, b);
    if (status != kOk) {
        return status;
    }
    if (transferred == nullptr || (buffer == nullptr && length > 0)) {
        return kInvalidParameter;
    }
    return ioDead(*b) ? kIoError : kOk;
}

// How long a call waits with the driver time-out `timeoutMs` (0: without a time-out, but never
// longer than the longest wait).
Millis waitLimit(uint32_t timeoutMs) {
    return timeoutMs == 0 ? kLongestWait : std::min(Millis(timeoutMs), kLongestWait);
}

// Moves up to `count` visible bytes into `out`; a flooded bridge fills the rest with its byte.
size_t takeInput(Bridge& b, uint8_t* out, size_t count, TimePoint now) {
    size_t got = b.input.take(out, count, now);
    if (b.flood && got < count) {
        std::memset(out + got, b.floodByte, count - got);
        got = count;
    }
    return got;
}

void writeText(char* out, const std::string& text, size_t max, bool terminate) {
    const size_t n = std::min(text.size(), max);
    std::memcpy(out, text.data(), n);
    if (terminate) {
        out[n] = '\0';
    } else {
        // No terminating zero: the whole field is filled, padded with blanks.
        std::memset(out + n, ' ', max - n);
    }
}

// A write to a stalled bridge with wire timing on waits, as the vendor's driver does, for the
// stall to end or for the write time-out (0: without a time-out, but never longer than the longest
// wait). kStillStalled when the time-out passed; kOk when the stall ended; otherwise the status
// the write fails with. The caller holds the lock.
constexpr uint32_t kStillStalled = 0xFFFFFFFFu;

uint32_t waitWhileStalled(std::unique_lock<std::mutex>& lock, void* handle, const BridgePtr& b) {
    const TimePoint deadline = Clock::now() + waitLimit(b->settings.write_timeout_ms);
    while (b->stalled) {
        if (reg().changed.wait_until(lock, deadline) == std::cv_status::timeout && b->stalled) {
            return kStillStalled;
        }
        if (!stillOpen(handle, b)) {
            return kInvalidHandle;
        }
        if (ioDead(*b)) {
            return kIoError;
        }
    }
    return kOk;
}

}  // namespace

extern "C" {

uint32_t FT_ListDevices(void* pArg1, void* pArg2, uint32_t flags) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    ++r.calls[kFnListDevices];
    uint32_t status = kOk;
    if (takeFault(r.failAny, kFnListDevices, status)) {
        return status;
    }
    const std::vector<BridgePtr> list = attachedBridges();
    const uint32_t kind = flags & (kBySerial | kByDescription);
    const uint32_t mode = flags & ~(kBySerial | kByDescription);
    if (mode == kListNumberOnly && kind == 0) {
        if (pArg1 == nullptr) {
            return kInvalidParameter;
        }
        *static_cast<uint32_t*>(pArg1) = static_cast<uint32_t>(list.size());
        return kOk;
    }
    if (kind != kBySerial && kind != kByDescription) {
        return kInvalidParameter;
    }
    const bool bySerial = kind == kBySerial;
    if (mode == kListAll) {
        if (pArg1 == nullptr || pArg2 == nullptr) {
            return kInvalidParameter;
        }
        char** slots = static_cast<char**>(pArg1);
        for (size_t i = 0; i < list.size() && slots[i] != nullptr; ++i) {
            const Bridge& b = *list[i];
            if (bySerial) {
                writeText(slots[i], b.serial, kSerialMax, true);
            } else {
                writeText(slots[i], b.description, kDescriptionMax, !b.unterminated);
            }
        }
        *static_cast<uint32_t*>(pArg2) = static_cast<uint32_t>(list.size());
        // A failure injected for after the work: the slots are filled, the status is not kOk.
        return takeFault(r.failAny, kLateListingFailure, status) ? status : kOk;
    }
    if (mode == kListByIndex) {
        const auto index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pArg1));
        if (pArg2 == nullptr) {
            return kInvalidParameter;
        }
        if (index >= list.size()) {
            return kDeviceNotFound;
        }
        const Bridge& b = *list[index];
        if (bySerial) {
            writeText(static_cast<char*>(pArg2), b.serial, kSerialMax, true);
        } else {
            writeText(static_cast<char*>(pArg2), b.description, kDescriptionMax, !b.unterminated);
        }
        return kOk;
    }
    return kInvalidParameter;
}

uint32_t FT_OpenEx(void* pArg1, uint32_t flags, void** pHandle) {
    Registry& r = reg();
    std::unique_lock<std::mutex> lock(r.mutex);
    ++r.calls[kFnOpenEx];
    uint32_t status = kOk;
    if (takeFault(r.failAny, kFnOpenEx, status)) {
        return status;
    }
    if (pArg1 == nullptr || pHandle == nullptr || (flags != kBySerial && flags != kByDescription)) {
        return kInvalidParameter;
    }
    const std::string wanted(static_cast<const char*>(pArg1));
    BridgePtr b;
    for (const BridgePtr& candidate : attachedBridges()) {
        const std::string& text = flags == kBySerial ? candidate->serial : candidate->description;
        if (text == wanted) {
            b = candidate;
            break;
        }
    }
    if (!b) {
        return kDeviceNotFound;
    }
    ++b->calls[kFnOpenEx];
    if (takeFault(b->failNext, kFnOpenEx, status)) {
        return status;
    }
    if (b->open) {
        return kDeviceNotOpened;
    }
    // Every open starts from the driver's defaults; the open count survives.
    const uint32_t opens = b->settings.open_count;
    b->settings = SimSettings{};
    b->settings.latency_ms = kDefaultLatencyMs;
    b->settings.open_count = opens + 1;
    b->settings.open = 1;
    b->open = true;
    b->input.restartTimer(Clock::now());
    const uintptr_t handle = r.nextHandle;
    r.nextHandle += 0x10;
    r.handles[handle] = b;
    *pHandle = reinterpret_cast<void*>(handle);
    PeerPtr peer = b->peer;
    const int id = b->id;
    lock.unlock();
    if (peer && peer->peer.on_open != nullptr) {
        peer->peer.on_open(peer->peer.context, id);
    }
    return kOk;
}

uint32_t FT_Close(void* handle) {
    return handleCall(kFnClose, handle, [&](Bridge& b) {
        reg().handles.erase(reinterpret_cast<uintptr_t>(handle));
        b.open = false;
        b.settings.open = 0;
        reg().changed.notify_all();
        return kOk;
    });
}

uint32_t FT_Read(void* handle, void* buffer, uint32_t bytesToRead, uint32_t* bytesReturned) {
    Registry& r = reg();
    std::unique_lock<std::mutex> lock(r.mutex);
    BridgePtr b;
    const uint32_t status = enterTransfer(kFnRead, handle, buffer, bytesToRead, bytesReturned, b);
    if (status != kOk) {
        return status;
    }
    TimePoint now = Clock::now();
    const TimePoint deadline = now + waitLimit(b->settings.read_timeout_ms);
    for (;;) {
        if (b->flood || b->input.visible(now) >= bytesToRead || now >= deadline) {
            break;
        }
        // Woken by deliveries, purges, plug changes and closes, and when bytes on their way
        // show.
        r.changed.wait_until(lock,
                             std::min({deadline, b->input.nextVisible(now), nextUnplug(*b, now)}));
        now = Clock::now();
        if (!stillOpen(handle, b)) {
            return kInvalidHandle;
        }
        if (ioDead(*b)) {
            return kIoError;
        }
    }
    const size_t got = takeInput(*b, static_cast<uint8_t*>(buffer), bytesToRead, now);
    uint32_t fake = 0;
    *bytesReturned = takeFault(b->fakeCount, kFnRead, fake) ? fake : static_cast<uint32_t>(got);
    return kOk;
}

uint32_t FT_Write(void* handle, void* buffer, uint32_t bytesToWrite, uint32_t* bytesWritten) {
    Registry& r = reg();
    std::unique_lock<std::mutex> lock(r.mutex);
    BridgePtr b;
    const uint32_t status = enterTransfer(kFnWrite, handle, buffer, bytesToWrite, bytesWritten, b);
    if (status != kOk) {
        return status;
    }
    if (b->stalled) {
        const uint32_t stall = r.wireTiming ? waitWhileStalled(lock, handle, b) : kStillStalled;
        if (stall != kOk) {
            if (stall == kStillStalled) {
                *bytesWritten = 0;
                return kOk;
            }
            return stall;
        }
    }
    const uint8_t* data = static_cast<const uint8_t*>(buffer);
    b->written.insert(b->written.end(), data, data + bytesToWrite);
    uint32_t fake = 0;
    *bytesWritten = takeFault(b->fakeCount, kFnWrite, fake) ? fake : bytesToWrite;
    PeerPtr peer = b->peer;
    const int id = b->id;
    const SimWriteHook hook = b->writeHook;
    void* const hookContext = b->writeHookContext;
    const bool wire = r.wireTiming;
    const Nanos byteTime = simwire::byteTime(b->settings.baud_rate);
    const TimePoint start =
        wire ? b->output.place(bytesToWrite, Clock::now(), byteTime) : TimePoint{};
    lock.unlock();
    const bool hasPeer = peer && peer->peer.on_write != nullptr;
    if (!wire) {
        if (bytesToWrite > 0 && hasPeer) {
            peer->peer.on_write(peer->peer.context, id, data, bytesToWrite);
        }
        if (hook != nullptr) {
            hook(hookContext, id);
        }
        return kOk;
    }
    // The bytes leave the line one byte time after another; the peer sees each once it has left,
    // and the call returns when the last one has.
    size_t sent = 0;
    while (sent < bytesToWrite) {
        // A sleep may end early (on some platforms it is one relative, rounded sleep).
        const TimePoint due = start + byteTime * static_cast<Nanos::rep>(sent + 1);
        while (Clock::now() < due) {
            std::this_thread::sleep_until(due);
        }
        const auto gone = static_cast<size_t>((Clock::now() - start) / byteTime);
        const size_t left = std::min<size_t>(std::max(gone, sent + 1), bytesToWrite);
        if (hasPeer) {
            peer->peer.on_write(peer->peer.context, id, data + sent, left - sent);
        }
        sent = left;
    }
    if (hook != nullptr) {
        hook(hookContext, id);
    }
    return kOk;
}

uint32_t FT_Purge(void* handle, uint32_t mask) {
    return handleCall(kFnPurge, handle, [&](Bridge& b) {
        if ((mask & kPurgeRx) != 0) {
            b.input.dropArrived(Clock::now());
            reg().changed.notify_all();
        }
        ++b.settings.purge_count;
        b.settings.last_purge_mask = mask;
        return kOk;
    });
}

uint32_t FT_SetTimeouts(void* handle, uint32_t readTimeout, uint32_t writeTimeout) {
    return handleCall(kFnSetTimeouts, handle, [&](Bridge& b) {
        b.settings.read_timeout_ms = readTimeout;
        b.settings.write_timeout_ms = writeTimeout;
        return kOk;
    });
}

uint32_t FT_SetLatencyTimer(void* handle, uint8_t latency) {
    return handleCall(kFnSetLatencyTimer, handle, [&](Bridge& b) {
        b.settings.latency_ms = latency;
        return kOk;
    });
}

uint32_t FT_SetFlowControl(void* handle, uint16_t flowControl, uint8_t xon, uint8_t xoff) {
    return handleCall(kFnSetFlowControl, handle, [&](Bridge& b) {
        b.settings.flow_control = flowControl;
        b.settings.xon = xon;
        b.settings.xoff = xoff;
        return kOk;
    });
}

uint32_t FT_SetUSBParameters(void* handle, uint32_t inTransferSize, uint32_t outTransferSize) {
    return handleCall(kFnSetUSBParameters, handle, [&](Bridge& b) {
        b.settings.usb_in_size = inTransferSize;
        b.settings.usb_out_size = outTransferSize;
        return kOk;
    });
}

uint32_t FT_SetBaudRate(void* handle, uint32_t baudRate) {
    return handleCall(kFnSetBaudRate, handle, [&](Bridge& b) {
        if (baudRate == 0 || baudRate > kMaxBaud) {
            return kInvalidBaudRate;
        }
        b.settings.baud_rate = baudRate;
        return kOk;
    });
}

uint32_t FT_SetDataCharacteristics(void* handle, uint8_t wordLength, uint8_t stopBits,
                                   uint8_t parity) {
    return handleCall(kFnSetDataCharacteristics, handle, [&](Bridge& b) {
        b.settings.word_length = wordLength;
        b.settings.stop_bits = stopBits;
        b.settings.parity = parity;
        return kOk;
    });
}

uint32_t FT_SetBitMode(void* handle, uint8_t mask, uint8_t mode) {
    return handleCall(kFnSetBitMode, handle, [&](Bridge& b) {
        b.settings.bit_mask = mask;
        b.settings.bit_mode = mode;
        return kOk;
    });
}

uint32_t FT_GetQueueStatus(void* handle, uint32_t* rxBytes) {
    return handleCall(kFnGetQueueStatus, handle, [&](Bridge& b) {
        if (rxBytes == nullptr) {
            return kInvalidParameter;
        }
        if (ioDead(b)) {
            return kIoError;
        }
        uint32_t count = static_cast<uint32_t>(b.input.visible(Clock::now()));
        if (b.flood) {
            count += kFloodQueue;
        }
        uint32_t fake = 0;
        *rxBytes = takeFault(b.fakeCount, kFnGetQueueStatus, fake) ? fake : count;
        return kOk;
    });
}

uint32_t FT_SetDtr(void* handle) {
    return handleCall(kFnSetDtr, handle, [](Bridge&) { return kOk; });
}

uint32_t FT_ClrRts(void* handle) {
    return handleCall(kFnClrRts, handle, [](Bridge&) { return kOk; });
}

}  // extern "C"
