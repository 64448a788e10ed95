// The current HV source device against its simulated counterpart: start-up, voltage setting and
// its range check, readings, failed or missing answers, the closed state.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>
#include <utility>

#include "HvDev.h"
#include "hvdev_support.h"
#include "sim_hvsrc.h"

using hvtest::Bytes;
using hvtest::countLines;
using hvtest::written;
using HwHvSrc::HvDev;
using Lines = std::vector<std::string>;

namespace {

const char* const kDescription = "Tessaro HV Source: 7";

// The bytes initialize sends: two tests, firmware, count, both ranges.
const Bytes kStartUp = {0x55, 0x01, 0x55, 0x01, 0x55, 0x02, 0x55,
                        0x03, 0x55, 0x04, 0x00, 0x55, 0x04, 0x01};

class HvDevTest : public hvtest::DeviceTest<HvDev> {
protected:
    // Attaches a model set up by `prepare`, initializes a device and forgets the start-up traffic.
    void start(const std::function<void(int)>& prepare = [](int) {}) {
        make(kDescription, sim_hvsrc_attach(kDescription, "HV0007"));
        prepare(bridge);
        ASSERT_EQ(dev->initialize(), 0);
        sim_clear_written(bridge);
    }
    int32_t param(const char* name) {
        return static_cast<host::ParamList*>(dev->parameters())->find(name)->intValue();
    }
    std::vector<double> limits() {
        return {dev->minVoltage(0), dev->maxVoltage(0), dev->minVoltage(1), dev->maxVoltage(1)};
    }
};

TEST_F(HvDevTest, StartUpAsksForEverythingAndLearnsIt) {
    start([](int b) {
        sim_hvsrc_set_range(b, 0, 500, -500);  // reported swapped
        sim_hvsrc_set_range(b, 1, -100, 1200);
        sim_hvsrc_set_count(b, 2);
    });
    // Starting again with the channel open: the same traffic on a fresh log.
    EXPECT_EQ(dev->initialize(), 0);
    EXPECT_EQ(written(bridge), kStartUp);
    // 115200 baud, 8N1; the bridge's bit mode is left alone.
    EXPECT_EQ("baud 115200 800 flow 0 bits 0/0", hvtest::settingsText(bridge).substr(61));
    EXPECT_EQ(dev->firmware(), "HVS-2.1.0");
    EXPECT_EQ(dev->sourceCount(), 2);
    EXPECT_EQ(limits(), (std::vector<double>{-500, 500, -100, 1200}));
    EXPECT_EQ(dev->maxVoltage(5), 1200.0);
    EXPECT_EQ(countLines(log(), "[MSG]: Firmware is: HVS-2.1.0"), 1u);
    EXPECT_EQ(param("MinVoltage2"), -100);
}

TEST_F(HvDevTest, SetVoltageTruncatesChecksAndSends) {
    start([](int b) {
        sim_hvsrc_set_count(b, 3);
        sim_hvsrc_set_range(b, 0, -2000, 2000);
        sim_hvsrc_set_range(b, 1, -1000, 0);
    });
    // Whole volts truncated toward zero, big-endian 16 bits after the index's low byte, whose
    // limits apply (256 is source 0, 257 source 1); index 2 goes without limits, but never beyond
    // the 16 signed bits of the frame; a source the device does not have answers with its status.
    const std::tuple<uint32_t, double, int, Bytes> cases[] = {
        // frame empty: nothing sent
        // clang-format off
        {0, 99.9, 0, {0x55, 0x05, 0x00, 0x00, 0x63}},
        {0, -0.5, 0, {0x55, 0x05, 0x00, 0x00, 0x00}},
        {0, -200.7, 0, {0x55, 0x05, 0x00, 0xFF, 0x38}},
        {0, 2000.0, 0, {0x55, 0x05, 0x00, 0x07, 0xD0}},
        {0, -2000.0, 0, {0x55, 0x05, 0x00, 0xF8, 0x30}},
        {0, 2001.0, -1005, {}},
        {256, 2001.0, -1005, {}},
        {256, 100.0, 0, {0x55, 0x05, 0x00, 0x00, 0x64}},
        {257, 100.0, -1005, {}},
        {2, 40000.0, -1005, {}},
        {258, -32769.0, -1005, {}},
        {2, -32768.0, 0, {0x55, 0x05, 0x02, 0x80, 0x00}},
        {2, 32767.0, 0, {0x55, 0x05, 0x02, 0x7F, 0xFF}},
        {9, 1.0, -4, {0x55, 0x05, 0x09, 0x00, 0x01}},
        // clang-format on
    };
    for (const auto& [index, volts, result, frame] : cases) {
        SCOPED_TRACE(std::to_string(index) + " " + std::to_string(volts));
        sim_clear_written(bridge);
        EXPECT_EQ(dev->setVoltage(index, volts), result);
        EXPECT_EQ(written(bridge), frame);
    }
    // Only sources 0 and 1 are remembered, whatever the outcome.
    EXPECT_EQ(dev->getVoltage(0), 2001.0);
    EXPECT_EQ(dev->getVoltage(2), 0.0);

    // Refused: the whole volts in the message and the log (not-a-number and saturation: the base,
    // legacy and bias suites).
    EXPECT_EQ(dev->setVoltage(0, -2001.9), -1005);
    EXPECT_STREQ(dev->lastError(), "Voltage out of range -2001");
    EXPECT_EQ(log().back(), "[ERR]: Voltage out of range -2001");
}

TEST_F(HvDevTest, ReadingsAndTheHostsParameters) {
    start([](int b) {
        sim_hvsrc_set_reading(b, 0, -200, 1500);
        sim_hvsrc_set_reading(b, 1, 12, -2500);
        sim_hvsrc_set_range(b, 1, 0, 500);
    });
    EXPECT_EQ(dev->readVoltage(0), -200.0);
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x06, 0x00}));
    // Current in nanoamperes; a word with its top bit set is a negative current.
    EXPECT_EQ(dev->readCurrent(0), 1.5);
    EXPECT_EQ(dev->readCurrent(1), -2.5);

    // Voltage2 sends to source 1 without touching what getVoltage reports.
    ASSERT_EQ(dev->setVoltage(1, 12.5), 0);
    sim_clear_written(bridge);
    host::ParamList* params = static_cast<host::ParamList*>(dev->parameters());
    EXPECT_EQ(params->write("Voltage2", 300), 0);
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x05, 0x01, 0x01, 0x2C}));
    EXPECT_EQ(dev->getVoltage(1), 12.5);
}

TEST_F(HvDevTest, FailedAnswersLeaveZeros) {
    start([](int b) {
        sim_hvsrc_set_count(b, 2);
        sim_hvsrc_set_range(b, 0, -32768, 32767);
        sim_hvsrc_set_reading(b, 0, -200, 1500);
    });
    // Answers that fail a check, or none: the status comes back unchanged, the source's limits
    // become 0 and 0 (the other source keeps its own), the reading 0 V and 0 current, whatever
    // payload bytes came.
    const std::pair<int, int> cases[] = {{SIM_HV_BAD_STATUS, -4},
                                         {SIM_HV_WRONG_CODE, -5},
                                         {SIM_HV_SHORT_PAYLOAD, -2},
                                         {SIM_HV_NO_ANSWER, -1}};
    for (const auto& [fault, status] : cases) {
        SCOPED_TRACE(status);
        ASSERT_EQ(dev->readRanges(0), 0);
        ASSERT_EQ(dev->maxVoltage(0), 32767.0);
        sim_hvsrc_fault(bridge, fault, 0);
        EXPECT_EQ(dev->readRanges(0), status);
        EXPECT_EQ(limits(), (std::vector<double>{0, 0, -2000, 2000}));
        sim_clear_written(bridge);
        EXPECT_EQ(dev->setVoltage(0, 30000.0), -1005);
        EXPECT_EQ(written(bridge), Bytes{});
        int32_t volts = 1, current = 1;
        sim_hvsrc_fault(bridge, fault, 0);
        EXPECT_EQ(dev->readMeasurement(0, volts, current), status);
        EXPECT_EQ(std::make_pair(volts, current), std::make_pair(0, 0));
    }
}

TEST_F(HvDevTest, SourceThatNeverAnswersCostsEachTimeOut) {
    make(kDescription, sim_hvsrc_attach(kDescription, "HV0007"));
    sim_hvsrc_fault(bridge, SIM_HV_NO_ANSWER, 1);
    // 2 s for each Test, 0.2 s for each of the four queries; start-up still succeeds.
    int result = -1;
    const double seconds = hvtest::secondsTaken([&] { result = dev->initialize(); });
    EXPECT_EQ(result, 0);
    EXPECT_GE(seconds, 2 * 2.0 + 4 * 0.2 - hvtest::kClockSlack);
    EXPECT_EQ(written(bridge), kStartUp);
    EXPECT_STREQ(dev->lastError(), "Cannot test (Could not receive command, error: 0 (Timeout))");
    // A set is a query too.
    int sent = 0;
    EXPECT_GE(hvtest::secondsTaken([&] { sent = dev->setVoltage(0, 0.0); }),
              0.2 - hvtest::kClockSlack);
    EXPECT_EQ(sent, -1);

    // An answer one second late counts for a Test, not for a query.
    sim_hvsrc_clear_faults(bridge);
    sim_hvsrc_set_delay(bridge, 1000);
    EXPECT_EQ(dev->testConnection(), 0);
    EXPECT_EQ(dev->readRanges(0), -1);
}

// Each failed call leaves its own reason for the host, beside the command manager's one entry;
// a closed device records its refusals without logging them.
TEST_F(HvDevTest, EveryFailedCallLeavesItsOwnReason) {
    start();
    host::ParamList* params = static_cast<host::ParamList*>(dev->parameters());
    const std::string unplugged = "failed. Error: -4 (USB device disconnected).";
    const std::string lost = "Sending command 06 (ReadVoltCurr) " + unplugged;
    const std::string setLost = "Sending command 05 (SetVoltage) " + unplugged;
    const std::pair<std::function<int()>, std::string> calls[] = {
        {[&] { return static_cast<int>(dev->readVoltage(0)); },
         "Reading source 0 failed (failure 1): " + lost},
        {[&] { return static_cast<int>(dev->readCurrent(1)); },
         "Reading source 1 failed (failure 2): " + lost},
        {[&] { return params->read("VoltageSense1") + param("VoltageSense1"); },
         "Reading source 0 failed (failure 3): " + lost},
        {[&] { return dev->setVoltage(1, 0.0) + 4; },
         "Setting source 1 failed (failure 4): " + setLost},
        {[&] { return params->write("Voltage1", 0); },
         "Setting source 0 failed (failure 5): " + setLost},
    };
    // Calls that succeed record nothing and count no failure.
    EXPECT_EQ(dev->setVoltage(0, 0.0), 0);
    EXPECT_EQ(params->write("Voltage2", 0), 0);
    int32_t measured = 0, drawn = 0;
    EXPECT_EQ(dev->readMeasurement(0, measured, drawn), 0);
    EXPECT_STREQ(dev->lastError(), "");
    sim_clear_written(bridge);
    ASSERT_EQ(sim_unplug(bridge, 1), 0);
    for (const auto& [call, reason] : calls) {
        const size_t errors = log().size();
        EXPECT_EQ(call(), 0);
        EXPECT_EQ(dev->lastError(), reason);
        EXPECT_EQ(log().size(), errors + 1);
        EXPECT_EQ(log().back().rfind("[ERR]: Sending command 0", 0), 0u) << log().back();
    }

    EXPECT_EQ(dev->deinitialize(), 0);
    const Lines before = log();
    int32_t volts = 5, current = 5;
    EXPECT_EQ(dev->readMeasurement(1, volts, current), -1);
    EXPECT_EQ(volts + current, 0);
    EXPECT_STREQ(dev->lastError(), "Reading source 1 failed (failure 6): Device not open");
    EXPECT_EQ(dev->testConnection(), -1);
    EXPECT_EQ(dev->setVoltage(0, 0.0), -1);
    EXPECT_STREQ(dev->lastError(), "Setting source 0 failed (failure 8): Device not open");
    EXPECT_EQ(log(), before);
    EXPECT_EQ(written(bridge), Bytes{});
}

}  // namespace
