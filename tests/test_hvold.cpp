// The legacy source against its simulated model: the set texts and status requests on the wire,
// the fixed limits and names, the readings, and the mended range and parsing faults.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HostFramework.h"
#include "HvDevOld.h"
#include "hvdev_support.h"
#include "sim_hvold.h"
#include "simctl.h"

namespace {

using hvtest::writtenText;
using HwHvSrc::HvDevOld;

const char* const kDescription = "HV source AVR";

class HvDevOldTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        bridge = sim_hvold_attach(kDescription, "AVR1");
        ASSERT_GT(bridge, 0);
        framework.reset(new host::Framework(hvtest::logDirectory()));
        device = new HvDevOld(kDescription, framework.get(), hvtest::logDirectory());
    }
    void TearDown() override {
        if (device != nullptr) {
            device->release();
        }
        sim_reset();
    }
    void open() {
        ASSERT_EQ(0, device->initialize());
        sim_clear_written(bridge);
        sim_hvold_clear_commands(bridge);
    }

    int bridge = 0;
    std::unique_ptr<host::Framework> framework;
    HvDevOld* device = nullptr;
};

TEST_F(HvDevOldTest, NamesLimitsAndInitializeSendNothing) {
    // Limits answer without any exchange, before initialize too.
    EXPECT_EQ(0.0, device->minVoltage(0));
    EXPECT_EQ(1000.0, device->maxVoltage(0));
    EXPECT_EQ(-1000.0, device->minVoltage(1));
    EXPECT_EQ(0.0, device->maxVoltage(1));
    EXPECT_EQ(-1000.0, device->minVoltage(7));
    EXPECT_EQ(2, device->sourceCount());
    jd::HwDevInfo info{};
    device->getInfo(&info);
    EXPECT_EQ(1u, info.number);
    EXPECT_STREQ("HV Source", info.name);

    ASSERT_EQ(0, device->initialize());
    EXPECT_EQ(plat::joinPath(hvtest::logDirectory(), "hvsrcold_1.log"), device->logPath());
    EXPECT_TRUE(plat::fileExists(device->logPath()));
    EXPECT_EQ(0u, sim_written(bridge, nullptr, 0));
    SimSettings settings{};
    ASSERT_EQ(0, sim_settings(bridge, &settings));
    EXPECT_EQ(9600u, settings.baud_rate);
    EXPECT_EQ(0, settings.bit_mode);  // the bridge's bit mode is left alone

    // The twelve parameters with the fixed limits.
    host::ParamList* params = static_cast<host::ParamList*>(device->parameters());
    ASSERT_EQ(12u, params->size());
    EXPECT_EQ(2, params->find("SourceCount")->intValue());
    EXPECT_EQ(-1000, params->find("MinVoltage2")->intValue());
    EXPECT_EQ(1000, params->find("MaxVoltage1")->intValue());
    EXPECT_EQ("", params->find("Firmware")->text());
}

TEST_F(HvDevOldTest, SetTextsAndRefusals) {
    open();
    EXPECT_EQ(0, device->setVoltage(0, 250.0));
    EXPECT_EQ("1000a", writtenText(bridge));
    sim_clear_written(bridge);
    EXPECT_EQ(0, device->setVoltage(1, -250.0));
    EXPECT_EQ("1000b", writtenText(bridge));
    sim_clear_written(bridge);
    EXPECT_EQ(0, device->setVoltage(1, 0.0));
    EXPECT_EQ("0b", writtenText(bridge));
    sim_clear_written(bridge);
    EXPECT_EQ(0, device->setVoltage(0, 1000.7));
    EXPECT_EQ("4000a", writtenText(bridge));
    EXPECT_EQ(1000.7, device->getVoltage(0));
    sim_clear_written(bridge);

    EXPECT_EQ(-1005, device->setVoltage(0, -1.0));
    EXPECT_STREQ("Voltage out of range -1", device->lastError());
    EXPECT_EQ(-1005, device->setVoltage(1, 1.0));
    EXPECT_STREQ("Voltage out of range 1", device->lastError());
    // Every index other than 0 drives source 1 and is checked against its limits.
    EXPECT_EQ(-1005, device->setVoltage(2, -5000.0));
    EXPECT_STREQ("Voltage out of range -5000", device->lastError());
    // Not a number, or whole volts beyond 32 bits: refused with the saturated value.
    EXPECT_EQ(-1005, device->setVoltage(0, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_STREQ("Voltage out of range 0", device->lastError());
    EXPECT_EQ(-1005, device->setVoltage(0, 1e12));
    EXPECT_STREQ("Voltage out of range 2147483647", device->lastError());
    EXPECT_EQ(0u, sim_written(bridge, nullptr, 0));

    // The store has two entries; other indices store nothing.
    EXPECT_EQ(0, device->setVoltage(2, -10.0));
    EXPECT_EQ("40b", writtenText(bridge));
    EXPECT_EQ(0.0, device->getVoltage(2));
    // The refused request is still what getVoltage reports: it is stored before the check.
    EXPECT_EQ(1.0, device->getVoltage(1));

    std::vector<std::string> lines = hvtest::logLines(device->logPath());
    EXPECT_EQ(1u, hvtest::countLines(lines, "[ERR]: Voltage out of range -5000"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ((std::vector<std::string>{"[DBG]: Sent", "[DBG]: 40b"}),
              std::vector<std::string>(lines.end() - 2, lines.end()));

    // A set text that does not go out is a failure, never a success; so is one without a
    // channel. The range check still comes first.
    sim_fail_next(bridge, "FT_Write", 4);
    EXPECT_EQ(-4, device->setVoltage(0, 10.0));
    EXPECT_STREQ("Cannot send command: USB device disconnected", device->lastError());
    lines = hvtest::logLines(device->logPath());
    EXPECT_EQ((std::vector<std::string>{"[DBG]: Sent", "[DBG]: 40a",
                                        "[ERR]: Cannot send command: USB device disconnected"}),
              std::vector<std::string>(lines.end() - 3, lines.end()));
    EXPECT_EQ(0, device->deinitialize());
    EXPECT_EQ(-1, device->setVoltage(0, 10.0));
    EXPECT_STREQ("Device not open", device->lastError());
    EXPECT_EQ(-1005, device->setVoltage(0, 1001.0));
}

TEST_F(HvDevOldTest, StatusReadings) {
    open();
    sim_hvold_set_output(bridge, 0, 125.0);
    sim_hvold_set_output(bridge, 1, -895.0);
    sim_hvold_set_noise(bridge, 7);  // 1f47 reads as 1f40
    // The line is read only after a pause of 50 ms, however soon it is there.
    double volts = 0.0;
    EXPECT_GE(hvtest::secondsTaken([&] { volts = device->readVoltage(0); }),
              0.05 - hvtest::kClockSlack);
    EXPECT_EQ(125.0, volts);
    EXPECT_EQ(-895.0, device->readVoltage(1));
    EXPECT_EQ("oo", writtenText(bridge));

    // A literal status line: 1f40 in field 4 is 125 V for source 0, in field 5 -895 V.
    const std::string line = "0\t0\t0\t0\t1f40\t1f40\t0\t0\t0\t0\n";
    sim_hvold_reply_next(bridge, line.data(), line.size());
    EXPECT_EQ(125.0, device->readVoltage(0));
    sim_hvold_reply_next(bridge, line.data(), line.size());
    EXPECT_EQ(-895.0, device->readVoltage(1));
    // In the format a tab stands for any run of white space.
    const std::string spaced = "0 0 0 0 1f40 1f40 0 0 0 0\n";
    sim_hvold_reply_next(bridge, spaced.data(), spaced.size());
    EXPECT_EQ(125.0, device->readVoltage(0));

    // readCurrent makes an exchange and answers 0.0.
    sim_clear_written(bridge);
    EXPECT_EQ(0.0, device->readCurrent(0));
    EXPECT_EQ("o", writtenText(bridge));

    // Short, non-hexadecimal and missing lines read as 0 V, not -1020 V; the exchange is the
    // same.
    sim_clear_written(bridge);
    sim_hvold_fault(bridge, SIM_HVOLD_SHORT_LINE, 0);
    EXPECT_EQ(0.0, device->readVoltage(1));
    sim_hvold_fault(bridge, SIM_HVOLD_NOT_HEX, 0);
    EXPECT_EQ(0.0, device->readVoltage(1));
    sim_hvold_fault(bridge, SIM_HVOLD_NO_ANSWER, 0);
    // No line: the pause, then 2 s for the line.
    EXPECT_GE(hvtest::secondsTaken([&] { volts = device->readVoltage(1); }),
              0.05 + 2.0 - hvtest::kClockSlack);
    EXPECT_EQ(0.0, volts);
    EXPECT_EQ("ooo", writtenText(bridge));
    // The next answer is whole again and nothing of the missing one lingers.
    EXPECT_EQ(-895.0, device->readVoltage(1));

    // Through the parameter list: the sense parameter reads source 1, Voltage1 sends "%da".
    host::ParamList* params = static_cast<host::ParamList*>(device->parameters());
    host::Param* sense = nullptr;
    EXPECT_EQ(0, params->read("VoltageSense2", &sense));
    ASSERT_NE(nullptr, sense);
    EXPECT_EQ(-895, sense->intValue());
    sim_clear_written(bridge);
    EXPECT_EQ(0, params->write("Voltage1", 100));
    EXPECT_EQ("400a", writtenText(bridge));
    EXPECT_EQ(0.0, device->getVoltage(0));
}

TEST_F(HvDevOldTest, LateStatusLineIsNotTakenForTheNextAnswer) {
    open();
    // Field 4 holds 64 per volt.
    const auto statusLine = [](int volts) {
        char text[64];
        std::snprintf(text, sizeof(text), "0\t0\t0\t0\t%x\t0\t0\t0\t0\t0\n", volts * 64);
        return std::string(text);
    };
    const auto answer = [this](const std::string& reply, unsigned delayMs) {
        ASSERT_EQ(0, sim_script_expect(bridge, "o", 1, reply.data(), reply.size(), 0, delayMs, 0));
    };
    // The first answer comes 2.5 s after its request, when the read has given up.
    answer(statusLine(100), 2500);
    EXPECT_EQ(0.0, device->readVoltage(0));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    // Two lines in one answer: the second is no answer to the request after it either.
    answer(statusLine(200) + statusLine(300), 0);
    EXPECT_EQ(200.0, device->readVoltage(0));
    answer(statusLine(400), 0);
    EXPECT_EQ(400.0, device->readVoltage(0));
    EXPECT_EQ(0, sim_script_pending(bridge));
    EXPECT_EQ(0, sim_script_mismatches(bridge));

    // Each request and each line taken is in the device log; the late line never was taken.
    const std::vector<std::string> lines = hvtest::logLines(device->logPath());
    EXPECT_EQ(3u, hvtest::countLines(lines, "[DBG]: Sent"));
    EXPECT_EQ(3u, hvtest::countLines(lines, "[DBG]: o"));
    EXPECT_EQ(2u, hvtest::countLines(lines, "[DBG]: Received"));
    ASSERT_GE(lines.size(), 4u);
    const std::string last = statusLine(400);
    EXPECT_EQ((std::vector<std::string>{"[DBG]: Sent", "[DBG]: o", "[DBG]: Received",
                                        "[DBG]: " + last.substr(0, last.size() - 1)}),
              std::vector<std::string>(lines.end() - 4, lines.end()));
}

TEST(HvDevOldProtocol, StatusLineParsing) {
    int32_t fields[10] = {0};
    EXPECT_TRUE(HvDevOld::parseStatusLine("1\t2\t3\t4\t1f47\tffffffff\t7\t8\t9\ta", fields));
    EXPECT_EQ(0x1f47, fields[4]);
    EXPECT_EQ(-1, fields[5]);
    EXPECT_EQ(125, HvDevOld::fieldVolts(0, fields[4]));
    EXPECT_EQ(-1020, HvDevOld::fieldVolts(1, 0));
    EXPECT_FALSE(HvDevOld::parseStatusLine("1\t2\t3\t4\t5", fields));
    EXPECT_FALSE(HvDevOld::parseStatusLine("", fields));
    EXPECT_FALSE(HvDevOld::parseStatusLine("x\t2\t3\t4\t5\t6\t7\t8\t9\t10", fields));
    EXPECT_FALSE(HvDevOld::parseStatusLine("1\t2\t3\t4\t5\t\t\t\t\t", fields));
    // White space of any kind and length between the fields, signs and 0x prefixes.
    EXPECT_TRUE(HvDevOld::parseStatusLine(" 1\t\t2 3\r\n4\t0x1f40 +1F40\t7 8 9 -1", fields));
    EXPECT_EQ(0x1f40, fields[4]);
    EXPECT_EQ(0x1f40, fields[5]);
    EXPECT_EQ(-1, fields[9]);
    EXPECT_EQ("4000a", HvDevOld::setText(0, 1000));
    EXPECT_EQ("4000b", HvDevOld::setText(1, -1000));
}

}  // namespace
