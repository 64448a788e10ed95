// The bridge registry of the stand-in driver: the one registry, its lookups, the faults taken
// off it and the delivery of input to a bridge.
#include "bridge_registry.h"

namespace simbridge {

Registry& reg() {
    static Registry* registry = new Registry;
    return *registry;
}

BridgePtr findBridge(int id) {
    auto it = reg().bridges.find(id);
    return it == reg().bridges.end() ? nullptr : it->second;
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

bool ioDead(const Bridge& b) {
    if (b.unplugged || !b.attached) {
        return true;
    }
    if (b.unplugFrom == TimePoint::max()) {
        return false;
    }
    const TimePoint now = Clock::now();
    return now >= b.unplugFrom && now < b.unplugUntil;
}

TimePoint nextUnplug(const Bridge& b, TimePoint now) {
    return b.unplugFrom > now ? b.unplugFrom : TimePoint::max();
}

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

}  // namespace simbridge
