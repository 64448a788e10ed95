// The stand-in driver's scripted peer: a queue of expected byte strings per bridge, each
// answered with its reply (whole or in delayed chunks) once the host has written it, and the
// control functions that feed and inspect the queue.
#include <algorithm>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "bridge_registry.h"

using namespace simbridge;

namespace {

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

// A count read from the bridge's script under its lock: -1 for an unknown bridge, 0 without a
// script.
template <typename Count>
int scriptCount(int bridge, Count count) {
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
    return count(*s);
}

}  // namespace

extern "C" {

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
    return scriptCount(bridge, [](const Script& s) { return static_cast<int>(s.queue.size()); });
}

int sim_script_mismatches(int bridge) {
    return scriptCount(bridge, [](const Script& s) { return s.mismatches; });
}

}  // extern "C"
