// The stand-in driver's control interface (simctl.h), apart from the scripted peer's functions:
// bridges attached and detached, peers set, input delivered, faults injected and what the host
// did read back.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "bridge_registry.h"

using namespace simbridge;

namespace {

const char* const kFnNames[kFnCount] = {"FT_ListDevices",    "FT_OpenEx",
                                        "FT_Close",          "FT_Read",
                                        "FT_Write",          "FT_Purge",
                                        "FT_SetTimeouts",    "FT_SetLatencyTimer",
                                        "FT_SetFlowControl", "FT_SetUSBParameters",
                                        "FT_SetBaudRate",    "FT_SetDataCharacteristics",
                                        "FT_SetBitMode",     "FT_GetQueueStatus",
                                        "FT_SetDtr",         "FT_ClrRts"};

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

}  // namespace

extern "C" {

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
        b.unplugFrom = TimePoint::max();
        b.unplugUntil = TimePoint::max();
        reg().changed.notify_all();
        return 0;
    });
}

int sim_unplug_at(int bridge, double after_seconds, double for_seconds) {
    // At most a year ahead: far enough for any run, near enough for the clock's range.
    constexpr double kLongest = 365.0 * 24 * 3600;
    if (!(after_seconds >= 0.0 && after_seconds <= kLongest) || !(for_seconds <= kLongest) ||
        std::isnan(for_seconds)) {
        return -1;
    }
    const auto span = [](double seconds) {
        return std::chrono::duration_cast<Nanos>(std::chrono::duration<double>(seconds));
    };
    return withBridge(bridge, -1, [&](Bridge& b) {
        b.unplugged = false;
        b.unplugFrom = Clock::now() + span(after_seconds);
        b.unplugUntil = for_seconds > 0.0 ? b.unplugFrom + span(for_seconds) : TimePoint::max();
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
