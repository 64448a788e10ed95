// The stand-in driver's bridge registry, shared by its D2XX functions (ftd2xx_sim.cpp), the
// scripted peer (script_peer.cpp) and the control interface (sim_control.cpp). Internal to the
// driver.
//
// One registry holds every bridge record under one mutex; a condition variable wakes blocked
// readers whenever input, plug state or handles change. Handles are opaque numbers that index
// the registry's handle table, so a stale or foreign handle is recognised and never dereferenced.
// Peers are called without the registry lock held, so they may call back into the control
// interface (sim_deliver, sim_written, ...) for their own bridge.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "simctl.h"
#include "wire_line.h"

namespace simbridge {

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

// The vendor's latency timer at open and on a fresh bridge.
constexpr uint8_t kDefaultLatencyMs = 16;

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

// Key of the listing failure that comes after the listing's work, among the failures injected
// for any bridge (beyond the function indices, so sim_fail_next never reaches it).
constexpr int kLateListingFailure = kFnCount;

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
    // A scheduled unplug (sim_unplug_at): dead from `unplugFrom` until `unplugUntil`.
    TimePoint unplugFrom = TimePoint::max();
    TimePoint unplugUntil = TimePoint::max();
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
Registry& reg();

// The lookups below want the registry lock held by the caller.
BridgePtr findBridge(int id);
BridgePtr findAttached(int id);
std::vector<BridgePtr> attachedBridges();

// Runs `change` on the bridge's record (attached or not) under the lock; `missing` for an
// unknown bridge.
template <typename Result, typename Change>
Result withBridge(int bridge, Result missing, Change change) {
    std::lock_guard<std::mutex> lock(reg().mutex);
    BridgePtr b = findBridge(bridge);
    return b ? change(*b) : missing;
}

// Takes the fault recorded for `fn` out of `faults` into `value`; false when there is none.
bool takeFault(std::map<int, uint32_t>& faults, int fn, uint32_t& value);

// Unplugged (now, or by the schedule), or detached.
bool ioDead(const Bridge& b);
// When the scheduled unplug next begins, or TimePoint::max() when it has begun or there is none:
// a blocked read wakes then.
TimePoint nextUnplug(const Bridge& b, TimePoint now);

// Queues bytes on a bridge, ready no earlier than `notBefore` and after every earlier delivery.
// Takes the lock itself.
int deliverAt(int bridge, const uint8_t* data, size_t length, TimePoint notBefore);

}  // namespace simbridge
