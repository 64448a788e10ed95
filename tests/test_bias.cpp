// The bias module against its simulated counterpart and against scripted answers: the start-up
// traffic and what it learns, the exchange on the wire and in the log (answer selection, empty
// fields, two groups, a failed write), the field rules, voltage setting with its range check,
// the readings, the polarity and the closed state. (Many threads on one device: test_stress.)
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <initializer_list>
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
using hvtest::logLines;
using hvtest::writtenText;
using HwHvSrc::BiasSrcDev;
using HwHvSrc::parseHexField;
using HwHvSrc::splitAny;
using HwHvSrc::trimChars;
using Lines = std::vector<std::string>;

namespace {

const char* const kDescription = "BiasModule: 12";
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Release {
    void operator()(BiasSrcDev* dev) const { dev->release(); }
};
using DevPtr = std::unique_ptr<BiasSrcDev, Release>;

Lines commands(int bridge) {
    return hvtest::recordedCommands(bridge, sim_bias_command_count, sim_bias_command);
}

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

Lines concat(std::initializer_list<Lines> parts) {
    Lines out;
    for (const Lines& part : parts) {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
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
    Lines log() { return logLines(dev->logPath()); }
    // The log entries written since `before`.
    Lines logSince(size_t before) {
        const Lines all = log();
        return before <= all.size() ? Lines(all.begin() + static_cast<long>(before), all.end())
                                    : Lines();
    }

    host::Framework framework{hvtest::logDirectory()};
    int bridge = 0;
    DevPtr dev;
};

TEST_F(BiasTest, StartUpReadsFirmwareAndLimitsAndRegistersOneParameter) {
    ASSERT_EQ(0, sim_bias_set_firmware(bridge, "BM-2.00"));
    // Before initialize: names, number from the suffix, default limits, nothing on the wire.
    EXPECT_STREQ("BiasMod", dev->deviceName());
    jd::HwDevInfo info{};
    dev->getInfo(&info);
    EXPECT_STREQ("BiasMod", info.name);
    EXPECT_EQ(12u, info.number);
    EXPECT_EQ(12u, info.category);
    EXPECT_EQ(2u, info.connection);
    EXPECT_EQ(1, dev->sourceCount());
    EXPECT_EQ(0.0, dev->minVoltage(0));
    EXPECT_EQ(100.0, dev->maxVoltage(0));

    ASSERT_EQ(0, dev->initialize());
    EXPECT_EQ("printFW()\ngetMinMaxV()\n", writtenText(bridge));
    SimSettings settings{};
    ASSERT_EQ(0, sim_settings(bridge, &settings));
    EXPECT_EQ(115200u, settings.baud_rate);
    EXPECT_EQ(0xFF, settings.bit_mask);
    EXPECT_EQ(0x40, settings.bit_mode);

    // FC18 and 03E8 tenths: -100 V and 100 V; every index answers the same.
    EXPECT_EQ("BM-2.00", dev->firmware());
    EXPECT_EQ(-100.0, dev->minVoltage(0));
    EXPECT_EQ(100.0, dev->maxVoltage(3));
    EXPECT_EQ(plat::joinPath(hvtest::logDirectory(), "hvsrc_biasmod_12.log"), dev->logPath());
    EXPECT_EQ(concat({exchangeEntries("printFW()", "(BM-2.00;00)"),
                      exchangeEntries("getMinMaxV()", "(FC18;03E8;00)")}),
              log());

    host::ParamList* params = static_cast<host::ParamList*>(dev->parameters());
    ASSERT_EQ(1u, params->size());
    host::Param* firmware = params->find("Firmware");
    ASSERT_NE(nullptr, firmware);
    EXPECT_EQ("BM-2.00", firmware->text());
    EXPECT_TRUE(firmware->readOnly());
    EXPECT_EQ(params, dev->parametersAlt());
    EXPECT_EQ(0u, static_cast<host::ParamList*>(dev->auxParameters())->size());

    // A second start-up truncates the log and registers nothing more.
    ASSERT_EQ(0, dev->deinitialize());
    ASSERT_EQ(0, dev->initialize());
    EXPECT_EQ(1u, params->size());
    EXPECT_EQ(14u, log().size());
}

TEST_F(BiasTest, LimitsAndFirmwareFromScriptedAnswers) {
    struct Case {
        const char* firmwareReply;
        const char* limitsReply;
        const char* firmware;
        double lower;
        double upper;
    };
    const Case cases[] = {
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
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limitsReply);
        dev.reset(new BiasSrcDev(kDescription, &framework, hvtest::logDirectory()));
        script("printFW()", c.firmwareReply);
        script("getMinMaxV()", c.limitsReply);
        EXPECT_EQ(0, dev->initialize());
        EXPECT_EQ(0, sim_script_pending(bridge));
        EXPECT_EQ(0, sim_script_mismatches(bridge));
        EXPECT_EQ(c.firmware, dev->firmware());
        EXPECT_EQ(c.lower, dev->minVoltage(0));
        EXPECT_EQ(c.upper, dev->maxVoltage(0));
        EXPECT_STREQ("", dev->lastError());
        host::ParamList* params = static_cast<host::ParamList*>(dev->parameters());
        ASSERT_EQ(1u, params->size());
        EXPECT_EQ(c.firmware, params->find("Firmware")->text());
    }
}

TEST_F(BiasTest, DescriptionWithoutNumberAndFailedOpen) {
    // No ": " in the description: empty suffix, number 0, a log named from the prefix alone.
    const int plain = sim_bias_attach("BiasModule", "BM00");
    ASSERT_GT(plain, 0);
    DevPtr other(new BiasSrcDev("BiasModule", &framework, hvtest::logDirectory()));
    jd::HwDevInfo info{};
    other->getInfo(&info);
    EXPECT_EQ(0u, info.number);
    EXPECT_EQ("", other->suffix());
    ASSERT_EQ(0, other->initialize());
    EXPECT_EQ(plat::joinPath(hvtest::logDirectory(), "hvsrc_biasmod_.log"), other->logPath());
    EXPECT_EQ("BM-1.04", other->firmware());

    // A bridge that is not there: the positive D2XX status, recorded and logged.
    DevPtr missing(new BiasSrcDev("BiasModule: 99", &framework, hvtest::logDirectory()));
    const int rc = missing->initialize();
    EXPECT_EQ(2, rc);  // FT_DEVICE_NOT_FOUND
    EXPECT_STREQ("Cannot open device: BiasModule: 99", missing->lastError());
    EXPECT_EQ(
        1u, countLines(logLines(missing->logPath()), "[ERR]: Cannot open device: BiasModule: 99"));
    EXPECT_EQ(0.0, missing->readVoltage(0));
    EXPECT_EQ(-1, missing->polarity());
}

TEST(BiasFields, HexFieldsTrimAndSplit) {
    EXPECT_EQ(0u, parseHexField("1F4"));  // odd length
    EXPECT_EQ(500u, parseHexField("01F4"));
    EXPECT_EQ(0xFFF6u, parseHexField("FFF6"));
    EXPECT_EQ(0xfff6u, parseHexField("fff6"));
    EXPECT_EQ(0x12u, parseHexField("12GH"));  // reading stops at the first other character
    EXPECT_EQ(0xFFFFFFFFu, parseHexField("FFFFFFFF"));
    EXPECT_EQ(0u, parseHexField("0123456789"));  // longer than eight
    EXPECT_EQ(0u, parseHexField("0x12"));
    EXPECT_EQ(0u, parseHexField("-1"));
    EXPECT_EQ(0u, parseHexField(" 1"));
    EXPECT_EQ(0u, parseHexField(""));
    EXPECT_EQ(0u, parseHexField("0"));
    EXPECT_EQ(0u, parseHexField("OK"));
    EXPECT_EQ(1u, parseHexField("01"));
    EXPECT_TRUE(HwHvSrc::statusOk("00"));
    EXPECT_TRUE(HwHvSrc::statusOk("0"));
    EXPECT_FALSE(HwHvSrc::statusOk("01"));
    EXPECT_EQ(-10, HwHvSrc::signedTenths("FFF6"));
    EXPECT_EQ(-1000, HwHvSrc::signedTenths("FC18"));
    EXPECT_EQ(32767, HwHvSrc::signedTenths("7FFF"));
    EXPECT_EQ(-32768, HwHvSrc::signedTenths("00018000"));

    EXPECT_EQ("a b", trimChars("  a b  ", " "));
    EXPECT_EQ("\r(x)", trimChars(" \r(x) ", " "));
    EXPECT_EQ("", trimChars("    ", " "));
    EXPECT_EQ("", trimChars("", " "));
    EXPECT_EQ("b", trimChars("xyxbyx", "xy"));

    EXPECT_EQ((Lines{"a", "b"}), splitAny("a;;b;", ";", true));
    EXPECT_EQ((Lines{"a", "", "b", ""}), splitAny("a;;b;", ";", false));
    EXPECT_EQ((Lines{"a", "b", "c"}), splitAny(";a,b;c", ";,", true));
    EXPECT_EQ(Lines{}, splitAny("", ";", true));
    EXPECT_EQ(Lines{""}, splitAny("", ";", false));
    EXPECT_EQ(Lines{}, splitAny(";;;", ";", true));
}

TEST_F(BiasTest, AnswerSelectionOnTheWireAndInTheLog) {
    open();
    struct Case {
        std::string reply;
        Lines fields;
    };
    const Case cases[] = {
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
        // Brackets with nothing between them.
        {"()\n\r", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        sim_clear_written(bridge);
        script("getUI(1)", c.reply);
        EXPECT_EQ(c.fields, dev->query("getUI(1)"));
        EXPECT_EQ("getUI(1)\n", writtenText(bridge));
        EXPECT_EQ(0, sim_script_pending(bridge));
    }

    // Each reply line is logged as it is taken, the ")" put back.
    const size_t before = log().size();
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
}

TEST_F(BiasTest, AnswersThatNeverEndCostTheDeadlineAndAreStillUsed) {
    open();
    // Without ")" LF CR reception runs to its deadline of 1 s; what arrived is used all the same.
    script("printPolarity()", "(NEG;00");
    int polarity = -1;
    EXPECT_LE(1.0 - hvtest::kClockSlack, hvtest::secondsTaken([&] { polarity = dev->polarity(); }));
    EXPECT_EQ(0, polarity);

    // Spaces and ")" only: a candidate of one character leaves no fields.
    script("getUI(1)", "   )");
    EXPECT_EQ(Lines{}, dev->query("getUI(1)"));
    script("getUI(1)", ")");
    EXPECT_EQ(0.0, dev->readVoltage(0));

    // No answer at all: no lines, and nothing but the "Sent" entry in the log.
    const size_t before = log().size();
    script("getUI(1)", "");
    EXPECT_EQ(Lines{}, dev->sendCommand("getUI(1)"));
    EXPECT_EQ((Lines{"[DBG]: Sent", "[DBG]: getUI(1)"}), logSince(before));

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

TEST_F(BiasTest, FailedWriteIsLoggedAfterTheSentEntry) {
    open();
    const size_t before = log().size();
    ASSERT_EQ(0, sim_fail_next(bridge, "FT_Write", 4));  // FT_IO_ERROR
    EXPECT_EQ(Lines{}, dev->query("printFW()"));
    EXPECT_EQ((Lines{"[DBG]: Sent", "[DBG]: printFW()", "[ERR]: Cannot send command: printFW()"}),
              logSince(before));
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
    EXPECT_EQ("setU(1000)\n", writtenText(bridge));
    int32_t tenths = 0;
    ASSERT_EQ(0, sim_bias_set_voltage(bridge, &tenths));
    EXPECT_EQ(1000, tenths);
    EXPECT_EQ(100.0, dev->getVoltage(0));

    // Magnitude in tenths, truncated toward zero; the sign is not sent; the index is ignored.
    sim_clear_written(bridge);
    EXPECT_EQ(0, dev->setVoltage(7, -12.34));
    EXPECT_EQ(0, dev->setVoltage(0, 12.34));
    EXPECT_EQ(0, dev->setVoltage(0, -100.0));
    EXPECT_EQ(0, dev->setVoltage(0, 0.05));
    EXPECT_EQ("setU(123)\nsetU(123)\nsetU(1000)\nsetU(0)\n", writtenText(bridge));

    // Refused: nothing sent, the whole volts in the message, the request still reported.
    sim_clear_written(bridge);
    struct Refusal {
        double volts;
        const char* message;
    };
    const Refusal refusals[] = {
        {100.5, "Voltage out of range 100"},       {-100.5, "Voltage out of range -100"},
        {1e12, "Voltage out of range 2147483647"}, {-1e12, "Voltage out of range -2147483648"},
        {kInf, "Voltage out of range 2147483647"}, {-kInf, "Voltage out of range -2147483648"},
        {kNaN, "Voltage out of range 0"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.message);
        EXPECT_EQ(-1005, dev->setVoltage(0, r.volts));
        EXPECT_STREQ(r.message, dev->lastError());
    }
    EXPECT_EQ("", writtenText(bridge));
    EXPECT_TRUE(std::isnan(dev->getVoltage(0)));
    EXPECT_EQ(-1005, dev->setVoltage(0, 100.5));
    EXPECT_EQ(100.5, dev->getVoltage(0));
    EXPECT_EQ(-1005, dev->applyVoltage(-101.0));
    EXPECT_EQ(2u, countLines(log(), "[ERR]: Voltage out of range 100"));
    EXPECT_EQ(1u, countLines(log(), "[ERR]: Voltage out of range 0"));

    // What the answer to "setU(%d)" gives.
    struct Answer {
        const char* reply;
        int result;
    };
    const Answer answers[] = {
        {"(0;00)\n\r", 0}, {"(0;0)\n\r", 0},      {"(0;01)\n\r", -2},
        {"(0)\n\r", -1},   {"(0;00;00)\n\r", -1}, {"", -1},
    };
    for (const Answer& a : answers) {
        SCOPED_TRACE(a.reply);
        script("setU(500)", a.reply);
        EXPECT_EQ(a.result, dev->setVoltage(0, 50.0));
        EXPECT_EQ(0, sim_script_pending(bridge));
        EXPECT_EQ(50.0, dev->getVoltage(0));
    }
    EXPECT_EQ(0, sim_script_mismatches(bridge));
}

TEST_F(BiasTest, ReadingsFollowTheModel) {
    open();
    ASSERT_EQ(0, sim_bias_set_load(bridge, 10.0));  // 10 kOhm
    ASSERT_EQ(0, dev->setVoltage(0, 50.0));
    sim_bias_clear_commands(bridge);
    EXPECT_EQ(50.0, dev->readVoltage(0));
    EXPECT_EQ(50.0, dev->readVoltage(9));  // one output: the index is ignored
    EXPECT_EQ(5.0, dev->readCurrent(0));   // 500 tenths over 10 kOhm: 50 tenths
    // Each reading is its own exchange, always "getUI(1)".
    EXPECT_EQ((Lines{"getUI(1)", "getUI(1)", "getUI(1)"}), commands(bridge));

    ASSERT_EQ(0, sim_bias_set_current(bridge, -10));
    ASSERT_EQ(0, sim_bias_set_polarity(bridge, 0));
    EXPECT_EQ(-50.0, dev->readVoltage(0));
    EXPECT_EQ(-1.0, dev->readCurrent(0));

    // Faults of the model: any of them gives 0.0, and nothing is recorded as an error.
    const int faults[] = {SIM_BIAS_NO_ANSWER,    SIM_BIAS_DROP_FIELD, SIM_BIAS_EXTRA_FIELD,
                          SIM_BIAS_EMPTY_FIELD,  SIM_BIAS_CR_BEFORE,  SIM_BIAS_LF_BEFORE,
                          SIM_BIAS_FAILED_STATUS};
    for (const int fault : faults) {
        SCOPED_TRACE(fault);
        ASSERT_EQ(0, sim_bias_fault(bridge, fault, 0));
        EXPECT_EQ(0.0, dev->readVoltage(0));
    }
    EXPECT_STREQ("", dev->lastError());
    // Faults that still leave a usable answer.
    ASSERT_EQ(0, sim_bias_fault(bridge, SIM_BIAS_SPACES_BEFORE, 0));
    EXPECT_EQ(-50.0, dev->readVoltage(0));
    ASSERT_EQ(0, sim_bias_fault(bridge, SIM_BIAS_TWO_GROUPS, 0));
    EXPECT_EQ(-1.0, dev->readCurrent(0));

    // The literal fields: 01F4 is 50.0 V, FFF6 is -1.0; 1F4 (odd length) reads 0.0.
    script("getUI(1)", "(01F4;FFF6;00)\n\r");
    EXPECT_EQ(50.0, dev->readVoltage(0));
    script("getUI(1)", "(01F4;FFF6;00)\n\r");
    EXPECT_EQ(-1.0, dev->readCurrent(0));
    script("getUI(1)", "(1F4;FFF6;00)\n\r");
    EXPECT_EQ(0.0, dev->readVoltage(0));
    script("getUI(1)", "(01F4;FFF6;01)\n\r");
    EXPECT_EQ(0.0, dev->readVoltage(0));
}

TEST_F(BiasTest, Polarity) {
    open();
    EXPECT_EQ(1, dev->polarity());
    ASSERT_EQ(0, sim_bias_set_polarity(bridge, 0));
    EXPECT_EQ(0, dev->polarity());
    // The status is not examined.
    ASSERT_EQ(0, sim_bias_fault(bridge, SIM_BIAS_FAILED_STATUS, 0));
    EXPECT_EQ(0, dev->polarity());
    ASSERT_EQ(0, sim_bias_fault(bridge, SIM_BIAS_LOWER_CASE, 0));
    EXPECT_EQ(-1, dev->polarity());
    ASSERT_EQ(0, sim_bias_fault(bridge, SIM_BIAS_DROP_FIELD, 0));
    EXPECT_EQ(-1, dev->polarity());
    ASSERT_EQ(0, sim_bias_fault(bridge, SIM_BIAS_NO_ANSWER, 0));
    EXPECT_EQ(-1, dev->polarity());
    EXPECT_EQ(Lines(6, "printPolarity()"), commands(bridge));

    // Full length and case matter.
    const char* const replies[] = {"(NEG;00)\n\r",      "(POS;00)\n\r", "(POS)\n\r",
                                   "(NEGATIVE;00)\n\r", "(Neg;00)\n\r", "( NEG;00)\n\r"};
    const int expected[] = {0, 1, -1, -1, -1, -1};
    for (size_t i = 0; i < sizeof(expected) / sizeof(expected[0]); ++i) {
        SCOPED_TRACE(replies[i]);
        script("printPolarity()", replies[i]);
        EXPECT_EQ(expected[i], dev->polarity());
    }
}

TEST_F(BiasTest, ClosedDeviceSendsAndLogsNothing) {
    open();
    ASSERT_EQ(0, dev->setVoltage(0, 20.0));
    ASSERT_EQ(0, dev->deinitialize());
    sim_clear_written(bridge);
    SimSettings settings{};
    ASSERT_EQ(0, sim_settings(bridge, &settings));
    EXPECT_EQ(0, settings.open);

    const std::string path = dev->logPath();
    const std::string before = hvtest::readFile(path);
    EXPECT_EQ(0.0, dev->readVoltage(0));
    EXPECT_EQ(0.0, dev->readCurrent(0));
    EXPECT_EQ(-1, dev->polarity());
    EXPECT_EQ(-1, dev->setVoltage(0, 10.0));
    EXPECT_EQ(Lines{}, dev->query("printFW()"));
    EXPECT_EQ(before, hvtest::readFile(path));
    EXPECT_EQ(0u, sim_written(bridge, nullptr, 0));
    // The firmware and the limits stay; a refused voltage is still refused and logged.
    EXPECT_EQ("BM-1.04", dev->firmware());
    EXPECT_EQ(-100.0, dev->minVoltage(0));
    EXPECT_EQ(-1005, dev->setVoltage(0, 500.0));
    EXPECT_EQ(1u, countLines(logLines(path), "[ERR]: Voltage out of range 500"));
    EXPECT_EQ(0, dev->deinitialize());

    // Opened again: a fresh log and a working channel.
    ASSERT_EQ(0, dev->initialize());
    EXPECT_EQ(0u, countLines(log(), "[ERR]: Voltage out of range 500"));
    EXPECT_EQ(0, dev->setVoltage(0, 10.0));
    EXPECT_EQ(10.0, dev->readVoltage(0));
}

}  // namespace
