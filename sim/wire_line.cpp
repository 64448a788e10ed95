// Line timing of the stand-in driver's bridges (wire_line.h).
#include "wire_line.h"

#include <algorithm>
#include <cstring>

namespace simwire {

namespace {

constexpr uint32_t kDefaultBaud = 9600;

}  // namespace

Nanos byteTime(uint32_t baud) {
    return Nanos(10ull * 1000000000ull / (baud != 0 ? baud : kDefaultBaud));
}

ReceiveQueue::ReceiveQueue() : tickBase_(Clock::now()) {}

void ReceiveQueue::restartTimer(TimePoint now) {
    tickBase_ = now;
    waiting_ = 0;
}

void ReceiveQueue::deliver(const uint8_t* data, size_t length, TimePoint notBefore, bool wire,
                           uint32_t baud, uint8_t latencyMs) {
    if (length == 0) {
        return;
    }
    Delivery d;
    d.data.assign(data, data + length);
    d.start = std::max(notBefore, lastReady_);
    if (!wire) {
        lastReady_ = d.start;
        deliveries_.push_back(std::move(d));
        return;
    }
    d.byteTime = byteTime(baud);
    d.offset = lineBytes_;
    const Nanos latency = std::chrono::milliseconds(latencyMs);
    for (size_t i = 0; i < length; ++i) {
        lineByte(d.start + d.byteTime * static_cast<Nanos::rep>(i + 1), latency);
    }
    lastReady_ = d.start + d.byteTime * static_cast<Nanos::rep>(length);
    deliveries_.push_back(std::move(d));
}

TimePoint ReceiveQueue::nextTick(TimePoint arrival, Nanos latency) const {
    if (arrival <= tickBase_) {
        return tickBase_;
    }
    const Nanos::rep since = (arrival - tickBase_).count();
    const Nanos::rep ticks = (since + latency.count() - 1) / latency.count();
    return tickBase_ + latency * ticks;
}

// One byte arriving at the bridge: it waits for the next tick of the latency timer with the bytes
// that arrived since the last one, unless it completes a packet.
void ReceiveQueue::lineByte(TimePoint arrival, Nanos latency) {
    ++lineBytes_;
    TimePoint at = arrival;
    if (latency.count() > 0) {
        at = nextTick(arrival, latency);
        // A latency changed meanwhile never hands a byte over before an earlier one.
        if (!handovers_.empty()) {
            at = std::max(at, handovers_.back().at);
        }
    }
    if (waiting_ > 0 && !handovers_.empty() && handovers_.back().at == at) {
        handovers_.back().count = lineBytes_;
        ++waiting_;
    } else {
        handovers_.push_back(Handover{at, lineBytes_});
        waiting_ = 1;
    }
    if (latency.count() == 0) {
        waiting_ = 0;
    } else if (waiting_ == kPacketBytes) {
        handovers_.back().at = arrival;
        waiting_ = 0;
        tickBase_ = arrival;
    }
}

uint64_t ReceiveQueue::handed(TimePoint now) {
    while (!handovers_.empty() && handovers_.front().at <= now) {
        handedBase_ = handovers_.front().count;
        handovers_.pop_front();
    }
    return handedBase_;
}

size_t ReceiveQueue::arrived(const Delivery& d, TimePoint now) const {
    if (now < d.start) {
        return 0;
    }
    if (d.byteTime.count() == 0) {
        return d.data.size();
    }
    const auto n = static_cast<size_t>((now - d.start) / d.byteTime);
    return std::min(n, d.data.size());
}

// Bytes of a delivery the host may see by now, taken ones included.
size_t ReceiveQueue::shown(const Delivery& d, TimePoint now) {
    if (d.byteTime.count() == 0) {
        return now >= d.start ? d.data.size() : 0;
    }
    const uint64_t total = handed(now);
    if (total <= d.offset) {
        return 0;
    }
    return static_cast<size_t>(std::min<uint64_t>(total - d.offset, d.data.size()));
}

size_t ReceiveQueue::visible(TimePoint now) {
    size_t total = 0;
    for (const Delivery& d : deliveries_) {
        const size_t n = shown(d, now);
        total += n - std::min(n, d.taken);
        if (n < d.data.size()) {
            break;
        }
    }
    return total;
}

TimePoint ReceiveQueue::nextVisible(TimePoint now) {
    for (const Delivery& d : deliveries_) {
        if (shown(d, now) == d.data.size()) {
            continue;
        }
        if (d.byteTime.count() == 0) {
            return d.start;
        }
        return handovers_.empty() ? TimePoint::max() : handovers_.front().at;
    }
    return TimePoint::max();
}

size_t ReceiveQueue::take(uint8_t* out, size_t count, TimePoint now) {
    size_t got = 0;
    while (got < count && !deliveries_.empty()) {
        Delivery& d = deliveries_.front();
        const size_t n = shown(d, now);
        const size_t ready = n - std::min(n, d.taken);
        const size_t step = std::min(ready, count - got);
        std::memcpy(out + got, d.data.data() + d.taken, step);
        d.taken += step;
        got += step;
        if (d.taken == d.data.size()) {
            deliveries_.pop_front();
        } else {
            break;
        }
    }
    return got;
}

void ReceiveQueue::dropArrived(TimePoint now) {
    for (Delivery& d : deliveries_) {
        d.taken = std::max(d.taken, arrived(d, now));
    }
    while (!deliveries_.empty() && deliveries_.front().taken == deliveries_.front().data.size()) {
        deliveries_.pop_front();
    }
}

size_t ReceiveQueue::pending() const {
    size_t total = 0;
    for (const Delivery& d : deliveries_) {
        total += d.data.size() - d.taken;
    }
    return total;
}

TimePoint SendLine::place(size_t length, TimePoint now, Nanos byteTime) {
    const TimePoint start = std::max(now, freeAt_);
    freeAt_ = start + byteTime * static_cast<Nanos::rep>(length);
    return start;
}

}  // namespace simwire
