// The stand-in D2XX driver: simulated FTDI bridges behind the 16 D2XX functions the channel
// calls, and the control interface of simctl.h.
//
// One registry holds every bridge record under one mutex; a condition variable wakes blocked
// readers whenever input, plug state or handles change. Handles are opaque numbers that index
// the registry's handle table, so a stale or foreign handle is recognised and never dereferenced.
// Peers are called without the registry lock held, so they may call back into the control
// interface (sim_deliver, sim_written, ...) for their own bridge.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ftd2xx_api.h"
#include "simctl.h"
#include "wire_line.h"

namespace {

using simwire::Clock;
using simwire::Nanos;
using simwire::TimePoint;
using Millis = std::chrono::milliseconds;

constexpr uint32_t kOk = 0;
constexpr uint32_t kInvalidHandle = 1;
constexpr uint32_t kDeviceNotFound = 2;
constexpr uint32_t kDeviceNotOpened = 3;
constexpr uint32_t kIoError = 4;
constexpr uint32_t kInvalidParameter = 6;
constexpr uint32_t kInvalidBaudRate = 7;

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
// The vendor's defaults at open.
constexpr uint8_t kDefaultLatencyMs = 16;
constexpr uint32_t kMaxBaud = 3000000;

enum Fn {
    kFnListDevices,
    kFnOpenEx,
    kFnClose,
    kFnRead,
    kFnWrite,
    kFnPurge,
    kFnSetTimeouts,
    kFnSetLatencyTimer,
    kFnSetFlowControl,
    kFnSetUSBParameters,
    kFnSetBaudRate,
    kFnSetDataCharacteristics,
    kFnSetBitMode,
    kFnGetQueueStatus,
    kFnSetDtr,
    kFnClrRts,
    kFnCount
};

const char* const kFnNames[kFnCount] = {"FT_ListDevices",    "FT_OpenEx",
                                        "FT_Close",          "FT_Read",
                                        "FT_Write",          "FT_Purge",
                                        "FT_SetTimeouts",    "FT_SetLatencyTimer",
                                        "FT_SetFlowControl", "FT_SetUSBParameters",
                                        "FT_SetBaudRate",    "FT_SetDataCharacteristics",
                                        "FT_SetBitMode",     "FT_GetQueueStatus",
                                        "FT_SetDtr",         "FT_ClrRts"};

// Key of the listing failure that comes after the listing's work, among the failures injected
// for any bridge (beyond the function indices, so sim_fail_next never reaches it).
constexpr int kLateListingFailure = kFnCount;

int fnIndex(const char* name) {
    if (name == nullptr) {
        return -1;
    }
    for (int i = 0; i < kFnCount; ++i) {
        if (std::strcmp(name, kFnNames[i]) == 0) {
            return i;
        }
    }
    return -1;
}

// Owns a peer: destroy runs when the last holder lets go, which is never inside a peer call
// (the writing thread keeps its own reference while on_write runs) and never under the lock.
struct PeerHolder {
    SimPeer peer;
    explicit PeerHolder(const SimPeer& p) : peer(p) {}
    ~PeerHolder() {
        if (peer.destroy != nullptr) {
            peer.destroy(peer.context);
        }
    }
    PeerHolder(const PeerHolder&) = delete;
    PeerHolder& operator=(const PeerHolder&) = delete;
};
using PeerPtr = std::shared_ptr<PeerHolder>;

struct Bridge {
    int id = 0;
    std::string description;
    std::string serial;
    bool attached = true;
    bool open = false;
    bool unplugged = false;
    bool stalled = false;
    bool flood = false;
    uint8_t floodByte = 0;
    bool unterminated = false;
    SimSettings settings{};
    simwire::ReceiveQueue input;
    simwire::SendLine output;
    std::vector<uint8_t> written;
    PeerPtr peer;
    SimWriteHook writeHook = nullptr;
    void* writeHookContext = nullptr;
    std::map<int, uint32_t> failNext;
    std::map<int, uint32_t> fakeCount;
    unsigned calls[kFnCount] = {};
};
using BridgePtr = std::shared_ptr<Bridge>;

struct Registry {
    std::mutex mutex;
    std::condition_variable changed;
    std::map<int, BridgePtr> bridges;  // every bridge since the last reset, by id (= attach order)
    std::map<uintptr_t, BridgePtr> handles;
    int nextId = 1;
    // Handle values: never reset, so a handle from before a reset stays stale; odd and outside
    // the canonical user address range, so no pointer to real memory can pass for one.
    uintptr_t nextHandle = static_cast<uintptr_t>(0xD2C500000001ull);
    unsigned calls[kFnCount] = {};
    std::map<int, uint32_t> failAny;
    bool wireTiming = false;
};

// Never destroyed: threads or peers still running at process exit find it intact.
Registry& reg() {
    static Registry* registry = new Registry;
    return *registry;
}

BridgePtr findBridge(int id) {
    auto it = reg().bridges.find(id);
    return it == reg().bridges.end() ? nullptr : it->second;
}

// Runs `change` on the bridge's record (attached or not) under the lock; `missing` for an
// unknown bridge.
template <typename Result, typename Change>
Result withBridge(int bridge, Result missing, Change change) {
    std::lock_guard<std::mutex> lock(reg().mutex);
    BridgePtr b = findBridge(bridge);
    return b ? change(*b) : missing;
}

BridgePtr findAttached(int id) {
    BridgePtr b = findBridge(id);
    return b && b->attached ? b : nullptr;
}

std::vector<BridgePtr> attachedBridges() {
    std::vector<BridgePtr> list;
    for (auto& entry : reg().bridges) {
        if (entry.second->attached) {
            list.push_back(entry.second);
        }
    }
    return list;
}

bool takeFault(std::map<int, uint32_t>& faults, int fn, uint32_t& value) {
    auto it = faults.find(fn);
    if (it == faults.end()) {
        return false;
    }
    value = it->second;
    faults.erase(it);
    return true;
}

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

bool ioDead(const Bridge& b) {
    return b.unplugged || !b.attached;
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

// Queues bytes on a bridge, ready no earlier than `notBefore` and after every earlier delivery.
int deliverAt(int bridge, const uint8_t* data, size_t length, TimePoint notBefore) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    BridgePtr b = findAttached(bridge);
    if (!b || (data == nullptr && length > 0)) {
        return -1;
    }
    if (length == 0) {
        return 0;
    }
    b->input.deliver(data, length, notBefore, r.wireTiming, b->settings.baud_rate,
                     b->settings.latency_ms);
    r.changed.notify_all();
    return 0;
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

// --- The scripted peer ------------------------------------------------------------------------

struct Expectation {
    std::vector<uint8_t> expect;
    std::vector<uint8_t> reply;
    size_t chunk = 0;
    unsigned delayMs = 0;
    unsigned chunkDelayMs = 0;
};

struct Script {
    std::mutex mutex;
    std::deque<Expectation> queue;
    std::vector<uint8_t> received;  // written bytes not yet matched
    int mismatches = 0;
};

void sendReply(int bridge, const Expectation& e) {
    if (e.reply.empty()) {
        return;
    }
    const TimePoint now = Clock::now();
    const size_t chunk = e.chunk == 0 ? e.reply.size() : e.chunk;
    unsigned delay = e.delayMs;
    for (size_t at = 0; at < e.reply.size(); at += chunk) {
        deliverAt(bridge, e.reply.data() + at, std::min(chunk, e.reply.size() - at),
                  now + Millis(delay));
        delay += e.chunkDelayMs;
    }
}

// Takes every expectation that is satisfied by the bytes received so far (and the zero-length
// ones that follow them) off the queue. The caller holds the script's lock.
std::vector<Expectation> takeSatisfied(Script& s, bool& mismatch) {
    std::vector<Expectation> done;
    mismatch = false;
    for (;;) {
        if (s.queue.empty()) {
            if (!s.received.empty()) {
                mismatch = true;
                s.received.clear();
            }
            break;
        }
        Expectation& head = s.queue.front();
        const size_t n = std::min(s.received.size(), head.expect.size());
        if (!std::equal(s.received.begin(), s.received.begin() + n, head.expect.begin())) {
            mismatch = true;
            s.received.clear();
            break;
        }
        if (s.received.size() < head.expect.size()) {
            break;  // a prefix so far: wait for the rest
        }
        s.received.erase(s.received.begin(), s.received.begin() + head.expect.size());
        done.push_back(std::move(head));
        s.queue.pop_front();
    }
    return done;
}

void scriptOnWrite(void* context, int bridge, const uint8_t* data, size_t length) {
    Script* s = static_cast<Script*>(context);
    std::vector<Expectation> done;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->received.insert(s->received.end(), data, data + length);
        bool mismatch = false;
        done = takeSatisfied(*s, mismatch);
        if (mismatch) {
            ++s->mismatches;
        }
    }
    for (const Expectation& e : done) {
        sendReply(bridge, e);
    }
}

void scriptDestroy(void* context) {
    delete static_cast<Script*>(context);
}

// The bridge's peer when it is a scripted one (the holder keeps the script alive).
PeerPtr scriptPeer(int bridge, bool& known) {
    std::lock_guard<std::mutex> lock(reg().mutex);
    BridgePtr b = findBridge(bridge);
    known = b != nullptr;
    if (b && b->peer && b->peer->peer.on_write == scriptOnWrite) {
        return b->peer;
    }
    return nullptr;
}

}  // namespace

// --- The D2XX functions -----------------------------------------------------------------------

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
        r.changed.wait_until(lock, std::min(deadline, b->input.nextVisible(now)));
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

// --- The control interface --------------------------------------------------------------------

void sim_reset(void) {
    Registry& r = reg();
    std::vector<PeerPtr> peers;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        for (auto& entry : r.bridges) {
            entry.second->attached = false;
            entry.second->open = false;
            if (entry.second->peer) {
                peers.push_back(std::move(entry.second->peer));
            }
        }
        r.bridges.clear();
        r.handles.clear();
        r.nextId = 1;
        std::fill(std::begin(r.calls), std::end(r.calls), 0u);
        r.failAny.clear();
        r.wireTiming = false;
        r.changed.notify_all();
    }
    peers.clear();  // destroys the peers, outside the lock
}

int sim_attach(const char* description, const char* serial) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto b = std::make_shared<Bridge>();
    b->id = r.nextId++;
    b->description = description != nullptr ? description : "";
    b->serial = serial != nullptr ? serial : "";
    b->settings.latency_ms = kDefaultLatencyMs;
    r.bridges[b->id] = b;
    return b->id;
}

int sim_detach(int bridge) {
    Registry& r = reg();
    PeerPtr peer;
    {
        std::lock_guard<std::mutex> lock(r.mutex);
        BridgePtr b = findAttached(bridge);
        if (!b) {
            return -1;
        }
        b->attached = false;
        peer = std::move(b->peer);
        r.changed.notify_all();
    }
    return 0;
}

int sim_bridge_count(void) {
    std::lock_guard<std::mutex> lock(reg().mutex);
    return static_cast<int>(attachedBridges().size());
}

int sim_set_peer(int bridge, const SimPeer* peer) {
    PeerPtr old;
    {
        std::lock_guard<std::mutex> lock(reg().mutex);
        BridgePtr b = findAttached(bridge);
        if (!b) {
            return -1;
        }
        old = std::move(b->peer);
        if (peer != nullptr) {
            b->peer = std::make_shared<PeerHolder>(*peer);
        }
    }
    return 0;
}

int sim_deliver(int bridge, const void* data, size_t length, unsigned delay_ms) {
    return deliverAt(bridge, static_cast<const uint8_t*>(data), length,
                     Clock::now() + Millis(delay_ms));
}

int sim_script_expect(int bridge, const void* expect, size_t expect_length, const void* reply,
                      size_t reply_length, size_t chunk, unsigned delay_ms,
                      unsigned chunk_delay_ms) {
    if ((expect == nullptr && expect_length > 0) || (reply == nullptr && reply_length > 0)) {
        return -1;
    }
    PeerPtr holder;
    PeerPtr old;
    {
        std::lock_guard<std::mutex> lock(reg().mutex);
        BridgePtr b = findAttached(bridge);
        if (!b) {
            return -1;
        }
        if (!b->peer || b->peer->peer.on_write != scriptOnWrite) {
            SimPeer p{scriptOnWrite, nullptr, scriptDestroy, new Script};
            old = std::move(b->peer);
            b->peer = std::make_shared<PeerHolder>(p);
        }
        holder = b->peer;
    }
    old.reset();
    Script* s = static_cast<Script*>(holder->peer.context);
    Expectation e;
    const uint8_t* ex = static_cast<const uint8_t*>(expect);
    const uint8_t* re = static_cast<const uint8_t*>(reply);
    e.expect.assign(ex, ex + expect_length);
    e.reply.assign(re, re + reply_length);
    e.chunk = chunk;
    e.delayMs = delay_ms;
    e.chunkDelayMs = chunk_delay_ms;
    std::vector<Expectation> done;
    {
        std::lock_guard<std::mutex> lock(s->mutex);
        s->queue.push_back(std::move(e));
        if (s->queue.size() == 1 && s->queue.front().expect.empty()) {
            bool mismatch = false;
            done = takeSatisfied(*s, mismatch);
        }
    }
    for (const Expectation& d : done) {
        sendReply(bridge, d);
    }
    return 0;
}

int sim_script_pending(int bridge) {
    bool known = false;
    PeerPtr holder = scriptPeer(bridge, known);
    if (!known) {
        return -1;
    }
    if (!holder) {
        return 0;
    }
    Script* s = static_cast<Script*>(holder->peer.context);
    std::lock_guard<std::mutex> lock(s->mutex);
    return static_cast<int>(s->queue.size());
}

int sim_script_mismatches(int bridge) {
    bool known = false;
    PeerPtr holder = scriptPeer(bridge, known);
    if (!known) {
        return -1;
    }
    if (!holder) {
        return 0;
    }
    Script* s = static_cast<Script*>(holder->peer.context);
    std::lock_guard<std::mutex> lock(s->mutex);
    return s->mismatches;
}

int sim_fail_next(int bridge, const char* function, uint32_t status) {
    const int fn = fnIndex(function);
    if (fn < 0) {
        return -1;
    }
    if (bridge == 0) {
        std::lock_guard<std::mutex> lock(reg().mutex);
        reg().failAny[fn] = status;
        return 0;
    }
    return withBridge(bridge, -1, [&](Bridge& b) {
        b.failNext[fn] = status;
        return 0;
    });
}

int sim_fail_listing_late(uint32_t status) {
    std::lock_guard<std::mutex> lock(reg().mutex);
    reg().failAny[kLateListingFailure] = status;
    return 0;
}

int sim_fake_count_next(int bridge, const char* function, uint32_t count) {
    const int fn = fnIndex(function);
    if (fn != kFnRead && fn != kFnWrite && fn != kFnGetQueueStatus) {
        return -1;
    }
    return withBridge(bridge, -1, [&](Bridge& b) {
        b.fakeCount[fn] = count;
        return 0;
    });
}

int sim_unplug(int bridge, int unplugged) {
    return withBridge(bridge, -1, [&](Bridge& b) {
        b.unplugged = unplugged != 0;
        reg().changed.notify_all();
        return 0;
    });
}

int sim_stall(int bridge, int stalled) {
    return withBridge(bridge, -1, [&](Bridge& b) {
        b.stalled = stalled != 0;
        reg().changed.notify_all();
        return 0;
    });
}

int sim_set_write_hook(int bridge, SimWriteHook hook, void* context) {
    std::lock_guard<std::mutex> lock(reg().mutex);
    BridgePtr b = findBridge(bridge);
    if (!b) {
        return -1;
    }
    b->writeHook = hook;
    b->writeHookContext = context;
    return 0;
}

int sim_flood(int bridge, int on, uint8_t byte) {
    return withBridge(bridge, -1, [&](Bridge& b) {
        b.flood = on != 0;
        b.floodByte = byte;
        reg().changed.notify_all();
        return 0;
    });
}

int sim_unterminated_description(int bridge, int on) {
    return withBridge(bridge, -1, [&](Bridge& b) {
        b.unterminated = on != 0;
        return 0;
    });
}

size_t sim_written(int bridge, void* buffer, size_t capacity) {
    return withBridge(bridge, size_t{0}, [&](Bridge& b) {
        if (buffer != nullptr) {
            std::memcpy(buffer, b.written.data(), std::min(capacity, b.written.size()));
        }
        return b.written.size();
    });
}

void sim_clear_written(int bridge) {
    withBridge(bridge, 0, [](Bridge& b) {
        b.written.clear();
        return 0;
    });
}

size_t sim_pending_input(int bridge) {
    return withBridge(bridge, size_t{0}, [](Bridge& b) { return b.input.pending(); });
}

int sim_settings(int bridge, SimSettings* out) {
    if (out == nullptr) {
        return -1;
    }
    return withBridge(bridge, -1, [&](Bridge& b) {
        *out = b.settings;
        out->open = b.open ? 1 : 0;
        out->unplugged = ioDead(b) ? 1 : 0;
        return 0;
    });
}

unsigned sim_call_count(int bridge, const char* function) {
    const int fn = fnIndex(function);
    if (fn < 0) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(reg().mutex);
    if (bridge == 0) {
        return reg().calls[fn];
    }
    BridgePtr b = findBridge(bridge);
    return b ? b->calls[fn] : 0;
}

void sim_set_wire_timing(int on) {
    std::lock_guard<std::mutex> lock(reg().mutex);
    reg().wireTiming = on != 0;
}

}  // extern "C"
