// The current HV source device against its simulated counterpart: start-up traffic and what it
// learns, voltage setting with its range check (also by the index byte the frame carries),
// readings, the host parameters, failed answers, a source that never answers, the closed state and
// the device lock around a refused request. (Many threads on one device: test_stress.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HostFramework.h"
#include "HvDev.h"
#include "HvDevOld.h"
#include "ThreadSync.h"
#include "hvdev_support.h"
#include "sim_hvsrc.h"
#include "simctl.h"

using hvtest::Bytes;
using hvtest::countLines;
using hvtest::written;
using HwHvSrc::HvDev;
using Lines = std::vector<std::string>;

namespace {

const char* const kDescription = "Tessaro HV Source: 7";
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The bytes initialize sends: two tests, firmware, count, both ranges.
const Bytes kStartUp = {0x55, 0x01, 0x55, 0x01, 0x55, 0x02, 0x55,
                        0x03, 0x55, 0x04, 0x00, 0x55, 0x04, 0x01};

class HvDevTest : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override {
        dev.reset();
        sim_reset();
    }
    // Attaches a model (set up by `prepare`) and initializes a device; the start-up traffic is
    // forgotten.
    void start(const std::function<void(int)>& prepare = [](int) {}) {
        bridge = sim_hvsrc_attach(kDescription, "HV0007");
        ASSERT_GT(bridge, 0);
        prepare(bridge);
        dev.reset(new HvDev(kDescription, &framework, hvtest::logDirectory()));
        ASSERT_EQ(dev->initialize(), 0);
        sim_clear_written(bridge);
    }
    host::ParamList* params() { return static_cast<host::ParamList*>(dev->parameters()); }
    int32_t param(const char* name) {
        host::Param* p = nullptr;
        EXPECT_EQ(params()->read(name, &p), 0);
        return p != nullptr ? p->intValue() : -999999;
    }
    Lines log() { return hvtest::logLines(dev->logPath()); }
    Lines lastLog(size_t n) {
        const Lines all = log();
        return n <= all.size() ? Lines(all.end() - static_cast<long>(n), all.end()) : all;
    }

    host::Framework framework{hvtest::logDirectory()};
    int bridge = 0;
    hvtest::DevPtr<HvDev> dev;
};

TEST_F(HvDevTest, StartUpAsksForEverythingAndRegistersParameters) {
    start([](int b) {
        sim_hvsrc_set_range(b, 0, 500, -500);  // reported swapped
        sim_hvsrc_set_range(b, 1, -100, 1200);
        sim_hvsrc_set_count(b, 2);
    });
    // Starting again with the channel open: the same traffic on a fresh log.
    EXPECT_EQ(dev->initialize(), 0);
    EXPECT_EQ(written(bridge), kStartUp);
    SimSettings settings{};
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.baud_rate, 115200u);
    EXPECT_EQ(settings.bit_mode, 0);  // the bridge's bit mode is left alone

    EXPECT_EQ(dev->firmware(), "HVS-2.1.0");
    EXPECT_EQ(dev->sourceCount(), 2);
    EXPECT_EQ((std::vector<double>{dev->minVoltage(0), dev->maxVoltage(0), dev->minVoltage(1),
                                   dev->maxVoltage(1), dev->maxVoltage(5)}),
              (std::vector<double>{-500, 500, -100, 1200, 1200}));
    const Lines lines = log();
    EXPECT_EQ(countLines(lines, "[MSG]: Firmware is: HVS-2.1.0"), 1u);
    EXPECT_EQ(countLines(lines, "[DBG]: CMD 03 (SourcesCount) <<< "), 1u);
    EXPECT_EQ(params()->find("Firmware")->text(), "HVS-2.1.0");
    EXPECT_EQ(params()->find("MinVoltage2")->intValue(), -100);

    // Releasing the device closes its bridge.
    dev.reset();
    EXPECT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.open, 0);
    EXPECT_EQ(framework.paramListsAlive(), 0);
}

TEST_F(HvDevTest, SetVoltageTruncatesChecksAndSends) {
    start([](int b) { sim_hvsrc_set_range(b, 0, -2000, 2000); });
    EXPECT_EQ(dev->setVoltage(0, 99.9), 0);
    EXPECT_EQ(dev->getVoltage(0), 99.9);
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x05, 0x00, 0x00, 0x63}));
    EXPECT_EQ(lastLog(4), (Lines{"[DBG]: CMD 05 (SetVoltage) >>>",
                                 "[DBG]: Sent data:", hvtest::dumpLine("00 00 63 ", "..c"),
                                 "[DBG]: CMD 05 (SetVoltage) <<< "}));

    const struct {
        double volts;
        Bytes payload;
    } sets[] = {{-0.5, {0x00, 0x00, 0x00}},
                {-200.7, {0x00, 0xFF, 0x38}},
                {2000.0, {0x00, 0x07, 0xD0}},
                {-2000.0, {0x00, 0xF8, 0x30}}};
    for (const auto& c : sets) {
        SCOPED_TRACE(c.volts);
        sim_clear_written(bridge);
        EXPECT_EQ(dev->setVoltage(0, c.volts), 0);
        Bytes frame = {0x55, 0x05};
        frame.insert(frame.end(), c.payload.begin(), c.payload.end());
        EXPECT_EQ(written(bridge), frame);
    }

    // Refused: nothing sent, the whole volts in the message and the log, the request still
    // remembered. Values no 32-bit whole number holds are refused the same way.
    sim_clear_written(bridge);
    const struct {
        uint32_t index;
        double volts;
        const char* message;
    } refusals[] = {{0, 2001.0, "Voltage out of range 2001"},
                    {0, -2001.9, "Voltage out of range -2001"},
                    {0, kNaN, "Voltage out of range 0"},
                    {7, -kInf, "Voltage out of range -2147483648"}};
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.message);
        EXPECT_EQ(dev->setVoltage(r.index, r.volts), -1005);
        EXPECT_STREQ(dev->lastError(), r.message);
        EXPECT_EQ(log().back(), std::string("[ERR]: ") + r.message);
        if (r.index == 0 && !std::isnan(r.volts)) {
            EXPECT_EQ(dev->getVoltage(0), r.volts);
        }
    }
    EXPECT_EQ(written(bridge), Bytes{});
}

TEST_F(HvDevTest, IndicesBeyondTheTwoKeptSources) {
    start([](int b) {
        sim_hvsrc_set_count(b, 3);
        sim_hvsrc_set_range(b, 0, 0, 1000);
        sim_hvsrc_set_range(b, 1, -1000, 0);
    });
    // Index 256 goes out as source 0, so source 0's limits apply to it.
    EXPECT_EQ(dev->setVoltage(256, 5000.0), -1005);
    EXPECT_EQ(written(bridge), Bytes{});
    EXPECT_EQ(dev->setVoltage(256, 100.0), 0);
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x05, 0x00, 0x00, 0x64}));
    EXPECT_EQ(dev->getVoltage(0), 0.0);
    EXPECT_EQ(dev->setVoltage(257, 100.0), -1005);  // source 1: -1000..0

    // Index 2 is sent unchecked and stores nothing; only the low 16 bits of the value go out.
    sim_clear_written(bridge);
    EXPECT_EQ(dev->setVoltage(2, 40000.0), 0);
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x05, 0x02, 0x9C, 0x40}));
    EXPECT_EQ((std::vector<double>{dev->getVoltage(0), dev->getVoltage(1), dev->getVoltage(2)}),
              (std::vector<double>{0, 0, 0}));
    int16_t set = 0;
    ASSERT_EQ(sim_hvsrc_set_voltage(bridge, 2, &set), 0);
    EXPECT_EQ(set, static_cast<int16_t>(40000 - 65536));

    // A source the device does not have: the source's status comes back.
    EXPECT_EQ(dev->setVoltage(9, 1.0), -4);
}

TEST_F(HvDevTest, ReadingsAndTheHostsParameters) {
    start([](int b) {
        sim_hvsrc_set_reading(b, 0, -200, 1500);
        sim_hvsrc_set_reading(b, 1, 12, -2500);
        sim_hvsrc_set_range(b, 1, 0, 500);
    });
    EXPECT_EQ(dev->readVoltage(0), -200.0);
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x06, 0x00}));
    EXPECT_EQ(lastLog(6),
              (Lines{"[DBG]: CMD 06 (ReadVoltCurr) >>>", "[DBG]: Sent data:",
                     hvtest::dumpLine("00 ", "."), "[DBG]: CMD 06 (ReadVoltCurr) <<< ",
                     "[DBG]: Received data:", hvtest::dumpLine("ff 38 00 00 05 dc ", ".8....")}));
    EXPECT_EQ(dev->readCurrent(0), 1.5);
    // A current word with its top bit set is a negative current.
    EXPECT_EQ(dev->readCurrent(1), -2.5);
    const char* const names[] = {"VoltageSense1", "CurrentSense1", "VoltageSense2",
                                 "CurrentSense2"};
    const int32_t values[] = {-200, 1500, 12, -2500};
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(param(names[i]), values[i]) << names[i];
    }

    // Voltage2 sends to source 1 without touching what getVoltage reports; out of range it is
    // recorded and the handler still answers 0.
    ASSERT_EQ(dev->setVoltage(1, 12.5), 0);
    sim_clear_written(bridge);
    EXPECT_EQ(params()->write("Voltage2", 300), 0);
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x05, 0x01, 0x01, 0x2C}));
    EXPECT_EQ(dev->getVoltage(1), 12.5);
    EXPECT_EQ(params()->write("Voltage2", 3000), 0);
    EXPECT_STREQ(dev->lastError(), "Voltage out of range 3000");
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x05, 0x01, 0x01, 0x2C}));
}

TEST_F(HvDevTest, FailedAnswersLeaveZeros) {
    start([](int b) {
        sim_hvsrc_set_range(b, 0, -32768, 32767);
        sim_hvsrc_set_reading(b, 0, -200, 1500);
    });
    // Answers that bring their payload bytes but fail a check: the status comes back unchanged,
    // the limits become 0 and 0 (only 0 V passes) and the reading 0 V and 0 current; so does a
    // reading without any answer.
    const struct {
        int fault;
        int status;
    } cases[] = {{SIM_HV_BAD_STATUS, -4},
                 {SIM_HV_WRONG_CODE, -5},
                 {SIM_HV_SHORT_PAYLOAD, -2},
                 {SIM_HV_NO_ANSWER, -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        int32_t volts = 1;
        int32_t current = 1;
        sim_hvsrc_fault(bridge, c.fault, 0);
        EXPECT_EQ(dev->readMeasurement(0, volts, current), c.status);
        EXPECT_EQ(volts, 0);
        EXPECT_EQ(current, 0);
        if (c.fault == SIM_HV_NO_ANSWER) {
            continue;
        }
        ASSERT_EQ(dev->readRanges(0), 0);
        ASSERT_EQ(dev->maxVoltage(0), 32767.0);
        sim_hvsrc_fault(bridge, c.fault, 0);
        EXPECT_EQ(dev->readRanges(0), c.status);
        EXPECT_EQ(dev->minVoltage(0), 0.0);
        EXPECT_EQ(dev->maxVoltage(0), 0.0);
        sim_clear_written(bridge);
        EXPECT_EQ(dev->setVoltage(0, 30000.0), -1005);
        EXPECT_EQ(written(bridge), Bytes{});
        EXPECT_EQ(dev->setVoltage(0, 0.0), 0);
    }
}

TEST_F(HvDevTest, FailedCountLeavesZero) {
    bridge = sim_attach(kDescription, "HV0007");
    const auto expect = [&](Bytes request, Bytes reply) {
        ASSERT_EQ(sim_script_expect(bridge, request.data(), request.size(), reply.data(),
                                    reply.size(), 0, 0, 0),
                  0);
    };
    Bytes firmware = {0x02, 'F', 'W'};
    firmware.resize(32, 0);  // code, 30 bytes, status
    firmware.push_back(0x0A);
    expect({0x55, 0x01}, {0x01, 0x00, 0x0A});
    expect({0x55, 0x01}, {0x01, 0x00, 0x0A});
    expect({0x55, 0x02}, firmware);
    expect({0x55, 0x03}, {0x03, 0x05, 0x07, 0x0A});  // status 7
    expect({0x55, 0x04, 0x00}, {0x04, 0x00, 0x0A, 0x00, 0x64, 0, 0, 0, 0, 0x00, 0x0A});
    expect({0x55, 0x04, 0x01}, {0x04, 0xFF, 0x9C, 0x00, 0x00, 0, 0, 0, 0, 0x00, 0x0A});
    dev.reset(new HvDev(kDescription, &framework, hvtest::logDirectory()));
    EXPECT_EQ(dev->initialize(), 0);
    EXPECT_EQ(sim_script_pending(bridge), 0);
    EXPECT_EQ(sim_script_mismatches(bridge), 0);
    EXPECT_EQ(dev->firmware(), "FW");
    EXPECT_EQ(dev->sourceCount(), 0);
    EXPECT_EQ(params()->find("SourceCount")->intValue(), 0);
    EXPECT_EQ(countLines(log(), "[ERR]: Command failed (error code: 7)"), 1u);
    EXPECT_EQ((std::vector<double>{dev->minVoltage(0), dev->maxVoltage(0), dev->minVoltage(1),
                                   dev->maxVoltage(1)}),
              (std::vector<double>{10, 100, -100, 0}));
}

TEST_F(HvDevTest, SourceThatNeverAnswers) {
    bridge = sim_hvsrc_attach(kDescription, "HV0007");
    sim_hvsrc_fault(bridge, SIM_HV_NO_ANSWER, 1);
    dev.reset(new HvDev(kDescription, &framework, hvtest::logDirectory()));
    // Each exchange waits out its time-out: 2 s for each Test, 0.2 s for each of the four queries.
    int result = -1;
    const double seconds = hvtest::secondsTaken([&] { result = dev->initialize(); });
    EXPECT_EQ(result, 0);
    EXPECT_GE(seconds, 2 * 2.0 + 4 * 0.2 - hvtest::kClockSlack);
    EXPECT_EQ(written(bridge), kStartUp);
    const std::string cannot = "Cannot test (Could not receive command, error: 0 (Timeout))";
    const Lines lines = log();
    EXPECT_EQ(countLines(lines, "[ERR]: " + cannot), 2u);
    EXPECT_EQ(countLines(lines, "[ERR]: Could not receive command, error: 0 (Timeout)"), 6u);
    EXPECT_STREQ(dev->lastError(), cannot.c_str());
    EXPECT_EQ(dev->firmware(), "");
    EXPECT_EQ(dev->sourceCount(), 0);
    EXPECT_EQ((std::vector<double>{dev->minVoltage(0), dev->maxVoltage(0), dev->minVoltage(1),
                                   dev->maxVoltage(1)}),
              (std::vector<double>{0, 0, 0, 0}));
    EXPECT_EQ(params()->size(), 12u);
    // Readings and settings are queries too.
    int sent = 0;
    EXPECT_GE(hvtest::secondsTaken([&] { dev->readVoltage(0); }), 0.2 - hvtest::kClockSlack);
    EXPECT_GE(hvtest::secondsTaken([&] { sent = dev->setVoltage(0, 0.0); }),
              0.2 - hvtest::kClockSlack);
    EXPECT_EQ(sent, -1);
}

TEST_F(HvDevTest, AnswerOneSecondLateCountsForTestOnly) {
    start();
    sim_hvsrc_set_delay(bridge, 1000);
    EXPECT_EQ(dev->testConnection(), 0);
    EXPECT_EQ(dev->readRanges(0), -1);
}

TEST_F(HvDevTest, ClosedDeviceRefusesExchanges) {
    start();
    EXPECT_EQ(dev->deinitialize(), 0);
    int32_t volts = 5;
    int32_t current = 5;
    EXPECT_EQ(dev->readMeasurement(1, volts, current), -1);
    EXPECT_EQ(volts + current, 0);
    EXPECT_EQ(dev->testConnection(), -1);
    EXPECT_EQ(dev->setVoltage(0, 0.0), -1);
    EXPECT_STREQ(dev->lastError(), "Device not open");
    EXPECT_EQ(param("VoltageSense1"), 0);
    EXPECT_EQ(written(bridge), Bytes{});
}

// Runs `operation` on a thread of its own while this thread holds `lock` for 100 ms; true when
// the operation got through meanwhile, that is, without the lock.
bool completesWhileHeld(ThreadSyncObject& lock, const std::function<void()>& operation) {
    std::atomic<bool> done{false};
    bool doneWhileHeld = false;
    std::thread worker;
    {
        ThreadSyncGuard guard(&lock);
        worker = std::thread([&] {
            operation();
            done = true;
        });
        for (int i = 0; i < 10 && !done; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        doneWhileHeld = done;
    }
    worker.join();
    return doneWhileHeld;
}

template <typename Dev>
struct Lockable : Dev {
    using Dev::Dev;
    using HwHvSrc::DevBase::deviceLock_;
};

// initialize replaces the device log under the device lock, so a refusal recorded without it
// would race with that.
TEST(HvSourceLocking, RefusedNumbersAreRecordedUnderTheDeviceLock) {
    Lockable<HvDev> current(kDescription, nullptr, hvtest::logDirectory());
    Lockable<HwHvSrc::HvDevOld> legacy("HV source AVR", nullptr, hvtest::logDirectory());
    EXPECT_FALSE(completesWhileHeld(current.deviceLock_, [&] { current.setVoltage(0, kNaN); }));
    EXPECT_FALSE(completesWhileHeld(legacy.deviceLock_, [&] { legacy.setVoltage(1, 1e12); }));
    EXPECT_STREQ(current.lastError(), "Voltage out of range 0");
    EXPECT_STREQ(legacy.lastError(), "Voltage out of range 2147483647");
}

}  // namespace
