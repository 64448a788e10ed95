// The FTDI device channel against the stand-in driver: driver calls, reading rules, deadlines,
// chunked writes, lying driver counts, listing and the trace file (the device results of failing,
// unplugged and stalled bridges are the fault suite's).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "FtdiDev.h"
#include "platform.h"
#include "simctl.h"
#include "test_files.h"

namespace {

const char* const kDescription = "Tessaro HV Source";
const char* const kSerial = "TS0001";

// The line settings the channel leaves on a bridge, in one comparable line.
std::string settingsText(int bridge) {
    SimSettings s{};
    EXPECT_EQ(sim_settings(bridge, &s), 0);
    char text[200];
    std::snprintf(text, sizeof(text),
                  "open %d purges %u/%u timeouts %u/%u latency %u usb %u/%u baud %u %u%u%u "
                  "flow %x bits %x/%x",
                  s.open, s.purge_count, s.last_purge_mask, s.read_timeout_ms, s.write_timeout_ms,
                  s.latency_ms, s.usb_in_size, s.usb_out_size, s.baud_rate, s.word_length,
                  s.stop_bits, s.parity, s.flow_control, s.bit_mask, s.bit_mode);
    return text;
}

void deliver(int bridge, const std::string& bytes, unsigned delayMs = 0) {
    sim_deliver(bridge, bytes.data(), bytes.size(), delayMs);
}

// A peer that records the length of every block written.
void recordBlock(void* context, int, const uint8_t*, size_t length) {
    static_cast<std::vector<size_t>*>(context)->push_back(length);
}

// One attached bridge and an open channel on it.
class Channel : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        bridge = sim_attach(kDescription, kSerial);
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

}  // namespace

TEST_F(Channel, OpenExactDriverCallsAndValues) {
    FtdiDev never("Nothing attached", false);
    EXPECT_EQ(never.open(false), 2);
    EXPECT_EQ(never.lastError(), "Device not found");
    // Status texts inside the table are pinned where the driver fails; the last and past it:
    EXPECT_STREQ(ftStatusText(18), "Other Error");
    EXPECT_STREQ(ftStatusText(19), "Unknown status");
    EXPECT_STREQ(ftStatusText(0xFFFFFFFFu), "Unknown status");

    // Purged both ways, 500 ms time-outs, 2 ms latency, 64 KiB transfers; no flow control.
    EXPECT_TRUE(dev.isOpen());
    EXPECT_EQ(
        "open 1 purges 1/3 timeouts 500/500 latency 2 usb 65536/65536 baud 115200 800 flow 0 "
        "bits 0/0",
        settingsText(bridge));
    // The bridge is taken: a second channel fails with the driver's status.
    FtdiDev second(kSerial, true);
    EXPECT_EQ(second.open(false), 3);
    EXPECT_EQ(second.lastError(), "Device not opened");
    // The line: 8N1 at the rate; bit mode 0x40 on, 0x01 off, with every bit in the mask.
    EXPECT_EQ(dev.setBaudRate(9600), 0);
    EXPECT_EQ(dev.setBitMode(true), 0);
    const auto line = [this] { return settingsText(bridge).substr(61); };  // from "baud"
    EXPECT_EQ("baud 9600 800 flow 0 bits ff/40", line());
    EXPECT_EQ(dev.setBitMode(false), 0);
    EXPECT_EQ("baud 9600 800 flow 0 bits ff/1", line());
    sim_fail_next(bridge, "FT_SetBitMode", 16);
    EXPECT_EQ(dev.setBitMode(true), 16);
    EXPECT_EQ(dev.lastError(), "Invalid Args");
    EXPECT_EQ(dev.setBitMode(true), 0);
    EXPECT_EQ(dev.lastError(), "");
    // Closed once: a second close does not reach the driver.
    EXPECT_EQ(dev.close(), 0);
    EXPECT_EQ(dev.close(), 0);
    EXPECT_EQ(sim_call_count(bridge, "FT_Close"), 1u);
    {
        FtdiDev forgotten(kDescription, false);  // destroyed while open, it frees the bridge
        ASSERT_EQ(forgotten.open(false), 0);
    }
    EXPECT_EQ("open 0", settingsText(bridge).substr(0, 6));

    // By serial number, now that the bridge is free.
    EXPECT_EQ(second.open(false), 0);
}

TEST(FtdiList, FiltersChannelBSerialsAndLimits) {
    sim_reset();
    for (const char* name : {"Dual RS232 A", "Dual RS232 B", "B", "Tessaro HV Source",
                             "HV source AVR", "BiasModule B"}) {
        sim_attach(name, (std::string("S") + name[0]).c_str());
    }
    const char* const filters[] = {"Tessaro HV Source", "HV source AVR", "BiasModule"};
    struct Case {
        int filterCount;
        bool skipChannelB, withSerial;
        const char* listed;
        unsigned listings;  // driver calls: one for the descriptions, one per serial
    };
    const Case cases[] = {
        {3, true, false, "Tessaro HV Source|;HV source AVR|;", 1},  // as the library lists
        {0, true, true, "Dual RS232 A|SD;B|SB;Tessaro HV Source|ST;HV source AVR|SH;", 5},
        {1, false, true, "Tessaro HV Source|ST;", 2},
    };
    for (const Case& c : cases) {
        std::vector<FtdiDevInfo> list(1, FtdiDevInfo{"earlier", "E"});  // appended to
        const unsigned before = sim_call_count(0, "FT_ListDevices");
        EXPECT_EQ(FtdiDev::listDevices(filters, c.filterCount, list, c.skipChannelB, c.withSerial),
                  0);
        std::string all;
        for (const FtdiDevInfo& info : list) {
            all += info.description + "|" + info.serial + ";";
        }
        EXPECT_EQ("earlier|E;" + std::string(c.listed), all);
        EXPECT_EQ(sim_call_count(0, "FT_ListDevices") - before, c.listings) << c.listed;
    }
    // More bridges than the 50 slots: the first 50; a description without its zero is cut at
    // 64 characters.
    sim_reset();
    sim_unterminated_description(sim_attach(std::string(64, 'L').c_str(), "LONG"), 1);
    sim_unterminated_description(sim_attach("Short", "SHORT"), 1);
    for (int i = 2; i < 61; ++i) {
        sim_attach(("Bridge " + std::to_string(i)).c_str(), "");
    }
    std::vector<FtdiDevInfo> list;
    FtdiDev::listDevices(nullptr, 0, list, false, false);
    ASSERT_EQ(list.size(), 50u);
    EXPECT_EQ(list[0].description, std::string(64, 'L'));
    EXPECT_EQ(list[1].description, "Short" + std::string(59, ' '));
    EXPECT_EQ(list[49].description, "Bridge 49");
    sim_reset();
}

TEST_F(Channel, ReadCountsGuardsAndTimeouts) {
    struct Case {
        const char* arriving;
        size_t size, count;
        std::string buffer;  // its first bytes afterwards (0xEE: untouched)
    };
    const Case cases[] = {
        {"ABCDEFGH12345678", 16, 4, {"ABCD\0\xEE", 6}},  // room left: a zero byte after the data
        {"", 4, 4, "EFGH\xEE"},           // count equal to the buffer size: nothing written past it
        {"", 3, 100, "123\xEE"},          // count larger than the buffer: the buffer size wins
        {"", 16, 0, {"45678\0\xEE", 7}},  // count 0: the bytes waiting
        {"abcdefghij", 6, 0, "abcdef\xEE"},  // more waiting than the buffer holds: a buffer full
    };
    unsigned char buffer[24];
    for (const Case& c : cases) {
        deliver(bridge, c.arriving);
        std::memset(buffer, 0xEE, sizeof(buffer));
        const int data = static_cast<int>(c.buffer.find_first_of(std::string("\0\xEE", 2)));
        EXPECT_EQ(dev.read(buffer, c.size, c.count, 1.0, false), data) << c.buffer;
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), c.buffer.size()), c.buffer);
    }
    EXPECT_EQ(sim_pending_input(bridge), 4u);  // the rest stays
    EXPECT_EQ(dev.read(buffer, 16, 0, 1.0, true), 4);
    // Nothing waits: no read; a time-out leaves a terminated empty buffer.
    const unsigned reads = sim_call_count(bridge, "FT_Read");
    EXPECT_EQ(dev.read(buffer, 16, 0, 1.0, false), 0);
    std::memset(buffer, 0xEE, 16);
    EXPECT_EQ(dev.read(buffer, 16, 4, 0.1, false), 0);
    EXPECT_EQ(dev.lastError(), "Timeout");
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 0xEE);
    // No time at all: no driver call.
    deliver(bridge, "abcd");
    const unsigned queries = sim_call_count(bridge, "FT_GetQueueStatus");
    EXPECT_EQ(dev.read(buffer, 16, 4, 0.0, false), 0);
    EXPECT_EQ(dev.read(buffer, 16, 4, -1.0, true), 0);
    EXPECT_EQ(dev.readUntil(buffer, 16, "d", 1, 0.0), 0);
    std::string line;
    EXPECT_EQ(dev.readLine(line, '\n', 0.0), -1);
    EXPECT_EQ(sim_call_count(bridge, "FT_GetQueueStatus"), queries);
    EXPECT_EQ(sim_call_count(bridge, "FT_Read"), reads);
    EXPECT_EQ(sim_pending_input(bridge), 4u);
}

// Bytes that keep coming extend a read's deadline: one byte every 250 ms against 0.6 s.
TEST_F(Channel, TrickleExtendsTheDeadline) {
    for (unsigned i = 0; i < 4; ++i) {
        deliver(bridge, std::string(1, static_cast<char>('a' + i)), 250 * i);
    }
    unsigned char buffer[8];
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 4, 0.6, false), 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 4), "abcd");
}

TEST_F(Channel, DriverCountsNeverOverrunBuffers) {
    unsigned char buffer[12];
    std::memset(buffer, 0xEE, sizeof(buffer));
    deliver(bridge, "wxyz");
    sim_fake_count_next(bridge, "FT_Read", 1000);
    EXPECT_EQ(dev.read(buffer, 4, 4, 1.0, false), 4);
    EXPECT_EQ(buffer[4], 0xEE);
    // A queue length far beyond what is there and what fits.
    deliver(bridge, "abc");
    sim_fake_count_next(bridge, "FT_GetQueueStatus", 100000);
    EXPECT_EQ(dev.readAvailable(buffer, 4, 1), 3);
    EXPECT_EQ(buffer[4], 0xEE);
    deliver(bridge, "0123456789");
    sim_fake_count_next(bridge, "FT_Read", 50);
    EXPECT_EQ(dev.readUntil(buffer, 4, ")", 1, 0.3), 4);
    EXPECT_EQ(buffer[4], 0xEE);
    sim_fake_count_next(bridge, "FT_Read", 5000);
    std::string line;
    EXPECT_EQ(dev.readLine(line, '\n', 0.3), -1);
    EXPECT_LE(line.size(), 1023u);
}

TEST_F(Channel, FailedQueueQuery) {
    // A failed queue query: read gives up with its status; the others read the room they have
    // (the driver's own read time-out bounds the wait).
    struct QueryCase {
        std::function<int(unsigned char*)> call;
        int result;
        std::string text;  // what the buffer, or the line, then holds
    };
    std::string line;
    const QueryCase queryCases[] = {
        {[&](unsigned char* b) { return dev.read(b, 8, 3, 0.5, false); }, -4, ""},
        {[&](unsigned char* b) { return dev.readAvailable(b, 3, 1); }, 3, "abc"},
        {[&](unsigned char* b) { return dev.readUntil(b, 3, ")", 1, 0.5); }, 3, "abc"},
        {[&](unsigned char*) { return dev.readLine(line, 'c', 0.5); }, 0, "ab"},
    };
    for (const QueryCase& c : queryCases) {
        dev.clearInput();
        deliver(bridge, "abc");
        unsigned char got[8] = {};
        sim_fail_next(bridge, "FT_GetQueueStatus", 4);
        EXPECT_EQ(c.call(got), c.result) << c.text;
        EXPECT_EQ(dev.lastError(), "USB device disconnected");
        EXPECT_EQ(std::string(reinterpret_cast<char*>(got)) + line, c.text);
    }
    // A status beyond the range of int is a failure all the same.
    for (const uint32_t status : {0x80000000u, 0xFFFFFFFFu}) {
        sim_fail_next(bridge, "FT_GetQueueStatus", status);
        EXPECT_LT(dev.availableBytes(), 0) << status;
    }
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
    // Text left over from a chunk is taken first, without a driver call.
    const unsigned queries = sim_call_count(bridge, "FT_GetQueueStatus");
    EXPECT_EQ(dev.readLine(line, '\n', 1.0), 0);
    EXPECT_EQ(line, "second");
    EXPECT_EQ(sim_call_count(bridge, "FT_GetQueueStatus"), queries);
    // Pending "thi" starts the next line; a chunk that starts with the terminator ends it and
    // keeps the rest.
    deliver(bridge, "rd", 30);
    deliver(bridge, "\nfourth\n", 60);
    EXPECT_EQ(dev.readLine(line, '\n', 1.0), 0);
    EXPECT_EQ(line, "third");
    EXPECT_EQ(dev.readLine(line, '\n', 0.1), 0);
    EXPECT_EQ(line, "fourth");
    // A chunk ending exactly at the terminator leaves nothing pending.
    EXPECT_EQ(dev.readLine(line, '\n', 0.1), -1);
    EXPECT_EQ(line, "");
    // A missed deadline returns -1 with what was collected; a long line comes in chunks.
    deliver(bridge, "part");
    deliver(bridge, "ial", 30);
    EXPECT_EQ(dev.readLine(line, '\n', 0.3), -1);
    EXPECT_EQ(line, "partial");
    deliver(bridge, std::string(2500, 'x') + "\n");
    EXPECT_EQ(dev.readLine(line, '\n', 1.0), 0);
    EXPECT_EQ(line, std::string(2500, 'x'));
    // A zero byte ends the text taken from a chunk.
    deliver(bridge, std::string("ab\0cd\n", 6));
    EXPECT_EQ(dev.readLine(line, '\n', 0.3), -1);
    EXPECT_EQ(line, "ab");
}

TEST_F(Channel, WriteChunksAndOverReport) {
    std::vector<unsigned char> data(150000);
    std::iota(data.begin(), data.end(), 0);
    std::vector<size_t> blocks;
    const SimPeer recorder{recordBlock, nullptr, nullptr, &blocks};
    ASSERT_EQ(sim_set_peer(bridge, &recorder), 0);
    EXPECT_EQ(dev.write(data.data(), data.size(), 2.0), 150000);
    EXPECT_EQ(blocks, (std::vector<size_t>{65535, 65535, 18930}));
    EXPECT_EQ(dev.write("", 0, 1.0), 0);  // length 0: one driver write of nothing
    EXPECT_EQ(sim_call_count(bridge, "FT_Write"), 4u);
    std::vector<unsigned char> written(data.size() + 16);
    ASSERT_EQ(sim_written(bridge, written.data(), written.size()), data.size());
    EXPECT_EQ(std::memcmp(written.data(), data.data(), data.size()), 0);
    // A driver claiming more than this chunk was offered, though not more than the whole
    // transfer, has lost track of the device.
    sim_fake_count_next(bridge, "FT_Write", 70000);
    EXPECT_EQ(dev.write(data.data(), data.size(), 1.0), -1);
    EXPECT_EQ(dev.lastError(), "Device disconnected");
}

TEST_F(Channel, ClearInputDiscardsAndIsBoundedOnFlood) {
    deliver(bridge, std::string(2000, 'q'));
    const unsigned reads = sim_call_count(bridge, "FT_Read");
    EXPECT_EQ(dev.clearInput(), 0);
    EXPECT_EQ(sim_call_count(bridge, "FT_Read") - reads, 2u);
    EXPECT_EQ(dev.availableBytes(), 0);
    deliver(bridge, "x");
    sim_fail_next(bridge, "FT_Read", 4);
    EXPECT_EQ(dev.clearInput(), -1);
    sim_flood(bridge, 1, 0x55);  // a babbling line: at most 1 MiB in 1000-byte reads
    const unsigned floodReads = sim_call_count(bridge, "FT_Read");
    EXPECT_EQ(dev.clearInput(), 0);
    EXPECT_LE(sim_call_count(bridge, "FT_Read") - floodReads, 1049u);
    sim_flood(bridge, 0, 0);
}

TEST_F(Channel, TraceFile) {
    const std::string path = plat::joinPath(plat::executableDirectory(), "test_ftdidev_trace.txt");
    std::remove(path.c_str());
    dev.tracePath = path;

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
    EXPECT_EQ(dev.readLine(line, '\n', 1.0), 0);  // not traced
    const std::string expected = ">41 01 FF \n<00 7F \n<\n<7A 29 \n<6B \n";
    EXPECT_EQ(hvtest::readFile(path), expected);
    // An unopenable trace file is skipped silently.
    dev.tracePath = plat::joinPath(plat::joinPath(path, "no-such-dir"), "trace.txt");
    EXPECT_EQ(dev.write("B", 1, 1.0), 1);
    EXPECT_EQ(hvtest::readFile(path), expected);
    std::remove(path.c_str());
}
