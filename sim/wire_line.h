// The serial line of one simulated bridge, both ways: the bytes on their way to the host (their
// delivery order, when each arrives at the bridge and when the bridge hands it over) and the
// transmit line the host's writes go out on. Internal to the stand-in driver; the driver's
// registry lock guards every object here.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace simwire {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Nanos = std::chrono::nanoseconds;

// Bytes a bridge hands over at once, without waiting for its latency timer: one full USB packet
// of the full-speed bridges (64 bytes less the two status bytes).
constexpr size_t kPacketBytes = 62;

// The line time of one byte: ten bit times (start bit, eight data bits, stop bit).
Nanos byteTime(uint32_t baud);

// Input for the host, in delivery order. A delivery made without wire timing becomes visible as a
// whole at its start. With wire timing its bytes follow the previous delivery's bytes on the line,
// byte i arriving at start + (i + 1) byte times; the bridge hands arrived bytes over at the ticks
// of its latency timer (every latency, counted from the last restart of the timer) and at once
// whenever kPacketBytes of them wait, which restarts the timer.
class ReceiveQueue {
public:
    ReceiveQueue();

    // The bridge was opened: its latency timer starts counting now.
    void restartTimer(TimePoint now);
    // Queues `length` bytes, starting no earlier than `notBefore` and after every earlier
    // delivery. `wire`: spread over the line at `baud`, handed over at `latencyMs` (0: as they
    // arrive).
    void deliver(const uint8_t* data, size_t length, TimePoint notBefore, bool wire, uint32_t baud,
                 uint8_t latencyMs);
    // Bytes the host can read now: a later delivery never shows before an earlier one is whole.
    size_t visible(TimePoint now);
    // When more bytes show next; TimePoint::max() when none are on their way.
    TimePoint nextVisible(TimePoint now);
    // Moves up to `count` visible bytes to `out`; returns how many.
    size_t take(uint8_t* out, size_t count, TimePoint now);
    // Drops the bytes that have arrived at the bridge by now, handed over or not; bytes still on
    // the line and later deliveries stay.
    void dropArrived(TimePoint now);
    // Bytes not yet taken, whether or not they have arrived.
    size_t pending() const;

private:
    struct Delivery {
        std::vector<uint8_t> data;
        size_t taken = 0;
        TimePoint start;
        Nanos byteTime{0};    // 0: no wire timing
        uint64_t offset = 0;  // the index of its first byte on the line
    };
    // By `at`, the first `count` bytes of the line have been handed over.
    struct Handover {
        TimePoint at;
        uint64_t count;
    };

    size_t arrived(const Delivery& d, TimePoint now) const;
    size_t shown(const Delivery& d, TimePoint now);
    uint64_t handed(TimePoint now);
    void lineByte(TimePoint arrival, Nanos latency);
    TimePoint nextTick(TimePoint arrival, Nanos latency) const;

    std::deque<Delivery> deliveries_;
    TimePoint lastReady_{};  // when the last delivery's last byte has arrived
    std::deque<Handover> handovers_;
    uint64_t lineBytes_ = 0;   // bytes put on the line so far
    uint64_t handedBase_ = 0;  // bytes handed over by the last handover passed
    size_t waiting_ = 0;       // arrived bytes waiting for the next handover
    TimePoint tickBase_;
};

// The host's side of the line: a write goes out after the bytes of earlier writes have left.
class SendLine {
public:
    // When the first of `length` bytes written now starts on the line; the line is then busy
    // until that start + length byte times.
    TimePoint place(size_t length, TimePoint now, Nanos byteTime);

private:
    TimePoint freeAt_{};
};

}  // namespace simwire
