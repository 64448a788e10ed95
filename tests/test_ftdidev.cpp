// The FTDI device channel against the stand-in driver: the driver calls and values of each
// operation, deadlines, the reading rules, chunked writes, faults the driver injects, listing,
// the trace file and the observer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "FT2XXLoader.h"
#include "FtdiDev.h"
#include "platform.h"
#include "simctl.h"

namespace {

const char* const kDescription = "Tessaro HV Source";
const char* const kSerial = "TS0001";

unsigned calls(int bridge, const char* function) {
    return sim_call_count(bridge, function);
}

SimSettings settingsOf(int bridge) {
    SimSettings settings{};
    EXPECT_EQ(sim_settings(bridge, &settings), 0);
    return settings;
}

void deliver(int bridge, const std::string& bytes, unsigned delayMs = 0) {
    sim_deliver(bridge, bytes.data(), bytes.size(), delayMs);
}

// A peer that records the length of every block written.
void recordBlock(void* context, int, const uint8_t*, size_t length) {
    static_cast<std::vector<size_t>*>(context)->push_back(length);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One attached bridge and an open channel on it.
class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        bridge = sim_attach(kDescription, kSerial);
        ASSERT_GT(bridge, 0);
        ASSERT_EQ(dev.open(false), 0) << dev.lastError();
        dev.setBaudRate(115200);
    }
    void TearDown() override {
        dev.close();
        sim_reset();
    }

    int bridge = 0;
    FtdiDev dev{kDescription, false};
};

struct Observed {
    std::vector<std::string> data;
    std::vector<bool> sent;
};

void observe(const void* data, uint32_t count, bool sent, void* context) {
    Observed* seen = static_cast<Observed*>(context);
    seen->data.emplace_back(static_cast<const char*>(data), count);
    seen->sent.push_back(sent);
}

std::string readFile(const std::string& path) {
    std::string text;
    std::FILE* file = plat::openFile(path, "r");
    if (file == nullptr) {
        return text;
    }
    char chunk[256];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        text.append(chunk, got);
    }
    std::fclose(file);
    return text;
}

}  // namespace

TEST(FtdiStatus, TextsAndStatusesOutsideTheTable) {
    EXPECT_STREQ(ftStatusText(0), "");
    EXPECT_STREQ(ftStatusText(1), "Invalid handle");
    EXPECT_STREQ(ftStatusText(4), "USB device disconnected");
    EXPECT_STREQ(ftStatusText(5), "Insuficient resources");
    EXPECT_STREQ(ftStatusText(10), "Failed to write device");
    EXPECT_STREQ(ftStatusText(16), "Invalid Args");
    EXPECT_STREQ(ftStatusText(17), "Not supported");
    EXPECT_STREQ(ftStatusText(18), "Other Error");
    for (uint32_t status : {19u, 20u, 1000u, 0x80000000u, 0xFFFFFFFFu}) {
        ASSERT_NE(ftStatusText(status), nullptr);
        EXPECT_STREQ(ftStatusText(status), "Unknown status") << status;
    }
}

TEST(FtdiOpen, ExactDriverCallsAndValues) {
    sim_reset();
    const int bridge = sim_attach(kDescription, kSerial);
    ASSERT_GT(bridge, 0);

    FtdiDev never("Nothing attached", false);
    EXPECT_EQ(never.close(), 0);
    EXPECT_EQ(calls(0, "FT_Close"), 0u);
    EXPECT_EQ(never.open(false), 2);
    EXPECT_EQ(never.lastError(), "Device not found");
    EXPECT_FALSE(never.isOpen());
    EXPECT_EQ(never.close(), 0);
    EXPECT_EQ(calls(0, "FT_Close"), 0u);

    FtdiDev dev(kDescription, false);
    ASSERT_EQ(dev.open(false), 0);
    EXPECT_TRUE(dev.isOpen());
    SimSettings s = settingsOf(bridge);
    EXPECT_EQ(s.open, 1);
    EXPECT_EQ(s.purge_count, 1u);
    EXPECT_EQ(s.last_purge_mask, 3u);
    EXPECT_EQ(s.read_timeout_ms, 500u);
    EXPECT_EQ(s.write_timeout_ms, 500u);
    EXPECT_EQ(s.latency_ms, 2);
    EXPECT_EQ(s.usb_in_size, 65536u);
    EXPECT_EQ(s.usb_out_size, 65536u);
    EXPECT_EQ(s.baud_rate, 0u);
    for (const char* fn :
         {"FT_Purge", "FT_SetTimeouts", "FT_SetLatencyTimer", "FT_SetUSBParameters"}) {
        EXPECT_EQ(calls(bridge, fn), 1u) << fn;
    }
    EXPECT_EQ(calls(bridge, "FT_SetFlowControl"), 0u);

    // The bridge is taken: a second channel fails with the driver's status.
    FtdiDev second(kSerial, true);
    EXPECT_EQ(second.open(false), 3);
    EXPECT_EQ(second.lastError(), "Device not opened");

    EXPECT_EQ(dev.setBaudRate(115200), 0);
    s = settingsOf(bridge);
    EXPECT_EQ(s.baud_rate, 115200u);
    EXPECT_EQ(s.word_length, 8);
    EXPECT_EQ(s.stop_bits, 0);
    EXPECT_EQ(s.parity, 0);
    EXPECT_EQ(calls(bridge, "FT_SetFlowControl"), 0u);

    EXPECT_EQ(dev.setBitMode(true), 0);
    s = settingsOf(bridge);
    EXPECT_EQ(s.bit_mask, 0xFF);
    EXPECT_EQ(s.bit_mode, 0x40);
    EXPECT_EQ(dev.setBitMode(false), 0);
    EXPECT_EQ(settingsOf(bridge).bit_mode, 0x01);
    EXPECT_EQ(dev.lastError(), "");
    sim_fail_next(bridge, "FT_SetBitMode", 4);
    EXPECT_EQ(dev.setBitMode(true), 4);
    EXPECT_EQ(dev.lastError(), "USB device disconnected");
    sim_fail_next(bridge, "FT_SetBitMode", 19);
    EXPECT_EQ(dev.setBitMode(true), 19);
    EXPECT_EQ(dev.lastError(), "Unknown status");
    EXPECT_EQ(dev.setBitMode(true), 0);
    EXPECT_EQ(dev.lastError(), "");

    EXPECT_EQ(dev.close(), 0);
    EXPECT_EQ(settingsOf(bridge).open, 0);
    EXPECT_EQ(dev.close(), 0);
    EXPECT_EQ(calls(bridge, "FT_Close"), 1u);

    // By serial number, now that the bridge is free; a failing close reports its text.
    ASSERT_EQ(second.open(false), 0);
    EXPECT_EQ(settingsOf(bridge).open_count, 2u);
    sim_fail_next(bridge, "FT_Close", 1);
    EXPECT_EQ(second.close(), 1);
    EXPECT_EQ(second.lastError(), "Invalid handle");
    EXPECT_FALSE(second.isOpen());

    // A failed open leaves no handle behind.
    FtdiDev third(kDescription, false);
    sim_fail_next(0, "FT_OpenEx", 5);
    EXPECT_EQ(third.open(false), 5);
    EXPECT_EQ(third.lastError(), "Insuficient resources");
    EXPECT_FALSE(third.isOpen());
    sim_reset();
}

TEST(FtdiOpen, RtsCtsFlowControlAndFixUp) {
    sim_reset();
    const int bridge = sim_attach(kDescription, kSerial);
    FtdiDev dev(kDescription, false);
    ASSERT_EQ(dev.open(true), 0);
    EXPECT_EQ(calls(bridge, "FT_SetFlowControl"), 1u);
    SimSettings s = settingsOf(bridge);
    EXPECT_EQ(s.flow_control, 0x100);
    EXPECT_EQ(s.xon, 0);
    EXPECT_EQ(s.xoff, 0);

    // Until the line is configured, every empty poll and every read raises DTR and drops RTS.
    unsigned char buffer[8];
    EXPECT_EQ(dev.readAvailable(buffer, sizeof(buffer), 3), 0);
    EXPECT_EQ(calls(bridge, "FT_SetDtr"), 3u);
    EXPECT_EQ(calls(bridge, "FT_ClrRts"), 3u);
    deliver(bridge, "xy");
    EXPECT_EQ(dev.readAvailable(buffer, sizeof(buffer), 3), 2);
    EXPECT_EQ(calls(bridge, "FT_SetDtr"), 4u);

    EXPECT_EQ(dev.setBaudRate(9600), 0);
    EXPECT_EQ(calls(bridge, "FT_SetFlowControl"), 2u);
    EXPECT_EQ(dev.readAvailable(buffer, sizeof(buffer), 3), 0);
    EXPECT_EQ(calls(bridge, "FT_SetDtr"), 4u);
    EXPECT_EQ(calls(bridge, "FT_ClrRts"), 4u);
    dev.close();
    sim_reset();
}

TEST(FtdiOpen, DestroyingAnOpenChannelFreesTheBridge) {
    sim_reset();
    const int bridge = sim_attach(kDescription, kSerial);
    {
        FtdiDev dev(kDescription, false);
        ASSERT_EQ(dev.open(false), 0);
    }
    EXPECT_EQ(settingsOf(bridge).open, 0);
    FtdiDev again(kDescription, false);
    EXPECT_EQ(again.open(false), 0);
    again.close();
    sim_reset();
}

TEST(FtdiList, FiltersChannelBAndSerials) {
    sim_reset();
    sim_attach("Dual RS232 A", "D1A");
    sim_attach("Dual RS232 B", "D1B");
    sim_attach("B", "SB");
    sim_attach("Tessaro HV Source", "TS1");
    sim_attach("HV source AVR", "AVR1");
    sim_attach("BiasModule B", "BM1");

    auto descriptions = [](const std::vector<FtdiDevInfo>& list) {
        std::string all;
        for (const FtdiDevInfo& info : list) {
            all += info.description + "|" + info.serial + ";";
        }
        return all;
    };

    std::vector<FtdiDevInfo> list;
    EXPECT_EQ(FtdiDev::listDevices(nullptr, 0, list, false, false), 0);
    EXPECT_EQ(descriptions(list),
              "Dual RS232 A|;Dual RS232 B|;B|;Tessaro HV Source|;HV source AVR|;BiasModule B|;");

    list.clear();
    EXPECT_EQ(FtdiDev::listDevices(nullptr, 0, list, true, true), 0);
    EXPECT_EQ(descriptions(list),
              "Dual RS232 A|D1A;B|SB;Tessaro HV Source|TS1;HV source AVR|AVR1;");

    // The library's own listing; the list is appended to.
    const char* const filters[] = {"Tessaro HV Source", "HV source AVR", "BiasModule"};
    list.assign(1, FtdiDevInfo{"earlier", "E"});
    const unsigned before = calls(0, "FT_ListDevices");
    EXPECT_EQ(FtdiDev::listDevices(filters, 3, list, true, false), 0);
    EXPECT_EQ(descriptions(list), "earlier|E;Tessaro HV Source|;HV source AVR|;");
    EXPECT_EQ(calls(0, "FT_ListDevices") - before, 1u);

    // A filter count of 0 means no filtering; with serials, one lookup per kept device.
    list.clear();
    const unsigned beforeSerial = calls(0, "FT_ListDevices");
    EXPECT_EQ(FtdiDev::listDevices(filters, 0, list, false, true), 0);
    EXPECT_EQ(list.size(), 6u);
    EXPECT_EQ(list[5].serial, "BM1");
    EXPECT_EQ(calls(0, "FT_ListDevices") - beforeSerial, 7u);

    // A failed listing adds nothing and reports the status.
    list.clear();
    sim_fail_next(0, "FT_ListDevices", 4);
    EXPECT_EQ(FtdiDev::listDevices(nullptr, 0, list, false, false), 4);
    EXPECT_TRUE(list.empty());
    sim_reset();
}

TEST(FtdiList, MoreThanFiftyBridgesAndUnterminatedDescription) {
    sim_reset();
    const std::string longName(64, 'L');
    const int longBridge = sim_attach(longName.c_str(), "LONG");
    sim_unterminated_description(longBridge, 1);
    const int shortBridge = sim_attach("Short", "SHORT");
    sim_unterminated_description(shortBridge, 1);
    for (int i = 2; i < 61; ++i) {
        char name[32];
        std::snprintf(name, sizeof(name), "Bridge %02d", i);
        sim_attach(name, "");
    }
    ASSERT_EQ(sim_bridge_count(), 61);

    std::vector<FtdiDevInfo> list;
    FtdiDev::listDevices(nullptr, 0, list, false, false);
    ASSERT_EQ(list.size(), 50u);
    EXPECT_EQ(list[0].description, longName);
    EXPECT_EQ(list[1].description, "Short" + std::string(59, ' '));  // cut at 64 characters
    EXPECT_EQ(list[2].description, "Bridge 02");
    EXPECT_EQ(list[49].description, "Bridge 49");
    sim_reset();
}

TEST_F(Channel, ReadTimeoutsAndZeroTimeout) {
    unsigned char buffer[16];
    std::memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 4, 0.1, false), 0);
    EXPECT_EQ(dev.lastError(), "Timeout");
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0xEE);

    // No time at all: no driver call.
    deliver(bridge, "abcd");
    const unsigned queries = calls(bridge, "FT_GetQueueStatus");
    const unsigned reads = calls(bridge, "FT_Read");
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 4, 0.0, false), 0);
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 4, -1.0, true), 0);
    EXPECT_EQ(dev.readUntil(buffer, sizeof(buffer), "d", 1, 0.0), 0);
    std::string line;
    EXPECT_EQ(dev.readLine(line, '\n', 0.0), -1);
    EXPECT_EQ(calls(bridge, "FT_GetQueueStatus"), queries);
    EXPECT_EQ(calls(bridge, "FT_Read"), reads);
    EXPECT_EQ(sim_pending_input(bridge), 4u);
}

TEST_F(Channel, ReadExactCountZeroByteAndGuards) {
    unsigned char buffer[24];
    std::memset(buffer, 0xEE, sizeof(buffer));
    deliver(bridge, "ABCDEFGH");
    EXPECT_EQ(dev.read(buffer, 16, 4, 1.0, false), 4);
    EXPECT_EQ(std::memcmp(buffer, "ABCD", 4), 0);
    EXPECT_EQ(buffer[4], 0);  // room left: a zero byte after the data
    EXPECT_EQ(buffer[5], 0xEE);

    // Count equal to the buffer size: nothing written past it.
    std::memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(dev.read(buffer, 4, 4, 1.0, false), 4);
    EXPECT_EQ(std::memcmp(buffer, "EFGH", 4), 0);
    EXPECT_EQ(buffer[4], 0xEE);

    // Count larger than the buffer: the buffer size wins.
    deliver(bridge, "12345678");
    std::memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(dev.read(buffer, 3, 100, 1.0, false), 3);
    EXPECT_EQ(buffer[3], 0xEE);

    // Count 0: the bytes waiting.
    EXPECT_EQ(dev.availableBytes(), 5);
    EXPECT_EQ(dev.read(buffer, 16, 0, 1.0, false), 5);
    EXPECT_EQ(std::memcmp(buffer, "45678", 5), 0);
    const unsigned reads = calls(bridge, "FT_Read");
    EXPECT_EQ(dev.read(buffer, 16, 0, 1.0, false), 0);
    EXPECT_EQ(calls(bridge, "FT_Read"), reads);
    // Count 0 with more waiting than the buffer holds: a buffer full, the rest stays.
    std::memset(buffer, 0xEE, sizeof(buffer));
    deliver(bridge, "abcdefghij");
    EXPECT_EQ(dev.read(buffer, 6, 0, 1.0, false), 6);
    EXPECT_EQ(std::memcmp(buffer, "abcdef", 6), 0);
    EXPECT_EQ(buffer[6], 0xEE);
    EXPECT_EQ(sim_pending_input(bridge), 4u);
}

TEST_F(Channel, TrickleExtendsDeadlineUnlessFixed) {
    unsigned char buffer[8];
    // One byte every 250 ms against a 0.6 s time-out (delays count from now).
    for (unsigned i = 0; i < 4; ++i) {
        deliver(bridge, std::string(1, static_cast<char>('a' + i)), 250 * i);
    }
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 4, 0.6, false), 4);
    EXPECT_EQ(std::memcmp(buffer, "abcd", 4), 0);

    for (unsigned i = 0; i < 4; ++i) {
        deliver(bridge, std::string(1, static_cast<char>('a' + i)), 250 * i);
    }
    const int got = dev.read(buffer, sizeof(buffer), 4, 0.6, true);
    EXPECT_GE(got, 1);
    EXPECT_LT(got, 4);  // the last byte comes 150 ms after the fixed deadline
    EXPECT_EQ(dev.lastError(), "Timeout");
}

TEST_F(Channel, DriverCountsNeverOverrunBuffers) {
    unsigned char buffer[12];
    std::memset(buffer, 0xEE, sizeof(buffer));
    deliver(bridge, "wxyz");
    sim_fake_count_next(bridge, "FT_Read", 1000);
    EXPECT_EQ(dev.read(buffer, 4, 4, 1.0, false), 4);
    EXPECT_EQ(buffer[4], 0xEE);

    // A queue length far beyond what is there and what fits.
    std::memset(buffer, 0xEE, sizeof(buffer));
    deliver(bridge, "abc");
    sim_fake_count_next(bridge, "FT_GetQueueStatus", 100000);
    EXPECT_EQ(dev.readAvailable(buffer, 4, 1), 3);
    EXPECT_EQ(buffer[4], 0xEE);

    std::memset(buffer, 0xEE, sizeof(buffer));
    deliver(bridge, "0123456789");
    sim_fake_count_next(bridge, "FT_Read", 50);
    EXPECT_EQ(dev.readUntil(buffer, 4, ")", 1, 0.3), 4);
    EXPECT_EQ(buffer[4], 0xEE);

    sim_fake_count_next(bridge, "FT_Read", 5000);
    std::string line;
    EXPECT_EQ(dev.readLine(line, '\n', 0.3), -1);
    EXPECT_LE(line.size(), 1023u);
}

TEST_F(Channel, UnpluggedAndFailingDriver) {
    unsigned char buffer[8];
    deliver(bridge, "ab");
    sim_fail_next(bridge, "FT_Read", 10);
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 2, 0.5, false), -10);
    EXPECT_EQ(dev.lastError(), "Failed to write device");

    // A failed queue query: read gives up with its status; the others read the room they have
    // (the driver's own read time-out bounds the wait).
    struct QueryCase {
        const char* what;
        std::function<int(unsigned char*)> call;
        int result;
        std::string text;  // what the buffer, or the line, then holds
    };
    std::string line;
    const QueryCase queryCases[] = {
        {"read", [&](unsigned char* b) { return dev.read(b, 8, 3, 0.5, false); }, -4, ""},
        {"readAvailable", [&](unsigned char* b) { return dev.readAvailable(b, 3, 1); }, 3, "abc"},
        {"readUntil", [&](unsigned char* b) { return dev.readUntil(b, 3, ")", 1, 0.5); }, 3, "abc"},
        {"readLine", [&](unsigned char*) { return dev.readLine(line, 'c', 0.5); }, 0, "ab"},
    };
    for (const QueryCase& c : queryCases) {
        SCOPED_TRACE(c.what);
        dev.clearInput();
        deliver(bridge, "abc");
        unsigned char got[8] = {};
        sim_fail_next(bridge, "FT_GetQueueStatus", 4);
        EXPECT_EQ(c.call(got), c.result);
        EXPECT_EQ(dev.lastError(), "USB device disconnected");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(got)) + line, c.text);
    }

    sim_unplug(bridge, 1);
    EXPECT_EQ(dev.availableBytes(), -4);
    EXPECT_EQ(dev.lastError(), "USB device disconnected");
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 2, 0.5, false), -4);
    EXPECT_EQ(dev.readAvailable(buffer, sizeof(buffer), 3), -4);
    EXPECT_EQ(dev.readUntil(buffer, sizeof(buffer), ")", 1, 0.5), -4);
    EXPECT_EQ(dev.readLine(line, '\n', 0.5), -4);
    EXPECT_EQ(dev.write("abc", 3, 0.5), -4);
    EXPECT_EQ(dev.lastError(), "USB device disconnected");
    EXPECT_EQ(dev.clearInput(), 0);
    sim_unplug(bridge, 0);
}

TEST_F(Channel, ReadAvailablePollsAndLimits) {
    unsigned char buffer[16];
    const unsigned queries = calls(bridge, "FT_GetQueueStatus");
    const unsigned reads = calls(bridge, "FT_Read");
    EXPECT_EQ(dev.readAvailable(buffer, sizeof(buffer), 5), 0);
    EXPECT_EQ(calls(bridge, "FT_GetQueueStatus") - queries, 5u);
    EXPECT_EQ(calls(bridge, "FT_Read"), reads);

    deliver(bridge, "0123456789");
    EXPECT_EQ(dev.readAvailable(buffer, 4, 5), 4);
    EXPECT_EQ(std::memcmp(buffer, "0123", 4), 0);
    EXPECT_EQ(dev.readAvailable(buffer, sizeof(buffer), 5), 6);
    EXPECT_EQ(std::memcmp(buffer, "456789", 6), 0);
}

TEST_F(Channel, ReadUntilPatternAcrossChunks) {
    std::vector<unsigned char> buffer(4096, 0);
    const char pattern[] = ")\n\r";
    deliver(bridge, "(1;2)\n");
    deliver(bridge, "\r", 100);
    deliver(bridge, "late", 400);
    EXPECT_EQ(dev.readUntil(buffer.data(), buffer.size(), pattern, 3, 3.0), 7);
    EXPECT_EQ(std::memcmp(buffer.data(), "(1;2)\n\r", 7), 0);
    EXPECT_EQ(sim_pending_input(bridge), 4u);  // stopped at the pattern, not at the deadline

    // A missed deadline is a plain count; lastError stays as it was.
    sim_fail_next(bridge, "FT_SetBitMode", 17);
    dev.setBitMode(true);
    EXPECT_EQ(dev.readUntil(buffer.data(), buffer.size(), pattern, 3, 0.6), 4);
    EXPECT_EQ(dev.lastError(), "Not supported");

    // Pattern length 0: the first read ends it.
    deliver(bridge, "xyz");
    EXPECT_EQ(dev.readUntil(buffer.data(), buffer.size(), nullptr, 0, 1.0), 3);
}

TEST_F(Channel, ReadLinePendingTextAndChunks) {
    std::string line;
    deliver(bridge, "first\nsecond\nthi");
    EXPECT_EQ(dev.readLine(line, '\n', 1.0), 0);
    EXPECT_EQ(line, "first");

    const unsigned queries = calls(bridge, "FT_GetQueueStatus");
    const unsigned reads = calls(bridge, "FT_Read");
    EXPECT_EQ(dev.readLine(line, '\n', 1.0), 0);
    EXPECT_EQ(line, "second");
    EXPECT_EQ(calls(bridge, "FT_GetQueueStatus"), queries);
    EXPECT_EQ(calls(bridge, "FT_Read"), reads);

    // Pending "thi" starts the next line.
    deliver(bridge, "rd\n", 50);
    EXPECT_EQ(dev.readLine(line, '\n', 1.0), 0);
    EXPECT_EQ(line, "third");

    // A chunk ending exactly at the terminator leaves nothing pending.
    deliver(bridge, "abc\n");
    EXPECT_EQ(dev.readLine(line, '\n', 1.0), 0);
    EXPECT_EQ(line, "abc");
    const unsigned readsBefore = calls(bridge, "FT_Read");
    EXPECT_EQ(dev.readLine(line, '\n', 0.1), -1);
    EXPECT_EQ(line, "");
    EXPECT_EQ(calls(bridge, "FT_Read"), readsBefore);

    // A missed deadline returns -1 with what was collected.
    deliver(bridge, "part");
    deliver(bridge, "ial", 30);
    EXPECT_EQ(dev.readLine(line, '\n', 0.3), -1);
    EXPECT_EQ(line, "partial");

    // A zero byte ends the text taken from a chunk.
    deliver(bridge, std::string("ab\0cd\n", 6));
    EXPECT_EQ(dev.readLine(line, '\n', 0.3), -1);
    EXPECT_EQ(line, "ab");
}

TEST_F(Channel, WriteChunksStallAndOverReport) {
    std::vector<unsigned char> data(150000);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 7 + i / 256);
    }
    sim_clear_written(bridge);
    std::vector<size_t> blocks;
    const SimPeer recorder{recordBlock, nullptr, nullptr, &blocks};
    ASSERT_EQ(sim_set_peer(bridge, &recorder), 0);
    const unsigned writes = calls(bridge, "FT_Write");
    EXPECT_EQ(dev.write(data.data(), data.size(), 2.0), 150000);
    EXPECT_EQ(blocks, (std::vector<size_t>{65535, 65535, 18930}));
    sim_set_peer(bridge, nullptr);
    std::vector<unsigned char> written(data.size() + 16);
    ASSERT_EQ(sim_written(bridge, written.data(), written.size()), data.size());
    EXPECT_EQ(std::memcmp(written.data(), data.data(), data.size()), 0);

    // Length 0: one driver write of nothing.
    EXPECT_EQ(dev.write("", 0, 1.0), 0);
    EXPECT_EQ(calls(bridge, "FT_Write") - writes, 4u);

    sim_stall(bridge, 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dev.write("abc", 3, 0.2), -1);
    EXPECT_EQ(dev.lastError(), "Timeout");
    EXPECT_LT(secondsSince(start), 10.0);
    sim_stall(bridge, 0);

    sim_fake_count_next(bridge, "FT_Write", 100);
    EXPECT_EQ(dev.write("0123456789", 10, 1.0), -1);
    EXPECT_EQ(dev.lastError(), "Device disconnected");

    // More than this chunk offered, though not more than the whole transfer: still a lie.
    sim_fake_count_next(bridge, "FT_Write", 70000);
    EXPECT_EQ(dev.write(data.data(), data.size(), 1.0), -1);
    EXPECT_EQ(dev.lastError(), "Device disconnected");

    sim_fail_next(bridge, "FT_Write", 10);
    EXPECT_EQ(dev.write("abc", 3, 1.0), -10);
    EXPECT_EQ(dev.lastError(), "Failed to write device");
}

TEST_F(Channel, ClearInputDiscardsAndIsBoundedOnFlood) {
    deliver(bridge, std::string(2000, 'q'));
    const unsigned reads = calls(bridge, "FT_Read");
    EXPECT_EQ(dev.clearInput(), 0);
    EXPECT_EQ(calls(bridge, "FT_Read") - reads, 2u);
    EXPECT_EQ(sim_pending_input(bridge), 0u);
    EXPECT_EQ(dev.availableBytes(), 0);

    deliver(bridge, "x");
    sim_fail_next(bridge, "FT_Read", 4);
    EXPECT_EQ(dev.clearInput(), -1);

    sim_flood(bridge, 1, 0x55);
    const unsigned floodReads = calls(bridge, "FT_Read");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dev.clearInput(), 0);
    EXPECT_LT(secondsSince(start), 10.0);
    // At most 1 MiB in 1000-byte reads.
    EXPECT_LE(calls(bridge, "FT_Read") - floodReads, 1049u);
    EXPECT_GT(dev.availableBytes(), 0);
    sim_flood(bridge, 0, 0);
}

TEST_F(Channel, TraceFileAndObserver) {
    // A name of its own for each run, so programs running side by side never share the file.
    const std::string path = plat::joinPath(
        plat::executableDirectory(),
        "test_ftdidev_trace_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + ".txt");
    std::remove(path.c_str());
    dev.tracePath = path;
    Observed seen;
    dev.observer = observe;
    dev.observerContext = &seen;

    unsigned char buffer[8];
    EXPECT_EQ(dev.write("A\x01\xff", 3, 1.0), 3);
    deliver(bridge, std::string("\x00\x7f", 2));
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 2, 1.0, false), 2);
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 2, 0.05, false), 0);
    deliver(bridge, "z)");
    EXPECT_EQ(dev.readUntil(buffer, sizeof(buffer), ")", 1, 1.0), 2);
    deliver(bridge, "k");
    EXPECT_EQ(dev.readAvailable(buffer, sizeof(buffer), 3), 1);
    std::string line;
    deliver(bridge, "L\n");
    EXPECT_EQ(dev.readLine(line, '\n', 1.0), 0);  // neither traced nor observed

    const std::string expected = ">41 01 FF \n<00 7F \n<\n<7A 29 \n<6B \n";
    EXPECT_EQ(readFile(path), expected);

    ASSERT_EQ(seen.data.size(), 4u);  // readAvailable is not observed
    EXPECT_EQ(seen.data[0], "A\x01\xff");
    EXPECT_TRUE(seen.sent[0]);
    EXPECT_EQ(seen.data[1], std::string("\x00\x7f", 2));
    EXPECT_FALSE(seen.sent[1]);
    EXPECT_EQ(seen.data[2], "");
    EXPECT_EQ(seen.data[3], "z)");

    // An unopenable trace file is skipped silently.
    dev.tracePath = plat::joinPath(plat::joinPath(path, "no-such-dir"), "trace.txt");
    EXPECT_EQ(dev.write("B", 1, 1.0), 1);
    EXPECT_EQ(readFile(path), expected);
    std::remove(path.c_str());
}
