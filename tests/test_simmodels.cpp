// The simulated bias module and legacy source seen from the wire, through a plain FTDI channel:
// the exact bytes of their answers, the state their commands change, the line settings they
// need, their faults and the commands they record. The device tests rely on these answers being
// right.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FtdiDev.h"
#include "ftd2xx_api.h"
#include "hvdev_support.h"
#include "sim_bias.h"
#include "sim_hvold.h"
#include "simctl.h"

namespace {

using Lines = std::vector<std::string>;

class ModelTest : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override {
        channel.reset();
        sim_reset();
    }
    void open(const char* description, uint32_t baud) {
        channel.reset(new FtdiDev(description, false));
        ASSERT_EQ(0, channel->open(false));
        ASSERT_EQ(0, channel->setBaudRate(baud));
    }
    // The bias module's bridge as the device sets it up: 115200 baud, 8N1, bit mode on.
    void openBias(const char* description) {
        open(description, 115200);
        ASSERT_EQ(0, channel->setBitMode(true));
    }
    void send(const std::string& text) {
        ASSERT_EQ(static_cast<int>(text.size()), channel->write(text.data(), text.size(), 1.0));
    }
    // Everything that arrives up to the bias module's answer ending (or for `timeout`).
    std::string answer(double timeout = 1.0) {
        char buffer[256] = {0};
        const int got = channel->readUntil(buffer, sizeof(buffer), ")\n\r", 3, timeout);
        return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
    }
    std::string exchange(const std::string& command) {
        send(command + "\n");
        return answer();
    }
    std::string statusLine() {
        send("o");
        std::string line;
        return channel->readLine(line, '\n', 1.0) == 0 ? line : "(none)";
    }
    Lines biasCommands() {
        return hvtest::recordedCommands(bridge, sim_bias_command_count, sim_bias_command);
    }

    int bridge = 0;
    std::unique_ptr<FtdiDev> channel;
};

TEST_F(ModelTest, BiasModuleAnswersAndState) {
    bridge = sim_bias_attach("BiasModule: 3", "BM3");
    ASSERT_GT(bridge, 0);
    openBias("BiasModule: 3");

    EXPECT_EQ("(BM-1.04;00)\n\r", exchange("printFW()"));
    EXPECT_EQ("(0000;0384;00)\n\r", exchange("getMinMaxV()"));
    EXPECT_EQ("(POS;00)\n\r", exchange("printPolarity()"));
    EXPECT_EQ("(0;00)\n\r", exchange("setU(500)"));
    int32_t tenths = 0;
    ASSERT_EQ(0, sim_bias_set_voltage(bridge, &tenths));
    EXPECT_EQ(500, tenths);
    EXPECT_EQ("(01F4;0000;00)\n\r", exchange("getUI(1)"));

    // Negative polarity, a load, negative limits: two's complement in four digits.
    ASSERT_EQ(0, sim_bias_set_polarity(bridge, 0));
    ASSERT_EQ(0, sim_bias_set_load(bridge, 50.0));
    ASSERT_EQ(0, sim_bias_set_limits(bridge, -1000, 1000));
    EXPECT_EQ("(FE0C;FFF6;00)\n\r", exchange("getUI(1)"));
    EXPECT_EQ("(FC18;03E8;00)\n\r", exchange("getMinMaxV()"));
    EXPECT_EQ("(NEG;00)\n\r", exchange("printPolarity()"));
    ASSERT_EQ(0, sim_bias_set_current(bridge, 7));
    EXPECT_EQ("(FE0C;0007;00)\n\r", exchange("getUI(1)"));

    // Unknown lines and setU arguments that are no plain 32-bit number are refused; the set
    // voltage stays.
    for (const char* bad : {"hello", "setU()", "setU(-5)", "setU(4294967296)", "setU(1x)", ""}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ("(01)\n\r", exchange(bad));
    }
    ASSERT_EQ(0, sim_bias_set_voltage(bridge, &tenths));
    EXPECT_EQ(500, tenths);

    // A command split over several writes is one line; every line is recorded without its
    // line feed.
    sim_bias_clear_commands(bridge);
    send("get");
    send("UI(");
    send("1)\n");
    EXPECT_EQ("(FE0C;0007;00)\n\r", answer());
    EXPECT_EQ(Lines{"getUI(1)"}, biasCommands());

    // Status and firmware as set.
    ASSERT_EQ(0, sim_bias_set_firmware(bridge, "X 2"));
    ASSERT_EQ(0, sim_bias_set_status(bridge, "0"));
    EXPECT_EQ("(X 2;0)\n\r", exchange("printFW()"));

    // Nothing behind a bridge without a model.
    EXPECT_EQ(-1, sim_bias_set_limits(bridge + 100, 0, 0));
    EXPECT_EQ(-1, sim_bias_command_count(bridge + 100));
}

TEST_F(ModelTest, BiasModuleUnderstandsOnlyItsOwnLineSettings) {
    bridge = sim_bias_attach("BiasModule: 6", "BM6");
    ASSERT_GT(bridge, 0);
    struct Case {
        const char* what;
        uint32_t baud;
        uint8_t bits, stop, parity, mask, mode;
        bool understood;
    };
    const Case cases[] = {
        {"9600 baud", 9600, 8, 0, 0, 0xFF, 0x40, false},
        {"7 data bits", 115200, 7, 0, 0, 0xFF, 0x40, false},
        {"2 stop bits", 115200, 8, 2, 0, 0xFF, 0x40, false},
        {"even parity", 115200, 8, 0, 2, 0xFF, 0x40, false},
        {"bit mode 0x01", 115200, 8, 0, 0, 0xFF, 0x01, false},
        {"mask 0x0F", 115200, 8, 0, 0, 0x0F, 0x40, false},
        {"no bit mode", 115200, 8, 0, 0, 0, 0, false},
        {"115200 8N1, bit mode 0x40, mask 0xFF", 115200, 8, 0, 0, 0xFF, 0x40, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        void* h = nullptr;
        ASSERT_EQ(0u, FT_OpenEx(const_cast<char*>("BiasModule: 6"), 2, &h));
        FT_SetTimeouts(h, 100, 100);
        FT_SetBaudRate(h, c.baud);
        FT_SetDataCharacteristics(h, c.bits, c.stop, c.parity);
        if (c.mode != 0) {
            FT_SetBitMode(h, c.mask, c.mode);
        }
        char command[] = "setU(100)\n";
        uint32_t count = 0;
        ASSERT_EQ(0u, FT_Write(h, command, 10, &count));
        char reply[16] = {};
        ASSERT_EQ(0u, FT_Read(h, reply, 8, &count));
        EXPECT_EQ(c.understood ? "(0;00)\n\r" : "", std::string(reply, count));
        int32_t tenths = -1;
        ASSERT_EQ(0, sim_bias_set_voltage(bridge, &tenths));
        EXPECT_EQ(c.understood ? 100 : 0, tenths);
        FT_Close(h);
    }
    // Every line was taken down, understood or not.
    EXPECT_EQ(8, sim_bias_command_count(bridge));
}

TEST_F(ModelTest, BiasModuleFaultsShapeTheAnswer) {
    bridge = sim_bias_attach("BiasModule: 4", "BM4");
    ASSERT_GT(bridge, 0);
    openBias("BiasModule: 4");
    ASSERT_EQ(0, sim_bias_set_current(bridge, 0));
    ASSERT_EQ(0, sim_bias_set_ramp(bridge, 0.0));
    EXPECT_EQ("(0;00)\n\r", exchange("setU(500)"));

    struct Case {
        int fault;
        const char* bytes;
    };
    const Case cases[] = {
        {SIM_BIAS_DROP_FIELD, "(01F4;0000)\n\r"},
        {SIM_BIAS_EXTRA_FIELD, "(01F4;0000;00;00)\n\r"},
        {SIM_BIAS_EMPTY_FIELD, "(01F4;;00)\n\r"},
        {SIM_BIAS_CR_BEFORE, "\r(01F4;0000;00)\n\r"},
        {SIM_BIAS_LF_BEFORE, "\n(01F4;0000;00)\n\r"},
        {SIM_BIAS_SPACES_BEFORE, "   (01F4;0000;00)\n\r"},
        {SIM_BIAS_TWO_GROUPS, "(01F4;0000;00)(FFFF;FFFF;01)\n\r"},
        {SIM_BIAS_FAILED_STATUS, "(01F4;0000;01)\n\r"},
        {SIM_BIAS_LOWER_CASE | SIM_BIAS_FAILED_STATUS, "(01f4;0000;01)\n\r"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        ASSERT_EQ(0, sim_bias_fault(bridge, c.fault, 0));
        EXPECT_EQ(c.bytes, exchange("getUI(1)"));
        // One-shot: the next answer is whole again.
        EXPECT_EQ("(01F4;0000;00)\n\r", exchange("getUI(1)"));
    }

    // No ending: the reader runs to its deadline with what came.
    ASSERT_EQ(0, sim_bias_fault(bridge, SIM_BIAS_NO_ENDING, 0));
    send("printPolarity()\n");
    EXPECT_EQ("(POS;00", answer(0.3));

    // Persistent until cleared; the command still takes effect without an answer.
    ASSERT_EQ(0, sim_bias_fault(bridge, SIM_BIAS_NO_ANSWER, 1));
    send("setU(100)\n");
    EXPECT_EQ("", answer(0.2));
    send("getUI(1)\n");
    EXPECT_EQ("", answer(0.2));
    int32_t tenths = 0;
    ASSERT_EQ(0, sim_bias_set_voltage(bridge, &tenths));
    EXPECT_EQ(100, tenths);
    ASSERT_EQ(0, sim_bias_clear_faults(bridge));
    EXPECT_EQ("(0064;0000;00)\n\r", exchange("getUI(1)"));

    // An exact answer replaces the next one.
    const std::string raw = "(A;B;C)\n\r";
    ASSERT_EQ(0, sim_bias_reply_next(bridge, raw.data(), raw.size()));
    EXPECT_EQ(raw, exchange("printFW()"));
    EXPECT_EQ("(BM-1.04;00)\n\r", exchange("printFW()"));
}

TEST_F(ModelTest, BiasModuleOutputRampsTowardTheSetVoltage) {
    bridge = sim_bias_attach("BiasModule: 5", "BM5");
    ASSERT_GT(bridge, 0);
    openBias("BiasModule: 5");
    ASSERT_EQ(0, sim_bias_set_ramp(bridge, 1.0));  // a tenth of a volt per second
    EXPECT_EQ("(0;00)\n\r", exchange("setU(9000)"));
    double output = -1.0;
    ASSERT_EQ(0, sim_bias_output(bridge, &output));
    EXPECT_GE(output, 0.0);
    EXPECT_LT(output, 9000.0);
    // Setting the ramp to 0 lets the output jump to the set voltage.
    ASSERT_EQ(0, sim_bias_set_ramp(bridge, 0.0));
    ASSERT_EQ(0, sim_bias_output(bridge, &output));
    EXPECT_EQ(9000.0, output);
    EXPECT_EQ(-1, sim_bias_set_ramp(bridge, -1.0));
}

TEST_F(ModelTest, LegacySourceStatusLinesAndSetTexts) {
    bridge = sim_hvold_attach("HV source AVR", "AVR");
    ASSERT_GT(bridge, 0);
    open("HV source AVR", 9600);

    // Source 1 at 0 V sits 1020 V above the field's zero: (1020 / 0.125) << 3.
    EXPECT_EQ("1\t2a\t3ff\t0\t0\tff00\t10\t0\t7\t55", statusLine());
    send("1000a");
    send("4");
    send("0b");  // split over writes: one command
    double volts = 0.0;
    ASSERT_EQ(0, sim_hvold_set_voltage(bridge, 0, &volts));
    EXPECT_EQ(250.0, volts);
    ASSERT_EQ(0, sim_hvold_set_voltage(bridge, 1, &volts));
    EXPECT_EQ(-10.0, volts);
    ASSERT_EQ(0, sim_hvold_set_noise(bridge, 7));
    // 250 V: 2000 steps, 3e80 + noise; -10 V: 1010 V above zero, 8080 steps, fc80 + noise.
    EXPECT_EQ("1\t2a\t3ff\t0\t3e87\tfc87\t10\t0\t7\t55", statusLine());

    ASSERT_EQ(0, sim_hvold_fault(bridge, SIM_HVOLD_SHORT_LINE, 0));
    EXPECT_EQ("1\t2a\t3ff\t0\t3e87", statusLine());
    ASSERT_EQ(0, sim_hvold_fault(bridge, SIM_HVOLD_NOT_HEX, 0));
    EXPECT_EQ("ERR\tvoltage\tstatus", statusLine());
    ASSERT_EQ(0, sim_hvold_fault(bridge, SIM_HVOLD_NO_ANSWER, 0));
    EXPECT_EQ("(none)", statusLine());
    EXPECT_EQ("1\t2a\t3ff\t0\t3e87\tfc87\t10\t0\t7\t55", statusLine());

    // At another baud rate the source answers nothing.
    ASSERT_EQ(0, channel->setBaudRate(115200));
    EXPECT_EQ("(none)", statusLine());

    const char* const expected[] = {"o", "1000a", "40b", "o", "o", "o", "o", "o", "o"};
    const int count = sim_hvold_command_count(bridge);
    ASSERT_EQ(static_cast<int>(sizeof(expected) / sizeof(expected[0])), count);
    for (int i = 0; i < count; ++i) {
        char text[32];
        ASSERT_GE(sim_hvold_command(bridge, i, text, sizeof(text)), 0);
        EXPECT_STREQ(expected[i], text) << i;
    }
    EXPECT_EQ(-1, sim_hvold_command(bridge, count, nullptr, 0));
    EXPECT_EQ(-1, sim_hvold_reply_next(bridge, nullptr, 3));
}

}  // namespace
