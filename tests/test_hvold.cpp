// The legacy source against its simulated model: set texts and status requests on the wire and in
// the log, the fixed limits, the readings, and the mended range, sending and parsing faults.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <thread>
#include <tuple>

#include "HvDevOld.h"
#include "hvdev_support.h"
#include "refhost/HostFramework.h"
#include "sim_hvold.h"

namespace {

using hvtest::writtenText;
using HwHvSrc::HvDevOld;
using Lines = std::vector<std::string>;

class HvDevOldTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        bridge = sim_hvold_attach("HV source AVR", "AVR1");
        device.reset(new HvDevOld("HV source AVR", &framework, hvtest::logDirectory()));
    }
    void TearDown() override {
        device.reset();
        sim_reset();
    }
    void open() {
        ASSERT_EQ(0, device->initialize());
        sim_clear_written(bridge);
    }
    Lines lastLog(size_t n) {
        const Lines all = hvtest::logLines(device->logPath());
        return Lines(all.end() - static_cast<long>(std::min(n, all.size())), all.end());
    }

    host::Framework framework{hvtest::logDirectory()};
    int bridge = 0;
    hvtest::DevPtr<HvDevOld> device;
};

TEST_F(HvDevOldTest, FixedLimitsAndInitializeSendsNothing) {
    // Limits answer without any exchange, before initialize too.
    EXPECT_EQ(
        (std::vector<double>{device->minVoltage(0), device->maxVoltage(0), device->minVoltage(1),
                             device->maxVoltage(1), device->minVoltage(7)}),
        (std::vector<double>{0, 1000, -1000, 0, -1000}));
    ASSERT_EQ(0, device->initialize());
    EXPECT_EQ(0u, sim_written(bridge, nullptr, 0));
    SimSettings settings{};
    ASSERT_EQ(0, sim_settings(bridge, &settings));
    EXPECT_EQ(9600u, settings.baud_rate);
    EXPECT_EQ(0, settings.bit_mode);  // the bridge's bit mode is left alone
    std::vector<int32_t> registered;
    for (const char* name :
         {"SourceCount", "MinVoltage1", "MinVoltage2", "MaxVoltage1", "MaxVoltage2"}) {
        registered.push_back(
            static_cast<host::ParamList*>(device->parameters())->find(name)->intValue());
    }
    EXPECT_EQ(registered, (std::vector<int32_t>{2, 0, -1000, 1000, 0}));
}

TEST_F(HvDevOldTest, SetTextsAndRefusals) {
    open();
    // Quarter volts, "a" for source 0 and "b" (negated) for every other index; the store has two
    // entries, so index 2 stores nothing.
    const std::tuple<uint32_t, double, const char*, double> sets[] = {{0, 250.0, "1000a", 250.0},
                                                                      {1, -250.0, "1000b", -250.0},
                                                                      {1, 0.0, "0b", 0.0},
                                                                      {0, 1000.7, "4000a", 1000.7},
                                                                      {2, -10.0, "40b", 0.0}};
    for (const auto& [index, volts, text, kept] : sets) {
        SCOPED_TRACE(text);
        sim_clear_written(bridge);
        EXPECT_EQ(0, device->setVoltage(index, volts));
        EXPECT_EQ(text, writtenText(bridge));
        EXPECT_EQ(kept, device->getVoltage(index));
        EXPECT_EQ((Lines{"[DBG]: Sent", std::string("[DBG]: ") + text}), lastLog(2));
    }

    // Every index other than 0 is checked against source 1's limits. Not a number, or whole
    // volts beyond 32 bits: refused with the saturated value.
    sim_clear_written(bridge);
    const std::tuple<uint32_t, double, const char*> refusals[] = {
        {0, -1.0, "Voltage out of range -1"},
        {1, 1.0, "Voltage out of range 1"},
        {2, -5000.0, "Voltage out of range -5000"},
        {0, std::nan(""), "Voltage out of range 0"},
        {0, 1e12, "Voltage out of range 2147483647"}};
    for (const auto& [index, volts, message] : refusals) {
        SCOPED_TRACE(message);
        EXPECT_EQ(-1005, device->setVoltage(index, volts));
        EXPECT_STREQ(message, device->lastError());
        EXPECT_EQ(Lines{std::string("[ERR]: ") + message}, lastLog(1));
    }
    EXPECT_EQ(0u, sim_written(bridge, nullptr, 0));
    // The refused request is still what getVoltage reports: it is stored before the check.
    EXPECT_EQ(1.0, device->getVoltage(1));

    // A set text that does not go out is a failure, never a success; so is one without a
    // channel. The range check still comes first.
    sim_fail_next(bridge, "FT_Write", 4);
    EXPECT_EQ(-4, device->setVoltage(0, 10.0));
    EXPECT_STREQ(
        "Setting source 0 failed (failure 1): Cannot send command: 40a (USB device disconnected)",
        device->lastError());
    EXPECT_EQ((Lines{"[DBG]: Sent", "[DBG]: 40a",
                     "[ERR]: Cannot send command: 40a (USB device disconnected)"}),
              lastLog(3));
    // Closed: recorded, not logged.
    EXPECT_EQ(0, device->deinitialize());
    EXPECT_EQ(-1, device->setVoltage(1, -10.0));
    EXPECT_STREQ("Setting source 1 failed (failure 2): Device not open", device->lastError());
    EXPECT_EQ(0.0, device->readVoltage(0));
    EXPECT_STREQ("Reading source 0 failed (failure 3): Device not open", device->lastError());
    EXPECT_EQ((Lines{"[DBG]: Sent", "[DBG]: 40a",
                     "[ERR]: Cannot send command: 40a (USB device disconnected)"}),
              lastLog(3));
    EXPECT_EQ(-1005, device->setVoltage(0, 1001.0));
}

TEST_F(HvDevOldTest, StatusReadings) {
    open();
    // Field 4 is source 0, field 5 source 1 less 1020 V, both in eighths of a volt above their
    // three free low bits. The line is read only after a pause of 50 ms, however soon it is there.
    const std::string line = "0\t0\t0\t0\t1f47\t1f40\t0\t0\t0\t0\n";
    double volts = 0.0;
    sim_hvold_reply_next(bridge, line.data(), line.size());
    EXPECT_GE(hvtest::secondsTaken([&] { volts = device->readVoltage(0); }),
              0.05 - hvtest::kClockSlack);
    EXPECT_EQ(125.0, volts);
    sim_hvold_reply_next(bridge, line.data(), line.size());
    EXPECT_EQ(-895.0, device->readVoltage(1));
    EXPECT_EQ("oo", writtenText(bridge));
    EXPECT_EQ((Lines{"[DBG]: Sent", "[DBG]: o", "[DBG]: Received",
                     "[DBG]: " + line.substr(0, line.size() - 1)}),
              lastLog(4));
    // readCurrent makes an exchange and answers 0.0.
    sim_hvold_reply_next(bridge, line.data(), line.size());
    EXPECT_EQ(0.0, device->readCurrent(0));
    EXPECT_EQ("ooo", writtenText(bridge));

    // Short, non-hexadecimal and missing lines read as 0 V, not -1020 V, each failure recorded
    // for the host with its own text and only the driver's logged; no line costs the pause and
    // 2 s.
    const std::string bad = "Cannot read status: not ten hexadecimal fields";
    const std::tuple<int, std::string, Lines> failures[] = {
        {SIM_HVOLD_SHORT_LINE, "Reading source 1 failed (failure 1): " + bad, {}},
        {SIM_HVOLD_NOT_HEX, "Reading source 1 failed (failure 2): " + bad, {}},
        {SIM_HVOLD_NO_ANSWER,
         "Reading source 1 failed (failure 3): Cannot read status: Timeout",
         {}},
        {-1,
         "Reading source 1 failed (failure 4): Cannot send command: o (USB device disconnected)",
         {"[ERR]: Cannot send command: o (USB device disconnected)"}}};
    for (const auto& [fault, reason, errors] : failures) {
        SCOPED_TRACE(reason);
        if (fault < 0) {
            sim_unplug(bridge, 1);
        } else {
            sim_hvold_fault(bridge, fault, 0);
        }
        const size_t before = hvtest::logLines(device->logPath()).size();
        EXPECT_GE(hvtest::secondsTaken([&] { volts = device->readVoltage(1); }),
                  fault == SIM_HVOLD_NO_ANSWER ? 0.05 + 2.0 - hvtest::kClockSlack : 0.0);
        EXPECT_EQ(0.0, volts);
        EXPECT_EQ(reason, device->lastError());
        Lines entries = hvtest::logLines(device->logPath());
        entries.erase(std::remove_if(entries.begin() + static_cast<long>(before), entries.end(),
                                     [](const std::string& e) { return e.rfind("[ERR]", 0); }),
                      entries.end());
        EXPECT_EQ(errors, Lines(entries.begin() + static_cast<long>(before), entries.end()));
    }
}

TEST_F(HvDevOldTest, LateStatusLineIsNotTakenForTheNextAnswer) {
    open();
    // Field 4 holds 64 per volt.
    const auto answer = [this](std::vector<int> volts, unsigned delayMs) {
        std::string reply;
        for (const int v : volts) {
            char text[64];
            std::snprintf(text, sizeof(text), "0\t0\t0\t0\t%x\t0\t0\t0\t0\t0\n", v * 64);
            reply += text;
        }
        ASSERT_EQ(0, sim_script_expect(bridge, "o", 1, reply.data(), reply.size(), 0, delayMs, 0));
    };
    // The first answer comes 2.5 s after its request, when the read has given up.
    answer({100}, 2500);
    EXPECT_EQ(0.0, device->readVoltage(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    // Two lines in one answer: the second is no answer to the request after it either.
    answer({200, 300}, 0);
    EXPECT_EQ(200.0, device->readVoltage(0));
    answer({400}, 0);
    EXPECT_EQ(400.0, device->readVoltage(0));
    EXPECT_EQ(0, sim_script_pending(bridge) + sim_script_mismatches(bridge));
    // The late line was never taken: two lines received for three requests.
    EXPECT_EQ(2u, hvtest::countLines(hvtest::logLines(device->logPath()), "[DBG]: Received"));
}

// Ten hexadecimal fields, each with an optional sign and 0x prefix, separated by any run of white
// space; anything less is no line.
TEST(HvDevOldProtocol, StatusLineParsing) {
    const std::tuple<const char*, bool, std::vector<int32_t>> cases[] = {
        {"1\t2\t3\t4\t1f47\tffffffff\t7\t8\t9\ta", true, {0x1f47, -1, 10}},
        {" 1\t\t2 3\r\n4\t0x1f40 +1F40\t7 8 9 -1", true, {0x1f40, 0x1f40, -1}},
        {"0 0 0 0 1f40 1f40 0 0 0 0", true, {0x1f40, 0x1f40, 0}},
        {"1\t2\t3\t4\t5", false, {0, 0, 0}},
        {"", false, {0, 0, 0}},
        {"x\t2\t3\t4\t5\t6\t7\t8\t9\t10", false, {0, 0, 0}},
        {"1\t2\t3\t4\t5\t\t\t\t\t", false, {0, 0, 0}},
        // Beyond 32 bits a field is refused; leading zeros are no part of its value.
        {"0 0 0 0 100000000 0 0 0 0 0", false, {0, 0, 0}},
        {"0 0 0 0 0 -fffffffff 0 0 0 0", false, {0, 0, 0}},
        {"0 0 0 0 0x00000001f40 -ffffffff 0 0 0 0xFFFFFFFF", true, {0x1f40, 1, -1}}};
    for (const auto& [line, parsed, expected] : cases) {
        SCOPED_TRACE(line);
        int32_t fields[10] = {0};
        EXPECT_EQ(parsed, HvDevOld::parseStatusLine(line, fields));
        EXPECT_EQ(expected, (std::vector<int32_t>{fields[4], fields[5], fields[9]}));
    }
}

}  // namespace
