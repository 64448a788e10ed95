// What the device and channel tests rely on in the stand-in but cannot see themselves: open
// defaults, purges, the scripted peer and the line's timing.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "D2xxTypes.h"
#include "ftd2xx_api.h"
#include "hvdev_support.h"
#include "simctl.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t nsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

uint32_t queued(void* handle) {
    uint32_t n = 0xFFFFFFFF;
    EXPECT_EQ(FT_GetQueueStatus(handle, &n), FT_OK);
    return n;
}

// The count written, or -1 when the driver fails the write.
long writeText(void* handle, const std::string& text) {
    uint32_t n = 0xFFFFFFFF;
    return FT_Write(handle, const_cast<char*>(text.data()), static_cast<uint32_t>(text.size()),
                    &n) == FT_OK
               ? static_cast<long>(n)
               : -1;
}

std::string readText(void* handle, uint32_t count) {
    std::string bytes(count, '\0');
    uint32_t got = 0xFFFFFFFF;
    const uint32_t status = FT_Read(handle, &bytes[0], count, &got);
    bytes.resize(status == FT_OK && got <= count ? got : 0);
    return bytes;
}

class Sim : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override { sim_reset(); }
    // Opens the bridge described so at `baud` with the given time-outs.
    static void* open(const char* description, uint32_t baud, uint32_t readMs,
                      uint32_t writeMs = 500) {
        void* h = nullptr;
        EXPECT_EQ(FT_OpenEx(const_cast<char*>(description), FT_OPEN_BY_DESCRIPTION, &h), FT_OK);
        EXPECT_EQ(FT_SetBaudRate(h, baud), FT_OK);
        EXPECT_EQ(FT_SetTimeouts(h, readMs, writeMs), FT_OK);
        return h;
    }

    int bridge = 0;
};

// Every open starts from defaults that differ from what the channel sets, so a setting the
// channel leaves out shows in its read-back. A receive purge drops only input that has arrived.
TEST_F(Sim, OpensStartFromDefaultsAndPurgeSparesLaterDeliveries) {
    bridge = sim_attach("Tessaro HV Source", "TS01");
    for (uint32_t opens : {1u, 2u}) {
        void* h = nullptr;
        ASSERT_EQ(FT_OpenEx(const_cast<char*>("Tessaro HV Source"), 2, &h), FT_OK);
        SimSettings s{};
        ASSERT_EQ(0, sim_settings(bridge, &s));
        EXPECT_EQ((std::vector<uint32_t>{opens, 16, 0, 0, 0, 0, 0}),
                  (std::vector<uint32_t>{s.open_count, s.latency_ms, s.read_timeout_ms,
                                         s.write_timeout_ms, s.usb_in_size, s.usb_out_size,
                                         s.purge_count}));
        FT_SetTimeouts(h, 2000, 400);
        FT_SetLatencyTimer(h, 2);
        FT_SetUSBParameters(h, 65536, 4096);
        ASSERT_EQ(sim_deliver(bridge, "xyz", 3, 0), 0);
        ASSERT_EQ(sim_deliver(bridge, "late", 4, 300), 0);
        ASSERT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);
        EXPECT_EQ(queued(h), 0u);
        EXPECT_EQ(readText(h, 4), "late");
        ASSERT_EQ(FT_Close(h), FT_OK);
    }
}

TEST_F(Sim, ScriptedPeerMatchesAccumulatedWritesAndCountsMismatches) {
    bridge = sim_attach("BiasModule", "BM1");
    void* h = open("BiasModule", 115200, 5000);
    ASSERT_EQ(sim_script_expect(bridge, "[AB]", 4, "hello world", 11, 3, 300, 20), 0);
    ASSERT_EQ(sim_script_expect(bridge, "Q1", 2, "R1", 2, 0, 0, 0), 0);
    // The expectation waits for a request written in pieces; a write that diverges, or comes when
    // nothing is expected, is counted and dropped.
    for (const char* text : {"PX", "[A", "B]"}) {
        EXPECT_EQ(writeText(h, text), 2);
    }
    EXPECT_EQ(readText(h, 11), "hello world");
    EXPECT_EQ(sim_script_pending(bridge), 1);
    EXPECT_EQ(writeText(h, "Q1extra"), 7);
    EXPECT_EQ(readText(h, 2), "R1");
    EXPECT_EQ(sim_script_mismatches(bridge), 2);
    EXPECT_EQ(hvtest::writtenText(bridge), "PX[AB]Q1extra");
}

// Line time of a byte as the driver counts it, in nanoseconds.
constexpr int64_t kByteNs9600 = 10000000000LL / 9600;

// Delivers `block` and polls the queue until all of it shows: byte i arrives (i + 1) byte times
// after the delivery and shows one latency later at most. Returns the distinct counts seen.
std::vector<uint32_t> watchDelivery(int bridge, void* h, const std::string& block, int64_t byteNs,
                                    int64_t latencyMs) {
    std::vector<uint32_t> counts{0};
    const auto bytesBy = [&](int64_t ns) {
        return static_cast<uint32_t>(
            std::clamp<int64_t>(ns / byteNs, 0, static_cast<int64_t>(block.size())));
    };
    const auto t0 = Clock::now();
    EXPECT_EQ(sim_deliver(bridge, block.data(), block.size(), 0), 0);
    const auto t1 = Clock::now();
    uint32_t n = 0;
    while (n < block.size() && nsBetween(t0, Clock::now()) < 10000000000LL) {
        const auto before = Clock::now();
        n = queued(h);
        const auto after = Clock::now();
        const uint32_t most = bytesBy(nsBetween(t0, after));
        const uint32_t least = bytesBy(nsBetween(t1, before) - latencyMs * 1000000);
        if (n > most || n < least) {
            ADD_FAILURE() << n << " bytes show " << nsBetween(t0, before) / 1000
                          << " us after the delivery; expected " << least << " to " << most;
            break;
        }
        if (n != counts.back()) {
            counts.push_back(n);
        }
    }
    EXPECT_EQ(readText(h, static_cast<uint32_t>(block.size())), block);
    return counts;
}

TEST_F(Sim, WireTimingHandsBytesOverAtTheLatencyTimer) {
    bridge = sim_attach("HV source AVR", "AVR1");
    void* h = open("HV source AVR", 9600, 10000);
    std::string block(300, '\0');
    std::iota(block.begin(), block.end(), 0);
    const std::string hundred = block.substr(0, 100);
    // At the driver's default latency of 16 ms the queue grows only on the ticks, by 15 or 16
    // bytes each (the first and last steps may be shorter).
    sim_set_wire_timing(1);
    std::vector<uint32_t> counts = watchDelivery(bridge, h, hundred, kByteNs9600, 16);
    ASSERT_GE(counts.size(), 3u);
    for (size_t i = 2; i + 1 < counts.size(); ++i) {
        EXPECT_GE(counts[i] - counts[i - 1], 15u) << i;
    }
    // At 2 ms the 100 bytes show within 104.2 to 106.2 ms of their delivery; at 0 each byte as
    // it arrives.
    for (uint8_t latency : {0, 2}) {
        ASSERT_EQ(FT_SetLatencyTimer(h, latency), FT_OK);
        EXPECT_EQ(watchDelivery(bridge, h, hundred, kByteNs9600, latency).back(), 100u);
    }
    // A purge drops what has arrived; the rest of the block is still on the line and follows.
    const auto start = Clock::now();
    ASSERT_EQ(sim_deliver(bridge, block.data(), block.size(), 0), 0);
    while (queued(h) < 30 && nsBetween(start, Clock::now()) < 10000000000LL) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);
    ASSERT_EQ(FT_SetTimeouts(h, 400, 500), FT_OK);
    const std::string rest = readText(h, 300);
    EXPECT_TRUE(rest.size() > 0 && rest.size() <= 270) << rest.size();
    EXPECT_EQ(rest, block.substr(300 - rest.size()));

    // 62 waiting bytes are handed over at once, whatever the latency; the rest waits for the
    // tick, a latency after the last packet. (Opened afresh, so no tick falls inside the burst.)
    ASSERT_EQ(FT_Close(h), FT_OK);
    h = open("HV source AVR", 115200, 10000);
    ASSERT_EQ(FT_SetLatencyTimer(h, 255), FT_OK);
    counts = watchDelivery(bridge, h, block.substr(0, 200), 10000000000LL / 115200, 255);
    for (size_t i = 1; i + 1 < counts.size(); ++i) {
        EXPECT_EQ(counts[i] % 62, 0u) << counts[i];
    }
    EXPECT_NE(std::find(counts.begin(), counts.end(), 186u), counts.end());
    EXPECT_EQ(counts.back(), 200u);
}

// A peer that notes when it sees each part of a write and answers 20 bytes upper-cased.
struct LinePeer {
    Clock::time_point start;
    std::string seen;
    std::vector<std::pair<long, size_t>> parts;  // microseconds since start, bytes seen by then
};

void linePeerWrite(void* context, int bridge, const uint8_t* data, size_t length) {
    auto* peer = static_cast<LinePeer*>(context);
    peer->seen.append(reinterpret_cast<const char*>(data), length);
    peer->parts.emplace_back(static_cast<long>(nsBetween(peer->start, Clock::now()) / 1000),
                             peer->seen.size());
    if (peer->seen.size() == 20) {
        std::string answer = peer->seen;
        std::transform(answer.begin(), answer.end(), answer.begin(), ::toupper);
        sim_deliver(bridge, answer.data(), answer.size(), 0);
    }
}

TEST_F(Sim, WireTimingWritesTakeTheirLineTimeAndStallsBlock) {
    bridge = sim_attach("HV source AVR", "AVR1");
    LinePeer peer;
    const SimPeer p{linePeerWrite, nullptr, nullptr, &peer};
    ASSERT_EQ(sim_set_peer(bridge, &p), 0);
    void* h = open("HV source AVR", 9600, 10000, 300);
    ASSERT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
    sim_set_wire_timing(1);

    // 20 bytes take 20.8 ms to leave; the peer sees none before it has left, and answers after
    // the last: the answer's 20 byte times add to the request's.
    const std::string request = "abcdefghijklmnopqrst";
    peer.start = Clock::now();
    EXPECT_EQ(writeText(h, request), 20);
    EXPECT_GE(nsBetween(peer.start, Clock::now()), 20 * kByteNs9600);
    EXPECT_EQ(peer.seen, request);
    for (const auto& part : peer.parts) {
        EXPECT_GE(part.first * 1000, static_cast<long>(part.second) * kByteNs9600) << part.second;
    }
    EXPECT_EQ(readText(h, 20), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_GE(nsBetween(peer.start, Clock::now()), 40 * kByteNs9600);

    // Stalled: the write waits for the write time-out, then reports nothing written.
    ASSERT_EQ(sim_stall(bridge, 1), 0);
    const auto start = Clock::now();
    EXPECT_EQ(writeText(h, "xyz"), 0);
    EXPECT_GE(nsBetween(start, Clock::now()), 300000000);
    EXPECT_EQ(hvtest::writtenText(bridge), request);
}

}  // namespace
