// The bias module against its simulated counterpart and against scripted answers: the start-up
// traffic and what it learns, the exchange on the wire and in the log (answer selection, empty
// fields, two groups, failed writes), the field rules, voltage setting with its range check, the
// readings, the polarity and the closed state. (Many threads on one device: test_stress.)
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BiasSrcDev.h"
#include "HostFramework.h"
#include "hvdev_support.h"
#include "platform.h"
#include "sim_bias.h"
#include "simctl.h"

using hvtest::countLines;
using hvtest::writtenText;
using HwHvSrc::BiasSrcDev;
using Lines = std::vector<std::string>;

namespace {

const char* const kDescription = "BiasModule: 12";
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// The log entries of one exchange whose answer ended normally: the command, the bracketed line,
// and the line made of the line feed and carriage return with the ")" put back (which the log
// file shows as an empty entry followed by "\r)").
Lines exchangeEntries(const std::string& command, const std::string& reply) {
    return {"[DBG]: Sent",
            "[DBG]: " + command,
            "[DBG]: Received",
            "[DBG]: " + reply,
            "[DBG]: Received",
            "[DBG]: ",
            "\r)"};
}

class BiasTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        bridge = sim_bias_attach(kDescription, "BM12");
        ASSERT_GT(bridge, 0);
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
    // From here on the bridge answers exactly `reply` (nothing when empty) once `command` and its
    // line feed have arrived.
    void script(const std::string& command, const std::string& reply) {
        const std::string line = command + "\n";
        ASSERT_EQ(0, sim_script_expect(bridge, line.data(), line.size(), reply.data(), reply.size(),
                                       0, 0, 0));
    }
    Lines log() { return hvtest::logLines(dev->logPath()); }
    // The log entries written since `before`.
    Lines logSince(size_t before) {
        const Lines all = log();
        return before <= all.size() ? Lines(all.begin() + static_cast<long>(before), all.end())
                                    : Lines();
    }

    host::Framework framework{hvtest::logDirectory()};
    int bridge = 0;
    hvtest::DevPtr<BiasSrcDev> dev;
};

TEST_F(BiasTest, StartUpReadsFirmwareAndLimitsAndRegistersOneParameter) {
    ASSERT_EQ(0, sim_bias_set_firmware(bridge, "BM-2.00"));
    EXPECT_EQ(1, dev->sourceCount());
    ASSERT_EQ(0, dev->initialize());
    // The model answers only at 115200 baud, 8N1, bit mode 0x40 with mask 0xFF.
    EXPECT_EQ("printFW()\ngetMinMaxV()\n", writtenText(bridge));

    // FC18 and 03E8 tenths: -100 V and 100 V; every index answers the same.
    EXPECT_EQ("BM-2.00", dev->firmware());
    EXPECT_EQ(-100.0, dev->minVoltage(0));
    EXPECT_EQ(100.0, dev->maxVoltage(3));
    EXPECT_EQ(plat::joinPath(hvtest::logDirectory(), "hvsrc_biasmod_12.log"), dev->logPath());
    Lines expected = exchangeEntries("printFW()", "(BM-2.00;00)");
    const Lines limits = exchangeEntries("getMinMaxV()", "(FC18;03E8;00)");
    expected.insert(expected.end(), limits.begin(), limits.end());
    EXPECT_EQ(expected, log());
    host::ParamList* params = static_cast<host::ParamList*>(dev->parameters());
    ASSERT_EQ(1u, params->size());
    EXPECT_EQ("BM-2.00", params->find("Firmware")->text());
    EXPECT_TRUE(params->at(0)->readOnly());
}

TEST_F(BiasTest, LimitsAndFirmwareFromScriptedAnswers) {
    const struct {
        const char* firmwareReply;
        const char* limitsReply;
        const char* firmware;
        double lower;
        double upper;
    } cases[] = {
        // Tenths truncated toward zero, even when the module reports them the wrong way round.
        {"(BM-3;00)\n\r", "(03E7;FC19;00)\n\r", "BM-3", 99.0, -99.0},
        // Status of one character or not hexadecimal: success.
        {"(BM-3;0)\n\r", "(0000;0064;OK)\n\r", "BM-3", 0.0, 10.0},
        // Failed statuses leave the firmware empty and the limits as they were.
        {"(BM-3;01)\n\r", "(FC18;03E8;01)\n\r", "", 0.0, 100.0},
        // Another number of fields.
        {"(BM-3)\n\r", "(FC18;03E8)\n\r", "", 0.0, 100.0},
        {"(BM-3;00;00)\n\r", "(FC18;03E8;00;00)\n\r", "", 0.0, 100.0},
        // Nothing at all: still accepted, with the defaults.
        {"", "", "", 0.0, 100.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.limitsReply);
        dev.reset(new BiasSrcDev(kDescription, &framework, hvtest::logDirectory()));
        script("printFW()", c.firmwareReply);
        script("getMinMaxV()", c.limitsReply);
        EXPECT_EQ(0, dev->initialize());
        EXPECT_EQ(0, sim_script_mismatches(bridge));
        EXPECT_EQ(c.firmware, dev->firmware());
        EXPECT_EQ(c.lower, dev->minVoltage(0));
        EXPECT_EQ(c.upper, dev->maxVoltage(0));
    }
}

// A field of two to eight hexadecimal digits, an even number of them; reading stops at the first
// other character. Fields of another length read 0.
TEST(BiasFields, HexFields) {
    const struct {
        const char* field;
        uint32_t value;
    } cases[] = {{"01F4", 500},  {"aF0A", 0xAF0A},         {"fff6", 0xFFF6},
                 {"12GH", 0x12}, {"FFFFFFFF", 0xFFFFFFFF}, {"01", 1}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.value, HwHvSrc::parseHexField(c.field)) << c.field;
    }
    for (const char* field : {"1F4", "0123456789", "0x12", "-1", " 1", "", "0"}) {
        EXPECT_EQ(0u, HwHvSrc::parseHexField(field)) << field;
    }
}

TEST_F(BiasTest, AnswerSelectionOnTheWireAndInTheLog) {
    open();
    const struct {
        std::string reply;
        Lines fields;
    } cases[] = {
        {"(01F4;FFF6;00)\n\r", {"01F4", "FFF6", "00"}},
        // The text ends at a zero byte: here before anything, so there are no lines at all.
        {std::string("\0(01F4;FFF6;00)\n\r", 17), {}},
        // Spaces before the answer are trimmed away.
        {"   (01F4;FFF6;00)\n\r", {"01F4", "FFF6", "00"}},
        // A carriage return or a line feed before it: no line qualifies and the last one, the
        // line ending with its ")" put back, gives one field.
        {"\r(01F4;FFF6;00)\n\r", {"\r"}},
        {"\n(01F4;FFF6;00)\n\r", {"\r"}},
        // Two groups: the first one counts.
        {"(01F4;FFF6;00)(FFFF;FFFF;01)\n\r", {"01F4", "FFF6", "00"}},
        // Empty fields vanish; fields are not trimmed.
        {"(01F4;;00)\n\r", {"01F4", "00"}},
        {"( 1 ;00)\n\r", {" 1 ", "00"}},
        // Brackets with nothing between them, or a candidate of one character.
        {"()\n\r", {}},
        {"   )", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply);
        script("getUI(1)", c.reply);
        EXPECT_EQ(c.fields, dev->query("getUI(1)"));
    }
    EXPECT_EQ(0, sim_script_mismatches(bridge));

    // Each reply line is logged as it is taken, the ")" put back.
    size_t before = log().size();
    script("getUI(1)", "(01F4;FFF6;00)(FFFF;FFFF;01)\n\r");
    dev->query("getUI(1)");
    EXPECT_EQ(
        (Lines{"[DBG]: Sent", "[DBG]: getUI(1)", "[DBG]: Received", "[DBG]: (01F4;FFF6;00)",
               "[DBG]: Received", "[DBG]: (FFFF;FFFF;01)", "[DBG]: Received", "[DBG]: ", "\r)"}),
        logSince(before));

    // Every exchange starts with an empty receive queue: stale input is dropped first.
    const std::string stale = "(DEAD;BEEF;00)\n\r";
    ASSERT_EQ(0, sim_deliver(bridge, stale.data(), stale.size(), 0));
    script("getUI(1)", "(0064;0001;00)\n\r");
    EXPECT_EQ((Lines{"0064", "0001", "00"}), dev->query("getUI(1)"));

    // No answer at all: no lines, and nothing but the "Sent" entry in the log.
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

    // An answer later than the deadline gives no fields; the next exchange drops it once it is
    // there (at the latest 0.8 s after the deadline) and reads its own answer.
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
    // A write the driver fails and one that sends nothing (a stalled bridge, until the write's
    // time-out): no answer is waited for, so one already on its way stays unread.
    const std::string answer = "(BM-9;00)\n\r";
    for (const bool stalled : {false, true}) {
        SCOPED_TRACE(stalled);
        const size_t before = log().size();
        if (stalled) {
            ASSERT_EQ(0, sim_stall(bridge, 1));
        } else {
            ASSERT_EQ(0, sim_fail_next(bridge, "FT_Write", 4));  // FT_IO_ERROR
        }
        // Due while the write is failing or stalling, after the input is cleared.
        ASSERT_EQ(0, sim_deliver(bridge, answer.data(), answer.size(), stalled ? 1000 : 20));
        EXPECT_EQ(Lines{}, dev->query("printFW()"));
        sim_stall(bridge, 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        EXPECT_EQ(answer.size(), sim_pending_input(bridge));
        EXPECT_EQ(
            (Lines{"[DBG]: Sent", "[DBG]: printFW()", "[ERR]: Cannot send command: printFW()"}),
            logSince(before));
    }
    // Not a device error: the last-error text stays as it was.
    EXPECT_STREQ("", dev->lastError());
    EXPECT_EQ(0, sim_bias_command_count(bridge));

    // A failed write during a voltage setting is a malformed answer to the caller.
    ASSERT_EQ(0, sim_fail_next(bridge, "FT_Write", 4));
    EXPECT_EQ(-1, dev->setVoltage(0, 10.0));
    EXPECT_EQ(1u, countLines(log(), "[ERR]: Cannot send command: setU(100)"));
}

TEST_F(BiasTest, SetVoltageRangeAndAnswers) {
    open();  // limits -100 V and 100 V
    EXPECT_EQ(0, dev->setVoltage(0, 100.0));
    EXPECT_EQ(100.0, dev->getVoltage(0));
    // Magnitude in tenths, truncated toward zero; the sign is not sent; the index is ignored.
    EXPECT_EQ(0, dev->setVoltage(7, -12.34));
    EXPECT_EQ(0, dev->setVoltage(0, -100.0));
    EXPECT_EQ(0, dev->setVoltage(0, 0.05));
    EXPECT_EQ("setU(1000)\nsetU(123)\nsetU(1000)\nsetU(0)\n", writtenText(bridge));

    // Refused: nothing sent, the whole volts in the message and the log, the request still
    // reported.
    sim_clear_written(bridge);
    const struct {
        double volts;
        const char* message;
    } refusals[] = {{100.5, "Voltage out of range 100"},
                    {-100.5, "Voltage out of range -100"},
                    {-kInf, "Voltage out of range -2147483648"},
                    {kNaN, "Voltage out of range 0"}};
    for (const auto& r : refusals) {
        SCOPED_TRACE(r.message);
        EXPECT_EQ(-1005, dev->setVoltage(0, r.volts));
        EXPECT_STREQ(r.message, dev->lastError());
        EXPECT_EQ(std::string("[ERR]: ") + r.message, log().back());
    }
    EXPECT_EQ("", writtenText(bridge));
    EXPECT_TRUE(std::isnan(dev->getVoltage(0)));
    EXPECT_EQ(-1005, dev->applyVoltage(-101.0));

    // What the answer to "setU(%d)" gives.
    const struct {
        const char* reply;
        int result;
    } answers[] = {
        {"(0;00)\n\r", 0}, {"(0;0)\n\r", 0},      {"(0;01)\n\r", -2},
        {"(0)\n\r", -1},   {"(0;00;00)\n\r", -1}, {"", -1},
    };
    for (const auto& a : answers) {
        SCOPED_TRACE(a.reply);
        script("setU(500)", a.reply);
        EXPECT_EQ(a.result, dev->setVoltage(0, 50.0));
        EXPECT_EQ(0, sim_script_pending(bridge));
        EXPECT_EQ(50.0, dev->getVoltage(0));
    }
    EXPECT_EQ(0, sim_script_mismatches(bridge));
}

TEST_F(BiasTest, ReadingsAndPolarityFromTheirAnswers) {
    open();
    // Each reading is its own "getUI(1)" exchange (the script checks it), whatever the index;
    // voltage and current are signed tenths. Another number of fields or a failed status reads 0,
    // and is no device error.
    const struct {
        const char* reply;
        double volts;
        double current;
    } readings[] = {
        {"(01F4;FFF6;00)\n\r", 50.0, -1.0},  {"(1F4;FFF6;00)\n\r", 0.0, -1.0},
        {"(01F4;FFF6;01)\n\r", 0.0, 0.0},    {"(01F4;FFF6)\n\r", 0.0, 0.0},
        {"(01F4;FFF6;00;00)\n\r", 0.0, 0.0},
    };
    for (const auto& r : readings) {
        SCOPED_TRACE(r.reply);
        script("getUI(1)", r.reply);
        EXPECT_EQ(r.volts, dev->readVoltage(9));
        script("getUI(1)", r.reply);
        EXPECT_EQ(r.current, dev->readCurrent(0));
    }
    EXPECT_STREQ("", dev->lastError());

    // The polarity: "NEG" or "POS" in full and in capitals; the status is not examined.
    const struct {
        const char* reply;
        int polarity;
    } polarities[] = {
        {"(NEG;00)\n\r", 0},       {"(POS;00)\n\r", 1},  {"(NEG;01)\n\r", 0},   {"(POS)\n\r", -1},
        {"(NEGATIVE;00)\n\r", -1}, {"(Neg;00)\n\r", -1}, {"( NEG;00)\n\r", -1}, {"", -1}};
    for (const auto& p : polarities) {
        SCOPED_TRACE(p.reply);
        script("printPolarity()", p.reply);
        EXPECT_EQ(p.polarity, dev->polarity());
    }
    EXPECT_EQ(0, sim_script_mismatches(bridge));
}

TEST_F(BiasTest, ClosedDeviceSendsAndLogsNothing) {
    open();
    ASSERT_EQ(0, dev->deinitialize());
    const Lines before = log();
    EXPECT_EQ(0.0, dev->readVoltage(0));
    EXPECT_EQ(-1, dev->polarity());
    EXPECT_EQ(-1, dev->setVoltage(0, 10.0));
    EXPECT_EQ(before, log());
    EXPECT_EQ(0u, sim_written(bridge, nullptr, 0));
    // The firmware and the limits stay, and still refuse.
    EXPECT_EQ("BM-1.04", dev->firmware());
    EXPECT_EQ(-1005, dev->setVoltage(0, 500.0));
    EXPECT_EQ("[ERR]: Voltage out of range 500", log().back());
}

}  // namespace
