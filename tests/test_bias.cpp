// The bias module against its simulated counterpart and scripted answers: start-up, the exchange
// on the wire and in the log, the field rules, voltage setting, readings, polarity, closed state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>
#include <tuple>
#include <utility>

#include "BiasSrcDev.h"
#include "hvdev_support.h"
#include "refhost/HostFramework.h"
#include "sim_bias.h"

using hvtest::writtenText;
using HwHvSrc::BiasSrcDev;
using Lines = std::vector<std::string>;

namespace {

const char* const kDescription = "BiasModule: 12";

class BiasTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        bridge = sim_bias_attach(kDescription, "BM12");
        ASSERT_EQ(0, sim_bias_set_limits(bridge, -1000, 1000));
        dev.reset(new BiasSrcDev(kDescription, &framework, hvtest::logDirectory()));
    }
    void TearDown() override {
        dev.reset();
        sim_reset();
    }
    // Initializes against the model and forgets the start-up traffic.
    void open() {
        ASSERT_EQ(0, dev->initialize());
        sim_clear_written(bridge);
        sim_bias_clear_commands(bridge);
    }
    // From here on the bridge answers exactly `reply` once `command` and its line feed arrived.
    void script(const std::string& command, const std::string& reply) {
        const std::string line = command + "\n";
        ASSERT_EQ(0, sim_script_expect(bridge, line.data(), line.size(), reply.data(), reply.size(),
                                       0, 0, 0));
    }
    Lines log() { return hvtest::logLines(dev->logPath()); }
    Lines logSince(size_t before) {
        const Lines all = log();
        return Lines(all.begin() + static_cast<long>(std::min(before, all.size())), all.end());
    }

    host::Framework framework{hvtest::logDirectory()};
    int bridge = 0;
    hvtest::DevPtr<BiasSrcDev> dev;
};

TEST_F(BiasTest, StartUpReadsFirmwareAndLimits) {
    ASSERT_EQ(0, sim_bias_set_firmware(bridge, "BM-2.00"));
    ASSERT_EQ(0, dev->initialize());
    // The model answers only at 115200 baud, 8N1, bit mode 0x40 with mask 0xFF.
    EXPECT_EQ("printFW()\ngetMinMaxV()\n", writtenText(bridge));
    // FC18 and 03E8 tenths: -100 V and 100 V, for every index.
    EXPECT_EQ("BM-2.00", dev->firmware());
    EXPECT_EQ(-100.0, dev->minVoltage(0));
    EXPECT_EQ(100.0, dev->maxVoltage(3));
    host::ParamList* params = static_cast<host::ParamList*>(dev->parameters());
    ASSERT_EQ(1u, params->size());
    EXPECT_EQ("BM-2.00", params->find("Firmware")->text());
    EXPECT_TRUE(params->at(0)->readOnly());
}

TEST_F(BiasTest, LimitsAndFirmwareFromScriptedAnswers) {
    // Tenths truncated toward zero, even the wrong way round; a status of one character or not
    // hexadecimal passes; a failed status or another field count keeps the defaults 0 and 100.
    const std::tuple<const char*, const char*, const char*, double, double> cases[] = {
        {"(BM-3;00)\n\r", "(03E7;FC19;00)\n\r", "BM-3", 99.0, -99.0},
        {"(BM-3;0)\n\r", "(0000;0064;OK)\n\r", "BM-3", 0.0, 10.0},
        {"(BM-3;01)\n\r", "(FC18;03E8;01)\n\r", "", 0.0, 100.0},
        {"(BM-3)\n\r", "(FC18;03E8)\n\r", "", 0.0, 100.0},
        {"(BM-3;00;00)\n\r", "(FC18;03E8;00;00)\n\r", "", 0.0, 100.0},
        {"", "", "", 0.0, 100.0}};
    for (const auto& [firmwareReply, limitsReply, firmware, lower, upper] : cases) {
        SCOPED_TRACE(limitsReply);
        dev.reset(new BiasSrcDev(kDescription, &framework, hvtest::logDirectory()));
        script("printFW()", firmwareReply);
        script("getMinMaxV()", limitsReply);
        EXPECT_EQ(0, dev->initialize());
        EXPECT_EQ(firmware, dev->firmware());
        EXPECT_EQ(lower, dev->minVoltage(0));
        EXPECT_EQ(upper, dev->maxVoltage(0));
    }
    EXPECT_EQ(0, sim_script_mismatches(bridge));
}

// Two to eight hexadecimal digits, an even number; reading stops at the first other character.
TEST(BiasFields, HexFields) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"01F4", 500},  {"aF0A", 0xAF0A},         {"fff6", 0xFFF6},
        {"12GH", 0x12}, {"FFFFFFFF", 0xFFFFFFFF}, {"01", 1}};
    for (const auto& [field, value] : cases) {
        EXPECT_EQ(value, HwHvSrc::parseHexField(field)) << field;
    }
    for (const char* field : {"1F4", "0123456789", "0x12", "-1", " 1", "", "0"}) {
        EXPECT_EQ(0u, HwHvSrc::parseHexField(field)) << field;
    }
}

TEST_F(BiasTest, AnswerSelectionOnTheWireAndInTheLog) {
    open();
    // The text ends at a zero byte; leading spaces are trimmed; with a CR or LF first no line
    // qualifies and the last one (the line ending with its ")" put back) gives one field; the
    // first group counts; empty fields vanish, fields are not trimmed.
    const std::pair<std::string, Lines> cases[] = {
        {"(01F4;FFF6;00)\n\r", {"01F4", "FFF6", "00"}},
        {std::string("\0(01F4;FFF6;00)\n\r", 17), {}},
        {"   (01F4;FFF6;00)\n\r", {"01F4", "FFF6", "00"}},
        {"\r(01F4;FFF6;00)\n\r", {"\r"}},
        {"\n(01F4;FFF6;00)\n\r", {"\r"}},
        {"(01F4;FFF6;00)(FFFF;FFFF;01)\n\r", {"01F4", "FFF6", "00"}},
        {"(01F4;;00)\n\r", {"01F4", "00"}},
        {"( 1 ;00)\n\r", {" 1 ", "00"}},
        {"()\n\r", {}},
        {"   )", {}}};
    for (const auto& [reply, fields] : cases) {
        SCOPED_TRACE(reply);
        script("getUI(1)", reply);
        EXPECT_EQ(fields, dev->query("getUI(1)"));
    }
    EXPECT_EQ(0, sim_script_mismatches(bridge));

    // Each reply line is logged with its ")" put back (LF CR ")" as "" and "\r)").
    size_t before = log().size();
    script("getUI(1)", "(01F4;FFF6;00)(FFFF;FFFF;01)\n\r");
    dev->query("getUI(1)");
    EXPECT_EQ(
        (Lines{"[DBG]: Sent", "[DBG]: getUI(1)", "[DBG]: Received", "[DBG]: (01F4;FFF6;00)",
               "[DBG]: Received", "[DBG]: (FFFF;FFFF;01)", "[DBG]: Received", "[DBG]: ", "\r)"}),
        logSince(before));

    // Stale input is dropped before the request.
    const std::string stale = "(DEAD;BEEF;00)\n\r";
    ASSERT_EQ(0, sim_deliver(bridge, stale.data(), stale.size(), 0));
    script("getUI(1)", "(0064;0001;00)\n\r");
    EXPECT_EQ((Lines{"0064", "0001", "00"}), dev->query("getUI(1)"));

    // No answer: no lines, only the "Sent" entry.
    before = log().size();
    script("getUI(1)", "");
    EXPECT_EQ(Lines{}, dev->sendCommand("getUI(1)"));
    EXPECT_EQ((Lines{"[DBG]: Sent", "[DBG]: getUI(1)"}), logSince(before));
}

TEST_F(BiasTest, AnswersThatNeverEndCostTheDeadlineAndAreStillUsed) {
    open();
    // Without ")" LF CR reception runs to its deadline of 1 s; what arrived is used all the same.
    script("printPolarity()", "(NEG;00");
    int polarity = -1;
    EXPECT_LE(1.0 - hvtest::kClockSlack, hvtest::secondsTaken([&] { polarity = dev->polarity(); }));
    EXPECT_EQ(0, polarity);

    // An answer 0.8 s after the deadline gives no fields; the next exchange drops it.
    ASSERT_EQ(0, sim_set_peer(bridge, nullptr));
    ASSERT_EQ(0, sim_bias_install(bridge));
    ASSERT_EQ(0, dev->setVoltage(0, 50.0));
    ASSERT_EQ(0, sim_bias_set_delay(bridge, 1800));
    double volts = -1.0;
    EXPECT_LE(1.0 - hvtest::kClockSlack,
              hvtest::secondsTaken([&] { volts = dev->readVoltage(0); }));
    EXPECT_EQ(0.0, volts);
    ASSERT_EQ(0, sim_bias_set_delay(bridge, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    EXPECT_EQ(0, dev->setVoltage(0, 20.0));
    EXPECT_EQ(20.0, dev->readVoltage(0));
}

TEST_F(BiasTest, FailedWriteIsLoggedAndNothingIsRead) {
    open();
    // A write that fails or sends nothing (stalled until its time-out) waits for no answer: one
    // on its way (due after the input is cleared) stays unread.
    const std::string answer = "(BM-9;00)\n\r";
    for (const bool stalled : {false, true}) {
        SCOPED_TRACE(stalled);
        const size_t before = log().size();
        if (stalled) {
            ASSERT_EQ(0, sim_stall(bridge, 1));
        } else {
            ASSERT_EQ(0, sim_fail_next(bridge, "FT_Write", 4));  // FT_IO_ERROR
        }
        ASSERT_EQ(0, sim_deliver(bridge, answer.data(), answer.size(), stalled ? 1000 : 20));
        EXPECT_EQ(Lines{}, dev->query("printFW()"));
        sim_stall(bridge, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        EXPECT_EQ(answer.size(), sim_pending_input(bridge));
        EXPECT_EQ(
            (Lines{"[DBG]: Sent", "[DBG]: printFW()", "[ERR]: Cannot send command: printFW()"}),
            logSince(before));
    }
    EXPECT_STREQ("", dev->lastError());  // not a device error
    EXPECT_EQ(0, sim_bias_command_count(bridge));
    // During a voltage setting it is a malformed answer to the caller.
    ASSERT_EQ(0, sim_fail_next(bridge, "FT_Write", 4));
    EXPECT_EQ(-1, dev->setVoltage(0, 10.0));
    EXPECT_EQ("[ERR]: Cannot send command: setU(100)", log().back());
    EXPECT_STREQ(
        "Setting the output failed (failure 1): Cannot send command: setU(100) (USB device "
        "disconnected)",
        dev->lastError());
}

TEST_F(BiasTest, SetVoltageRangeAndAnswers) {
    open();  // limits -100 V and 100 V
    // Magnitude in tenths, truncated toward zero; the sign is not sent; the index is ignored.
    EXPECT_EQ(0, dev->setVoltage(0, 100.0));
    EXPECT_EQ(0, dev->setVoltage(7, -12.34));
    EXPECT_EQ(0, dev->setVoltage(0, -100.0));
    EXPECT_EQ(0, dev->setVoltage(0, 0.05));
    EXPECT_EQ("setU(1000)\nsetU(123)\nsetU(1000)\nsetU(0)\n", writtenText(bridge));

    // Refused: nothing sent, the whole volts in the message and the log, the request kept.
    sim_clear_written(bridge);
    const double kInf = std::numeric_limits<double>::infinity();
    const std::pair<double, const char*> refusals[] = {{100.5, "Voltage out of range 100"},
                                                       {-100.5, "Voltage out of range -100"},
                                                       {-kInf, "Voltage out of range -2147483648"},
                                                       {std::nan(""), "Voltage out of range 0"}};
    for (const auto& [volts, message] : refusals) {
        SCOPED_TRACE(message);
        EXPECT_EQ(-1005, dev->setVoltage(0, volts));
        EXPECT_STREQ(message, dev->lastError());
        EXPECT_EQ(std::string("[ERR]: ") + message, log().back());
    }
    EXPECT_EQ("", writtenText(bridge));
    EXPECT_TRUE(std::isnan(dev->getVoltage(0)));
    EXPECT_EQ(-1005, dev->applyVoltage(-101.0));

    // What the answer to "setU(%d)" gives.
    const std::pair<const char*, int> answers[] = {{"(0;00)\n\r", 0},     {"(0;0)\n\r", 0},
                                                   {"(0;01)\n\r", -2},    {"(0)\n\r", -1},
                                                   {"(0;00;00)\n\r", -1}, {"", -1}};
    for (const auto& [reply, result] : answers) {
        SCOPED_TRACE(reply);
        script("setU(500)", reply);
        EXPECT_EQ(result, dev->setVoltage(0, 50.0));
        EXPECT_EQ(50.0, dev->getVoltage(0));
    }
    EXPECT_EQ(0, sim_script_pending(bridge) + sim_script_mismatches(bridge));
}

TEST_F(BiasTest, ReadingsAndPolarityFromTheirAnswers) {
    open();
    // Each reading is its own "getUI(1)" exchange, whatever the index; signed tenths. Another
    // field count or a failed status reads 0, and each such reading leaves its own reason for the
    // host (the log shows the answer as it is).
    int failures = 0;
    const auto recorded = [&](const std::string& operation, const std::string& why) {
        return why.empty()
                   ? std::string(dev->lastError())
                   : operation + " failed (failure " + std::to_string(++failures) + "): " + why;
    };
    const std::tuple<const char*, double, double, std::string> readings[] = {
        {"(01F4;FFF6;00)\n\r", 50.0, -1.0, ""},
        {"(1F4;FFF6;00)\n\r", 0.0, -1.0, ""},
        {"(01F4;FFF6;01)\n\r", 0.0, 0.0, "Answer to getUI(1) has the failed status 01"},
        {"(01F4;FFF6)\n\r", 0.0, 0.0, "Answer to getUI(1) has 2 fields, not 3"},
        {"(01F4;FFF6;00;00)\n\r", 0.0, 0.0, "Answer to getUI(1) has 4 fields, not 3"}};
    for (const auto& [reply, volts, current, why] : readings) {
        SCOPED_TRACE(reply);
        script("getUI(1)", reply);
        EXPECT_EQ(volts, dev->readVoltage(9));
        EXPECT_EQ(recorded("Reading the output", why), dev->lastError());
        script("getUI(1)", reply);
        EXPECT_EQ(current, dev->readCurrent(0));
        EXPECT_EQ(recorded("Reading the output", why), dev->lastError());
    }

    // "NEG" or "POS" in full and in capitals; the status is not examined.
    const std::string neither = " is neither NEG nor POS";
    const std::tuple<const char*, int, std::string> polarities[] = {
        {"(NEG;00)\n\r", 0, ""},
        {"(POS;00)\n\r", 1, ""},
        {"(NEG;01)\n\r", 0, ""},
        {"(POS)\n\r", -1, "Answer to printPolarity() has 1 field, not 2"},
        {"(NEGATIVE;00)\n\r", -1, "Answer NEGATIVE" + neither},
        {"(Neg;00)\n\r", -1, "Answer Neg" + neither},
        {"( NEG;00)\n\r", -1, "Answer  NEG" + neither},
        {"", -1, "No answer (Timeout)"}};
    for (const auto& [reply, polarity, why] : polarities) {
        SCOPED_TRACE(reply);
        script("printPolarity()", reply);
        EXPECT_EQ(polarity, dev->polarity());
        EXPECT_EQ(recorded("Reading the polarity", why), dev->lastError());
    }
    EXPECT_EQ(0, sim_script_mismatches(bridge));
}

TEST_F(BiasTest, ClosedDeviceSendsAndLogsNothing) {
    open();
    ASSERT_EQ(0, dev->deinitialize());
    const Lines before = log();
    // Each refusal is recorded for the host all the same.
    EXPECT_EQ(0.0, dev->readVoltage(0));
    EXPECT_STREQ("Reading the output failed (failure 1): Device not open", dev->lastError());
    EXPECT_EQ(-1, dev->polarity());
    EXPECT_STREQ("Reading the polarity failed (failure 2): Device not open", dev->lastError());
    EXPECT_EQ(-1, dev->setVoltage(0, 10.0));
    EXPECT_STREQ("Setting the output failed (failure 3): Device not open", dev->lastError());
    EXPECT_EQ(before, log());
    EXPECT_EQ(0u, sim_written(bridge, nullptr, 0));
    // The firmware and the limits stay, and still refuse.
    EXPECT_EQ("BM-1.04", dev->firmware());
    EXPECT_EQ(-1005, dev->setVoltage(0, 500.0));
}

}  // namespace
