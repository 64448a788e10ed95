// The stand-in D2XX driver, called directly: listing, open/close state and handle checks, blocking
// reads, queue status, purges, the scripted peer, every injected fault, the read-back of settings
// and call counts, wire timing both ways, the peer contract and concurrent bridges.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "D2xxTypes.h"
#include "ftd2xx_api.h"
#include "simctl.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kListAllByDescription = FT_LIST_ALL | FT_OPEN_BY_DESCRIPTION;
constexpr uint32_t kSerialByIndex = FT_LIST_BY_INDEX | FT_OPEN_BY_SERIAL_NUMBER;

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

void* openByDescription(const char* description, uint32_t* status = nullptr) {
    void* handle = nullptr;
    const uint32_t s = FT_OpenEx(const_cast<char*>(description), FT_OPEN_BY_DESCRIPTION, &handle);
    if (status != nullptr) {
        *status = s;
    }
    return s == FT_OK ? handle : nullptr;
}

std::string writtenOn(int bridge) {
    std::string bytes(sim_written(bridge, nullptr, 0), '\0');
    sim_written(bridge, &bytes[0], bytes.size());
    return bytes;
}

uint32_t queued(void* handle) {
    uint32_t n = 0xFFFFFFFF;
    EXPECT_EQ(FT_GetQueueStatus(handle, &n), FT_OK);
    return n;
}

// Polls the queue until it reports at least `want` bytes (bounded so a fault cannot hang).
uint32_t waitForQueue(void* handle, uint32_t want) {
    const auto start = Clock::now();
    uint32_t n = queued(handle);
    while (n < want && msSince(start) < 10000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        n = queued(handle);
    }
    return n;
}

uint32_t writeText(void* handle, const std::string& text, uint32_t* written = nullptr) {
    uint32_t n = 0xFFFFFFFF;
    const uint32_t status =
        FT_Write(handle, const_cast<char*>(text.data()), static_cast<uint32_t>(text.size()), &n);
    if (written != nullptr) {
        *written = n;
    }
    return status;
}

std::string readText(void* handle, uint32_t count, uint32_t* status = nullptr) {
    std::string bytes(count, '\0');
    uint32_t got = 0xFFFFFFFF;
    const uint32_t s = FT_Read(handle, &bytes[0], count, &got);
    if (status != nullptr) {
        *status = s;
    }
    if (s != FT_OK) {
        return std::string();
    }
    EXPECT_LE(got, count);
    bytes.resize(got <= count ? got : 0);
    return bytes;
}

class Sim : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override { sim_reset(); }
};

TEST_F(Sim, ListingReportsAttachedBridgesInOrderAndNeverOverrunsTheSlots) {
    constexpr size_t kSlots = 50, kSlotSize = 65, kGuard = 16;
    const std::string longText(70, 'L');
    for (int i = 0; i < 60; ++i) {
        const std::string description = i == 1 ? longText : "Bridge " + std::to_string(i);
        ASSERT_EQ(sim_attach(description.c_str(), ("SN" + std::to_string(i)).c_str()), i + 1);
    }
    ASSERT_EQ(sim_detach(3), 0);  // the third attached bridge leaves the listing
    ASSERT_EQ(sim_bridge_count(), 59);

    std::vector<std::vector<char>> buffers(kSlots, std::vector<char>(kSlotSize + kGuard, '\xEE'));
    std::vector<char> beyond(kSlotSize, '\xEE');  // after the terminating null: never touched
    std::vector<char*> slots;
    for (auto& b : buffers) {
        slots.push_back(b.data());
    }
    slots.push_back(nullptr);
    slots.push_back(beyond.data());
    uint32_t count = 0;
    ASSERT_EQ(FT_ListDevices(slots.data(), &count, kListAllByDescription), FT_OK);
    EXPECT_EQ(count, 59u);
    EXPECT_STREQ(buffers[0].data(), "Bridge 0");
    EXPECT_EQ(std::string(buffers[1].data()), std::string(64, 'L'));  // cut to 64 + NUL
    EXPECT_STREQ(buffers[2].data(), "Bridge 3");
    EXPECT_STREQ(buffers[49].data(), "Bridge 50");
    for (const auto& b : buffers) {
        for (size_t i = kSlotSize; i < b.size(); ++i) {
            ASSERT_EQ(b[i], '\xEE');
        }
    }
    EXPECT_EQ(beyond, std::vector<char>(kSlotSize, '\xEE'));

    // Serial by index: the index travels in the pointer argument.
    char serial[17 + kGuard];
    std::memset(serial, '\xEE', sizeof serial);
    ASSERT_EQ(FT_ListDevices(reinterpret_cast<void*>(uintptr_t{58}), serial, kSerialByIndex),
              FT_OK);
    EXPECT_STREQ(serial, "SN59");
    EXPECT_EQ(FT_ListDevices(reinterpret_cast<void*>(uintptr_t{59}), serial, kSerialByIndex),
              FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_ListDevices(slots.data(), &count, 0x12345), FT_INVALID_PARAMETER);
    EXPECT_EQ(sim_call_count(0, "FT_ListDevices"), 4u);

    // A serial longer than the field is cut to 16 + NUL.
    sim_reset();
    const int bridge = sim_attach("Tessaro HV Source", "0123456789ABCDEFGHIJ");
    std::memset(serial, '\xEE', sizeof serial);
    ASSERT_EQ(FT_ListDevices(nullptr, serial, kSerialByIndex), FT_OK);
    EXPECT_STREQ(serial, "0123456789ABCDEF");
    EXPECT_EQ(serial[17], '\xEE');

    // Unterminated description: 64 characters (blank padded), no zero, nothing beyond.
    ASSERT_EQ(sim_unterminated_description(bridge, 1), 0);
    char one[kSlotSize + kGuard];
    std::memset(one, '\xEE', sizeof one);
    char* oneSlot[] = {one, nullptr};
    ASSERT_EQ(FT_ListDevices(oneSlot, &count, kListAllByDescription), FT_OK);
    EXPECT_EQ(count, 1u);
    const std::string expected = std::string("Tessaro HV Source") + std::string(64 - 17, ' ');
    EXPECT_EQ(std::string(one, 64), expected);
    for (size_t i = 64; i < sizeof one; ++i) {
        ASSERT_EQ(one[i], '\xEE');
    }
}

TEST_F(Sim, OpenCloseAndHandleValidation) {
    const int a = sim_attach("Tessaro HV Source", "TS01");
    const int b = sim_attach("Tessaro HV Source", "TS02");
    uint32_t status = 0;
    EXPECT_EQ(openByDescription("Tessaro HV Sourc", &status), nullptr);  // exact match only
    EXPECT_EQ(status, FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(openByDescription("Tessaro HV Source X", &status), nullptr);
    EXPECT_EQ(status, FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("x"), 7, nullptr), FT_INVALID_PARAMETER);

    void* first = openByDescription("Tessaro HV Source");
    ASSERT_NE(first, nullptr);
    // The first attached match is taken; it is open, so a second open fails.
    EXPECT_EQ(openByDescription("Tessaro HV Source", &status), nullptr);
    EXPECT_EQ(status, FT_DEVICE_NOT_OPENED);
    void* second = nullptr;
    ASSERT_EQ(FT_OpenEx(const_cast<char*>("TS02"), FT_OPEN_BY_SERIAL_NUMBER, &second), FT_OK);
    EXPECT_NE(second, first);

    SimSettings s{};
    ASSERT_EQ(sim_settings(a, &s), 0);
    EXPECT_EQ(s.open, 1);
    EXPECT_EQ(s.open_count, 1u);

    // Stale, foreign and null handles are rejected without being touched.
    ASSERT_EQ(FT_Close(first), FT_OK);
    EXPECT_EQ(FT_Close(first), FT_INVALID_HANDLE);
    uint32_t n = 0;
    EXPECT_EQ(FT_GetQueueStatus(first, &n), FT_INVALID_HANDLE);
    int local = 0;
    EXPECT_EQ(FT_Purge(&local, 1), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_SetBaudRate(nullptr, 9600), FT_INVALID_HANDLE);
    ASSERT_EQ(sim_settings(a, &s), 0);
    EXPECT_EQ(s.open, 0);

    void* again = openByDescription("Tessaro HV Source");
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, first);  // a handle value is not handed out twice
    ASSERT_EQ(sim_settings(a, &s), 0);
    EXPECT_EQ(s.open_count, 2u);

    // Detached while open: listed no more, I/O fails, close still works.
    ASSERT_EQ(sim_detach(b), 0);
    EXPECT_EQ(sim_detach(b), -1);
    EXPECT_EQ(writeText(second, "x"), FT_IO_ERROR);
    EXPECT_EQ(FT_GetQueueStatus(second, &n), FT_IO_ERROR);
    readText(second, 1, &status);
    EXPECT_EQ(status, FT_IO_ERROR);
    EXPECT_EQ(FT_Close(second), FT_OK);
    void* gone = nullptr;
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("TS02"), FT_OPEN_BY_SERIAL_NUMBER, &gone),
              FT_DEVICE_NOT_FOUND);

    // A reset makes every handle stale.
    sim_reset();
    EXPECT_EQ(FT_Close(again), FT_INVALID_HANDLE);
    EXPECT_EQ(sim_attach("Tessaro HV Source", "TS01"), 1);  // ids start again after a reset
}

TEST_F(Sim, SettingsAndCallCountsAreRecordedPerBridge) {
    const int a = sim_attach("BiasModule", "BM1");
    const int b = sim_attach("HV source AVR", "AVR1");
    void* ha = openByDescription("BiasModule");
    void* hb = openByDescription("HV source AVR");
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);

    SimSettings s{};
    ASSERT_EQ(sim_settings(a, &s), 0);
    EXPECT_EQ(s.baud_rate, 0u);
    EXPECT_EQ(s.latency_ms, 16);  // the driver's default until set

    EXPECT_EQ(FT_Purge(ha, 3), FT_OK);
    EXPECT_EQ(FT_SetTimeouts(ha, 500, 400), FT_OK);
    EXPECT_EQ(FT_SetLatencyTimer(ha, 2), FT_OK);
    EXPECT_EQ(FT_SetFlowControl(ha, FT_FLOW_RTS_CTS, 0x11, 0x13), FT_OK);
    EXPECT_EQ(FT_SetUSBParameters(ha, 65536, 4096), FT_OK);
    EXPECT_EQ(FT_SetBaudRate(ha, 115200), FT_OK);
    EXPECT_EQ(FT_SetBaudRate(ha, 0), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(FT_SetDataCharacteristics(ha, 8, 0, 0), FT_OK);
    EXPECT_EQ(FT_SetBitMode(ha, 0xFF, 0x40), FT_OK);
    EXPECT_EQ(FT_SetDtr(ha), FT_OK);
    EXPECT_EQ(FT_ClrRts(ha), FT_OK);
    EXPECT_EQ(FT_Purge(ha, 1), FT_OK);
    EXPECT_EQ(FT_SetBaudRate(hb, 9600), FT_OK);
    EXPECT_EQ(FT_SetDataCharacteristics(hb, 7, 2, 1), FT_OK);

    ASSERT_EQ(sim_settings(a, &s), 0);
    EXPECT_EQ(s.baud_rate, 115200u);
    EXPECT_EQ(s.word_length, 8);
    EXPECT_EQ(s.stop_bits, 0);
    EXPECT_EQ(s.parity, 0);
    EXPECT_EQ(s.latency_ms, 2);
    EXPECT_EQ(s.read_timeout_ms, 500u);
    EXPECT_EQ(s.write_timeout_ms, 400u);
    EXPECT_EQ(s.usb_in_size, 65536u);
    EXPECT_EQ(s.usb_out_size, 4096u);
    EXPECT_EQ(s.flow_control, FT_FLOW_RTS_CTS);
    EXPECT_EQ(s.xon, 0x11);
    EXPECT_EQ(s.xoff, 0x13);
    EXPECT_EQ(s.bit_mask, 0xFF);
    EXPECT_EQ(s.bit_mode, 0x40);
    EXPECT_EQ(s.purge_count, 2u);
    EXPECT_EQ(s.last_purge_mask, 1u);
    ASSERT_EQ(sim_settings(b, &s), 0);
    EXPECT_EQ(s.baud_rate, 9600u);
    EXPECT_EQ(s.word_length, 7);
    EXPECT_EQ(s.stop_bits, 2);
    EXPECT_EQ(s.parity, 1);
    EXPECT_EQ(s.purge_count, 0u);

    EXPECT_EQ(sim_call_count(a, "FT_SetBaudRate"), 2u);
    EXPECT_EQ(sim_call_count(b, "FT_SetBaudRate"), 1u);
    EXPECT_EQ(sim_call_count(0, "FT_SetBaudRate"), 3u);
    EXPECT_EQ(sim_call_count(a, "FT_SetDtr"), 1u);
    EXPECT_EQ(sim_call_count(b, "FT_ClrRts"), 0u);
    EXPECT_EQ(sim_call_count(a, "FT_OpenEx"), 1u);
    EXPECT_EQ(sim_call_count(0, "FT_OpenEx"), 2u);
    EXPECT_EQ(sim_call_count(0, "FT_Nothing"), 0u);

    // Reopening starts from the defaults again; the open count survives.
    ASSERT_EQ(FT_Close(ha), FT_OK);
    ha = openByDescription("BiasModule");
    ASSERT_EQ(sim_settings(a, &s), 0);
    EXPECT_EQ(s.baud_rate, 0u);
    EXPECT_EQ(s.purge_count, 0u);
    EXPECT_EQ(s.open_count, 2u);
    EXPECT_EQ(sim_call_count(a, "FT_Close"), 1u);
}

TEST_F(Sim, ReadBlocksUntilCountOrTimeOutAndQueueStatusDoesNot) {
    const int bridge = sim_attach("Tessaro HV Source", "TS01");
    void* h = openByDescription("Tessaro HV Source");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetTimeouts(h, 150, 150), FT_OK);

    // Nothing arrives: the read waits for its time-out and reports a short count, not an error.
    auto start = Clock::now();
    uint32_t status = 0;
    EXPECT_EQ(readText(h, 10, &status), "");
    EXPECT_EQ(status, FT_OK);
    EXPECT_GE(msSince(start), 145);

    // Part arrives: the bytes there are returned at the time-out.
    ASSERT_EQ(sim_deliver(bridge, "abc", 3, 0), 0);
    EXPECT_EQ(readText(h, 10), "abc");

    // A delayed delivery: not visible yet, pending nonetheless; a read for exactly that count
    // returns when it has arrived, well before a long time-out.
    ASSERT_EQ(FT_SetTimeouts(h, 20000, 500), FT_OK);
    ASSERT_EQ(sim_deliver(bridge, "12345", 5, 300), 0);
    ASSERT_EQ(sim_deliver(bridge, "6", 1, 0), 0);  // queued behind the earlier delivery
    EXPECT_EQ(queued(h), 0u);
    EXPECT_EQ(sim_pending_input(bridge), 6u);
    start = Clock::now();
    EXPECT_EQ(readText(h, 6), "123456");
    EXPECT_LT(msSince(start), 15000);
    EXPECT_EQ(sim_pending_input(bridge), 0u);

    // A count of 0 returns at once.
    uint32_t got = 77;
    char byte = 0;
    EXPECT_EQ(FT_Read(h, &byte, 0, &got), FT_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(FT_Read(h, &byte, 1, nullptr), FT_INVALID_PARAMETER);

    // Purging the receive side drops the input that has arrived, not a delivery still on its
    // way; purging the transmit side drops nothing.
    ASSERT_EQ(sim_deliver(bridge, "xyz", 3, 0), 0);
    ASSERT_EQ(sim_deliver(bridge, "late", 4, 300), 0);
    EXPECT_EQ(queued(h), 3u);
    ASSERT_EQ(FT_Purge(h, FT_PURGE_TX), FT_OK);
    EXPECT_EQ(queued(h), 3u);
    ASSERT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(queued(h), 0u);
    EXPECT_EQ(sim_pending_input(bridge), 4u);
    EXPECT_EQ(readText(h, 4), "late");
    ASSERT_EQ(sim_deliver(bridge, "Q", 1, 0), 0);
    EXPECT_EQ(queued(h), 1u);  // a purge does not hold back later deliveries

    // A reader blocked without a time-out (0: wait indefinitely) wakes up on unplug.
    ASSERT_EQ(FT_SetTimeouts(h, 0, 0), FT_OK);
    std::thread unplugger([bridge] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        sim_unplug(bridge, 1);
    });
    readText(h, 10, &status);
    unplugger.join();
    EXPECT_EQ(status, FT_IO_ERROR);
}

TEST_F(Sim, ScriptedPeerMatchesAccumulatedWritesAndRepliesInChunks) {
    const int bridge = sim_attach("BiasModule", "BM1");
    void* h = openByDescription("BiasModule");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetTimeouts(h, 5000, 500), FT_OK);

    ASSERT_EQ(sim_script_expect(bridge, "[AB]", 4, "hello world", 11, 3, 300, 20), 0);
    ASSERT_EQ(sim_script_expect(bridge, "Q1", 2, "R1", 2, 0, 0, 0), 0);
    ASSERT_EQ(sim_script_expect(bridge, "Q2", 2, "R2", 2, 0, 0, 0), 0);
    EXPECT_EQ(sim_script_pending(bridge), 3);

    // Written in two pieces: the expectation waits for the rest.
    EXPECT_EQ(writeText(h, "[A"), FT_OK);
    EXPECT_EQ(sim_script_pending(bridge), 3);
    EXPECT_EQ(writeText(h, "B]"), FT_OK);
    EXPECT_EQ(sim_script_pending(bridge), 2);
    EXPECT_LT(queued(h), 11u);  // the first piece comes 300 ms later
    EXPECT_EQ(readText(h, 11), "hello world");

    // One write satisfying two expectations: both replies, in order.
    EXPECT_EQ(writeText(h, "Q1Q2"), FT_OK);
    EXPECT_EQ(readText(h, 4), "R1R2");
    EXPECT_EQ(sim_script_pending(bridge), 0);
    EXPECT_EQ(sim_script_mismatches(bridge), 0);

    // Writes that match nothing are counted and leave the expectation waiting.
    ASSERT_EQ(sim_script_expect(bridge, "PING", 4, "PONG", 4, 0, 0, 0), 0);
    EXPECT_EQ(writeText(h, "PX"), FT_OK);
    EXPECT_EQ(writeText(h, "junk"), FT_OK);
    EXPECT_EQ(sim_script_mismatches(bridge), 2);
    EXPECT_EQ(sim_script_pending(bridge), 1);
    EXPECT_EQ(writeText(h, "PING"), FT_OK);
    EXPECT_EQ(readText(h, 4), "PONG");
    EXPECT_EQ(writeText(h, "extra"), FT_OK);  // nothing expected at all
    EXPECT_EQ(sim_script_mismatches(bridge), 3);

    // A zero-length expectation replies when added, or once the one before it is satisfied.
    ASSERT_EQ(sim_script_expect(bridge, nullptr, 0, "hi", 2, 0, 0, 0), 0);
    EXPECT_EQ(readText(h, 2), "hi");
    ASSERT_EQ(sim_script_expect(bridge, "go", 2, "1", 1, 0, 0, 0), 0);
    ASSERT_EQ(sim_script_expect(bridge, nullptr, 0, "2", 1, 0, 0, 0), 0);
    EXPECT_EQ(queued(h), 0u);
    EXPECT_EQ(writeText(h, "go"), FT_OK);
    EXPECT_EQ(readText(h, 2), "12");
    EXPECT_EQ(sim_script_pending(bridge), 0);

    EXPECT_EQ(writtenOn(bridge), "[AB]Q1Q2PXjunkPINGextrago");
    sim_clear_written(bridge);
    EXPECT_EQ(writtenOn(bridge), "");
    EXPECT_EQ(sim_script_expect(99, "a", 1, "b", 1, 0, 0, 0), -1);
}

TEST_F(Sim, InjectedFaults) {
    const int a = sim_attach("Tessaro HV Source", "TS01");
    const int b = sim_attach("HV source AVR", "AVR1");
    uint32_t count = 0;
    char buffer[65] = {};
    char* slots[] = {buffer, nullptr};

    // Bridge 0 reaches listing and opening; each failure happens once.
    ASSERT_EQ(sim_fail_next(0, "FT_ListDevices", FT_OTHER_ERROR), 0);
    EXPECT_EQ(FT_ListDevices(slots, &count, kListAllByDescription), FT_OTHER_ERROR);
    EXPECT_EQ(FT_ListDevices(slots, &count, kListAllByDescription), FT_OK);
    ASSERT_EQ(sim_fail_next(0, "FT_OpenEx", FT_INSUFFICIENT_RESOURCES), 0);
    uint32_t status = 0;
    EXPECT_EQ(openByDescription("Tessaro HV Source", &status), nullptr);
    EXPECT_EQ(status, FT_INSUFFICIENT_RESOURCES);
    void* ha = openByDescription("Tessaro HV Source");
    void* hb = openByDescription("HV source AVR");
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);
    EXPECT_EQ(sim_fail_next(a, "FT_Bogus", 1), -1);

    // A bridge's failure does nothing and touches only that bridge.
    ASSERT_EQ(sim_fail_next(a, "FT_Write", 10), 0);
    EXPECT_EQ(writeText(hb, "b"), FT_OK);
    EXPECT_EQ(writeText(ha, "lost"), 10u);
    EXPECT_EQ(writeText(ha, "kept"), FT_OK);
    EXPECT_EQ(writtenOn(a), "kept");
    ASSERT_EQ(sim_fail_next(0, "FT_SetBaudRate", 7), 0);  // any bridge: the next caller gets it
    EXPECT_EQ(FT_SetBaudRate(hb, 9600), 7u);
    EXPECT_EQ(FT_SetBaudRate(ha, 9600), FT_OK);
    SimSettings s{};
    ASSERT_EQ(sim_settings(b, &s), 0);
    EXPECT_EQ(s.baud_rate, 0u);

    // Lying counts: a read reports the fake count but never writes past what was asked.
    ASSERT_EQ(sim_deliver(a, "abcdefgh", 8, 0), 0);
    ASSERT_EQ(sim_fake_count_next(a, "FT_Read", 100), 0);
    uint8_t guarded[8];
    std::memset(guarded, 0xEE, sizeof guarded);
    uint32_t got = 0;
    ASSERT_EQ(FT_Read(ha, guarded, 4, &got), FT_OK);
    EXPECT_EQ(got, 100u);
    EXPECT_EQ(std::memcmp(guarded, "abcd", 4), 0);
    for (size_t i = 4; i < sizeof guarded; ++i) {
        EXPECT_EQ(guarded[i], 0xEE);
    }
    ASSERT_EQ(sim_fake_count_next(a, "FT_GetQueueStatus", 5000), 0);
    EXPECT_EQ(queued(ha), 5000u);
    EXPECT_EQ(queued(ha), 4u);
    ASSERT_EQ(sim_fake_count_next(a, "FT_Write", 70000), 0);
    uint32_t written = 0;
    EXPECT_EQ(writeText(ha, "xy", &written), FT_OK);
    EXPECT_EQ(written, 70000u);
    EXPECT_EQ(writtenOn(a), "keptxy");
    EXPECT_EQ(sim_fake_count_next(a, "FT_Close", 1), -1);

    // Unplugged: reads, writes and queue queries fail; plugged back in, all works again.
    ASSERT_EQ(sim_unplug(a, 1), 0);
    EXPECT_EQ(writeText(ha, "z"), FT_IO_ERROR);
    EXPECT_EQ(FT_GetQueueStatus(ha, &count), FT_IO_ERROR);
    readText(ha, 1, &status);
    EXPECT_EQ(status, FT_IO_ERROR);
    ASSERT_EQ(sim_settings(a, &s), 0);
    EXPECT_EQ(s.unplugged, 1);
    ASSERT_EQ(sim_unplug(a, 0), 0);
    EXPECT_EQ(readText(ha, 4), "efgh");

    // Stalled: writes accept nothing and still report success.
    ASSERT_EQ(sim_stall(b, 1), 0);
    EXPECT_EQ(writeText(hb, "stuck", &written), FT_OK);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(writtenOn(b), "b");
    ASSERT_EQ(sim_stall(b, 0), 0);
    EXPECT_EQ(writeText(hb, "free", &written), FT_OK);
    EXPECT_EQ(written, 4u);

    // Flooding: delivered bytes first, then the flood byte without end, even after a purge.
    ASSERT_EQ(sim_deliver(b, "ok", 2, 0), 0);
    ASSERT_EQ(sim_flood(b, 1, 0x55), 0);
    EXPECT_GT(queued(hb), 2u);
    EXPECT_EQ(readText(hb, 6), std::string("ok\x55\x55\x55\x55"));
    ASSERT_EQ(FT_Purge(hb, FT_PURGE_RX), FT_OK);
    EXPECT_GT(queued(hb), 0u);
    EXPECT_EQ(readText(hb, 3), std::string(3, '\x55'));
    ASSERT_EQ(sim_flood(b, 0, 0), 0);
    EXPECT_EQ(queued(hb), 0u);

    EXPECT_EQ(sim_unplug(42, 1), -1);
    EXPECT_EQ(sim_deliver(42, "x", 1, 0), -1);
}

// Line time of a byte as the driver counts it, in nanoseconds.
constexpr int64_t kByteNs9600 = 10000000000LL / 9600;
constexpr int64_t kByteNs115200 = 10000000000LL / 115200;

int64_t nsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
}

// Delivers `length` bytes with wire timing on and polls the queue until all show. Byte i arrives
// (i + 1) byte times after the delivery and shows at the latest one latency later, so every
// count seen lies between the bytes that arrived a latency before its query began and those that
// arrived by its end. Returns the distinct counts seen, in order.
std::vector<uint32_t> watchDelivery(int bridge, void* h, const std::string& block, int64_t byteNs,
                                    int64_t latencyMs) {
    std::vector<uint32_t> counts{0};
    const auto bytesBy = [&](int64_t ns) {
        return static_cast<uint32_t>(std::min<int64_t>(std::max<int64_t>(ns / byteNs, 0),
                                                       static_cast<int64_t>(block.size())));
    };
    const auto t0 = Clock::now();
    EXPECT_EQ(sim_deliver(bridge, block.data(), block.size(), 0), 0);
    const auto t1 = Clock::now();
    uint32_t n = 0;
    while (n < block.size() && msSince(t0) < 10000) {
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
    return counts;
}

TEST_F(Sim, WireTimingHandsBytesOverAtTheLatencyTimer) {
    const int bridge = sim_attach("HV source AVR", "AVR1");
    void* h = openByDescription("HV source AVR");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetBaudRate(h, 9600), FT_OK);
    ASSERT_EQ(FT_SetTimeouts(h, 10000, 500), FT_OK);
    std::string block;
    for (int i = 0; i < 300; ++i) {
        block += static_cast<char>(i);
    }
    const std::string hundred = block.substr(0, 100);

    // Off: visible at once.
    ASSERT_EQ(sim_deliver(bridge, hundred.data(), hundred.size(), 0), 0);
    EXPECT_EQ(queued(h), 100u);
    EXPECT_EQ(readText(h, 100), hundred);

    // On, at the driver's default latency of 16 ms: the bytes arrive every 1.04 ms, the queue
    // grows only on the ticks, by 15 or 16 bytes each (the first and last steps may be shorter).
    sim_set_wire_timing(1);
    std::vector<uint32_t> counts = watchDelivery(bridge, h, hundred, kByteNs9600, 16);
    ASSERT_GE(counts.size(), 3u);
    for (size_t i = 2; i + 1 < counts.size(); ++i) {
        EXPECT_GE(counts[i] - counts[i - 1], 15u) << i;
    }
    EXPECT_EQ(readText(h, 100), hundred);

    // At 2 ms the 100 bytes show within 104.2 to 106.2 ms of their delivery.
    ASSERT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
    counts = watchDelivery(bridge, h, hundred, kByteNs9600, 2);
    EXPECT_EQ(counts.back(), 100u);
    EXPECT_EQ(readText(h, 100), hundred);

    // A latency of 0 hands each byte over as it arrives.
    ASSERT_EQ(FT_SetLatencyTimer(h, 0), FT_OK);
    EXPECT_EQ(watchDelivery(bridge, h, hundred, kByteNs9600, 0).back(), 100u);
    EXPECT_EQ(readText(h, 100), hundred);
    ASSERT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);

    // A blocking read collects them as they show.
    auto start = Clock::now();
    ASSERT_EQ(sim_deliver(bridge, hundred.data(), hundred.size(), 0), 0);
    EXPECT_EQ(readText(h, 100), hundred);
    EXPECT_GE(msSince(start), 104);

    // A purge drops what has arrived; the rest of the block is still on the line and follows.
    ASSERT_EQ(sim_deliver(bridge, block.data(), block.size(), 0), 0);
    waitForQueue(h, 30);
    ASSERT_EQ(FT_Purge(h, FT_PURGE_RX), FT_OK);
    EXPECT_EQ(queued(h), 0u);
    ASSERT_EQ(FT_SetTimeouts(h, 400, 500), FT_OK);
    const std::string rest = readText(h, 300);
    EXPECT_GT(rest.size(), 0u);
    EXPECT_LE(rest.size(), 270u);
    EXPECT_EQ(rest, block.substr(300 - rest.size()));

    // 62 waiting bytes are handed over at once, whatever the latency; the rest waits for the
    // tick, a latency after the last packet. (Opened afresh, so no tick falls inside the burst.)
    ASSERT_EQ(FT_Close(h), FT_OK);
    h = openByDescription("HV source AVR");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetBaudRate(h, 115200), FT_OK);
    ASSERT_EQ(FT_SetLatencyTimer(h, 255), FT_OK);
    counts = watchDelivery(bridge, h, block.substr(0, 200), kByteNs115200, 255);
    for (size_t i = 1; i + 1 < counts.size(); ++i) {
        EXPECT_EQ(counts[i] % 62, 0u) << counts[i];
    }
    EXPECT_NE(std::find(counts.begin(), counts.end(), 186u), counts.end());
    EXPECT_EQ(counts.back(), 200u);

    sim_reset();  // switches wire timing off again
    const int fast = sim_attach("HV source AVR", "AVR1");
    h = openByDescription("HV source AVR");
    ASSERT_EQ(sim_deliver(fast, hundred.data(), hundred.size(), 0), 0);
    EXPECT_EQ(queued(h), 100u);
}

// A peer that notes when it sees each part of a write and answers a whole request upper-cased.
struct LinePeer {
    Clock::time_point start;
    size_t requestLength = 0;
    std::string seen;
    std::vector<std::pair<long, size_t>> parts;  // microseconds since start, bytes seen by then
};

void linePeerWrite(void* context, int bridge, const uint8_t* data, size_t length) {
    auto* peer = static_cast<LinePeer*>(context);
    peer->seen.append(reinterpret_cast<const char*>(data), length);
    peer->parts.emplace_back(static_cast<long>(nsBetween(peer->start, Clock::now()) / 1000),
                             peer->seen.size());
    if (peer->seen.size() == peer->requestLength) {
        std::string answer = peer->seen;
        for (char& c : answer) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        sim_deliver(bridge, answer.data(), answer.size(), 0);
    }
}

TEST_F(Sim, WireTimingWritesTakeTheirLineTimeAndStallsBlock) {
    const int bridge = sim_attach("HV source AVR", "AVR1");
    LinePeer peer;
    peer.requestLength = 20;
    const SimPeer p{linePeerWrite, nullptr, nullptr, &peer};
    ASSERT_EQ(sim_set_peer(bridge, &p), 0);
    void* h = openByDescription("HV source AVR");
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetBaudRate(h, 9600), FT_OK);
    ASSERT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
    ASSERT_EQ(FT_SetTimeouts(h, 10000, 300), FT_OK);
    sim_set_wire_timing(1);

    // 20 bytes take 20.8 ms to leave; the peer sees none before it has left, and answers after
    // the last: the answer's 20 byte times add to the request's.
    const std::string request = "abcdefghijklmnopqrst";
    peer.start = Clock::now();
    uint32_t written = 0;
    ASSERT_EQ(writeText(h, request, &written), FT_OK);
    EXPECT_EQ(written, 20u);
    EXPECT_GE(nsBetween(peer.start, Clock::now()), 20 * kByteNs9600);
    EXPECT_EQ(peer.seen, request);
    for (const auto& part : peer.parts) {
        EXPECT_GE(part.first * 1000, static_cast<long>(part.second) * kByteNs9600) << part.second;
    }
    EXPECT_EQ(readText(h, 20), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_GE(nsBetween(peer.start, Clock::now()), 40 * kByteNs9600);

    // Stalled: the write waits for the write time-out, then reports nothing written.
    ASSERT_EQ(sim_stall(bridge, 1), 0);
    auto start = Clock::now();
    EXPECT_EQ(writeText(h, "xyz", &written), FT_OK);
    EXPECT_EQ(written, 0u);
    EXPECT_GE(msSince(start), 300);
    EXPECT_EQ(writtenOn(bridge), request);

    // A stall that ends meanwhile lets the write go on.
    std::thread release([bridge] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        sim_stall(bridge, 0);
    });
    start = Clock::now();
    EXPECT_EQ(writeText(h, "xyz", &written), FT_OK);
    release.join();
    EXPECT_EQ(written, 3u);
    EXPECT_GE(msSince(start), 100);
    EXPECT_EQ(writtenOn(bridge), request + "xyz");
}

// A peer that echoes every write upper-cased, reading its own bridge's record from inside the
// callback; counts its calls.
struct EchoPeer {
    std::atomic<int> opens{0};
    std::atomic<int> destroyed{0};
    std::atomic<size_t> seenWritten{0};
};

void echoWrite(void* context, int bridge, const uint8_t* data, size_t length) {
    auto* peer = static_cast<EchoPeer*>(context);
    peer->seenWritten = sim_written(bridge, nullptr, 0);
    std::string reply(reinterpret_cast<const char*>(data), length);
    for (char& c : reply) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    sim_deliver(bridge, reply.data(), reply.size(), 0);
}

void echoOpen(void* context, int) {
    ++static_cast<EchoPeer*>(context)->opens;
}
void echoDestroy(void* context) {
    ++static_cast<EchoPeer*>(context)->destroyed;
}

TEST_F(Sim, PeersAnswerFromTheirCallbackAndAreDestroyedOnReplaceDetachAndReset) {
    const int bridge = sim_attach("BiasModule", "BM1");
    EchoPeer first, second, third;
    SimPeer p{echoWrite, echoOpen, echoDestroy, &first};
    ASSERT_EQ(sim_set_peer(bridge, &p), 0);
    void* h = openByDescription("BiasModule");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(first.opens, 1);
    ASSERT_EQ(FT_SetTimeouts(h, 5000, 500), FT_OK);
    EXPECT_EQ(writeText(h, "abc"), FT_OK);
    EXPECT_EQ(first.seenWritten, 3u);  // the write is recorded before the peer sees it
    EXPECT_EQ(readText(h, 3), "ABC");

    p.context = &second;
    ASSERT_EQ(sim_set_peer(bridge, &p), 0);
    EXPECT_EQ(first.destroyed, 1);
    EXPECT_EQ(writeText(h, "de"), FT_OK);
    EXPECT_EQ(readText(h, 2), "DE");
    EXPECT_EQ(first.seenWritten, 3u);
    ASSERT_EQ(sim_detach(bridge), 0);
    EXPECT_EQ(second.destroyed, 1);

    const int other = sim_attach("BiasModule", "BM2");
    p.context = &third;
    ASSERT_EQ(sim_set_peer(other, &p), 0);
    EXPECT_EQ(sim_set_peer(bridge, &p), -1);  // detached: not taken
    sim_reset();
    EXPECT_EQ(third.destroyed, 1);
    EXPECT_EQ(first.destroyed + second.destroyed, 2);
}

TEST_F(Sim, FourThreadsDriveTheirOwnBridgesConcurrently) {
    constexpr int kThreads = 4, kRounds = 40;
    int bridges[kThreads];
    std::string expectedWritten[kThreads];
    for (int t = 0; t < kThreads; ++t) {
        const std::string description = "Tessaro HV Source " + std::to_string(t);
        bridges[t] = sim_attach(description.c_str(), ("TS" + std::to_string(t)).c_str());
        for (int i = 0; i < kRounds; ++i) {
            const std::string ask = "T" + std::to_string(t) + ":" + std::to_string(i) + ";";
            const std::string answer = "R" + std::to_string(t) + "/" + std::to_string(i) + "!";
            ASSERT_EQ(sim_script_expect(bridges[t], ask.data(), ask.size(), answer.data(),
                                        answer.size(), 2, i % 3, 1),
                      0);
            expectedWritten[t] += ask;
        }
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const std::string description = "Tessaro HV Source " + std::to_string(t);
            void* h = openByDescription(description.c_str());
            if (h == nullptr || FT_SetTimeouts(h, 5000, 500) != FT_OK) {
                ++failures;
                return;
            }
            for (int i = 0; i < kRounds; ++i) {
                const std::string ask = "T" + std::to_string(t) + ":" + std::to_string(i) + ";";
                const std::string answer = "R" + std::to_string(t) + "/" + std::to_string(i) + "!";
                // Written in two parts to exercise accumulation under contention.
                if (writeText(h, ask.substr(0, 2)) != FT_OK ||
                    writeText(h, ask.substr(2)) != FT_OK) {
                    ++failures;
                }
                if (readText(h, static_cast<uint32_t>(answer.size())) != answer) {
                    ++failures;
                }
            }
            if (FT_Close(h) != FT_OK) {
                ++failures;
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, 0);
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(writtenOn(bridges[t]), expectedWritten[t]);
        EXPECT_EQ(sim_script_pending(bridges[t]), 0);
        EXPECT_EQ(sim_script_mismatches(bridges[t]), 0);
        EXPECT_EQ(sim_pending_input(bridges[t]), 0u);
        EXPECT_EQ(sim_call_count(bridges[t], "FT_Write"), 2u * kRounds);
    }
    EXPECT_EQ(sim_call_count(0, "FT_Write"), 2u * kRounds * kThreads);
}

}  // namespace
