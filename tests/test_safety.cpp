// No voltage outside a source's limits reaches that source, whatever a host asks: many requests
// through the loaded plug-in and the host's parameter lists (any index, any double, every 16-bit
// edge of the voltage parameters), each followed by a look at what the simulated source decoded
// from the wire. The requests come from a fixed seed, printed, so a failure can be replayed;
// HVSRC_PROPERTY_SEED chooses another.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "hvdev_support.h"
#include "plugin_host.h"
#include "sim_bias.h"
#include "sim_hvold.h"
#include "sim_hvsrc.h"
#include "simctl.h"

namespace {

constexpr uint32_t kIndices[] = {0, 1, 2, 255, 256, 257, 0xFFFFFFFFu};
constexpr int16_t kInt16Edges[] = {-32768, -32767, -1, 0, 1, 32766, 32767};

uint32_t seed() {
    static const uint32_t value = [] {
        const char* text = std::getenv("HVSRC_PROPERTY_SEED");
        const uint32_t chosen =
            text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 2012u;
        std::printf("request seed %" PRIu32 " (HVSRC_PROPERTY_SEED=%" PRIu32 " replays it)\n",
                    chosen, chosen);
        return chosen;
    }();
    return value;
}

struct Limits {
    double lower;
    double upper;
};

// One request as a host makes it.
struct Request {
    bool write;  // a write of "Voltage1" or "Voltage2" rather than setVoltage
    uint32_t index;
    double volts;
    int16_t value;

    std::string text() const {
        char out[160];
        if (write) {
            std::snprintf(out, sizeof(out), "write Voltage%" PRIu32 " = %d", index + 1, value);
        } else {
            std::snprintf(out, sizeof(out), "setVoltage(index %" PRIu32 ", %.17g V = %a)", index,
                          volts, volts);
        }
        return out;
    }
};

// A voltage one source took from the wire.
struct Received {
    int source;
    double volts;
    std::string what;
};

// The commands a text-protocol source recorded from the index `from` on.
std::vector<std::string> commandsFrom(int bridge, size_t from, int (*count)(int),
                                      int (*copy)(int, int, char*, size_t)) {
    std::vector<std::string> out;
    for (int i = static_cast<int>(from); i < count(bridge); ++i) {
        char text[64] = {};
        copy(bridge, i, text, sizeof(text));
        out.push_back(text);
    }
    return out;
}

// One simulated source as the property sees it: what it decoded since the last look, and the
// limits it must stay within.
class Source {
public:
    virtual ~Source() = default;
    virtual std::vector<Received> fresh() = 0;
    virtual int outputs() const { return 2; }
    virtual bool hasVoltageParameters() const { return true; }
    // Random requests after the chosen ones.
    virtual int randomRequests() const { return 1500; }

    int bridge = 0;
    Limits limits[2] = {};
};

class CurrentSource : public Source {
public:
    // Frames for a source the model does not have (index byte 2 and up with its count of 2) are
    // refused by it and reach no output.
    std::vector<Received> fresh() override {
        std::vector<Received> out;
        const int count = sim_hvsrc_frame_count(bridge);
        for (; seen_ < count; ++seen_) {
            SimHvFrame frame{};
            sim_hvsrc_frame(bridge, seen_, &frame);
            if (frame.code == 0x05 && frame.length == 3 && frame.payload[0] < 2) {
                out.push_back({frame.payload[0],
                               static_cast<double>(static_cast<int16_t>((frame.payload[1] << 8) |
                                                                        frame.payload[2])),
                               "a SetVoltage frame"});
            }
        }
        for (int s = 0; s < 2; ++s) {
            int16_t set = 0;
            sim_hvsrc_set_voltage(bridge, s, &set);
            out.push_back({s, static_cast<double>(set), "its set voltage"});
        }
        return out;
    }

private:
    int seen_ = 0;
};

class LegacySource : public Source {
public:
    LegacySource() {
        limits[0] = {0, 1000};
        limits[1] = {-1000, 0};
    }
    // The source reads the digits before the letter as quarter volts, negated for source 1.
    std::vector<Received> fresh() override {
        std::vector<Received> out;
        for (const std::string& text :
             commandsFrom(bridge, seen_, sim_hvold_command_count, sim_hvold_command)) {
            ++seen_;
            const char letter = text.empty() ? 'o' : text.back();
            if (letter == 'a' || letter == 'b') {
                const double quarter = static_cast<double>(std::strtoll(text.c_str(), nullptr, 10));
                out.push_back({letter == 'a' ? 0 : 1, (letter == 'a' ? quarter : -quarter) / 4.0,
                               "\"" + text + "\""});
            }
        }
        for (int s = 0; s < 2; ++s) {
            double set = 0.0;
            sim_hvold_set_voltage(bridge, s, &set);
            out.push_back({s, set, "its set voltage"});
        }
        return out;
    }

private:
    size_t seen_ = 0;
};

class BiasSource : public Source {
public:
    int outputs() const override { return 1; }
    bool hasVoltageParameters() const override { return false; }
    // One output, whatever the index, and each accepted request a whole exchange: fewer suffice.
    int randomRequests() const override { return 500; }
    // The module takes "setU(n)" as n tenths of a volt, its polarity giving the sign.
    std::vector<Received> fresh() override {
        std::vector<Received> out;
        for (const std::string& text :
             commandsFrom(bridge, seen_, sim_bias_command_count, sim_bias_command)) {
            ++seen_;
            if (text.rfind("setU(", 0) == 0) {
                const double tenths =
                    static_cast<double>(std::strtoll(text.c_str() + 5, nullptr, 10));
                out.push_back({0, (positive ? tenths : -tenths) / 10.0, "\"" + text + "\""});
            }
        }
        double output = 0.0;
        sim_bias_output(bridge, &output);
        out.push_back({0, output / 10.0, "its output"});
        return out;
    }

    bool positive = true;

private:
    size_t seen_ = 0;
};

// The voltages a request may carry: the special doubles, every limit -1, -0.5, exact, +0.5 and
// +1, and values around the 16- and 32-bit edges.
std::vector<double> chosenVolts(const Source& source) {
    using L = std::numeric_limits<double>;
    std::vector<double> volts = {std::nan(""), -std::nan(""), L::infinity(),   -L::infinity(),
                                 0.0,          -0.0,          L::denorm_min(), -L::denorm_min(),
                                 L::min() / 3, 1e300,         -1e300,          L::max(),
                                 -L::max()};
    volts.insert(volts.end(), {32767.0, 32768.0, -32768.0, -32769.0, 65535.0, 65536.0, 2147483647.0,
                               2147483648.0, -2147483648.0, -2147483649.0, 4294967396.0});
    for (int s = 0; s < source.outputs(); ++s) {
        for (const double limit : {source.limits[s].lower, source.limits[s].upper}) {
            for (const double offset : {-1.0, -0.5, 0.0, 0.5, 1.0}) {
                volts.push_back(limit + offset);
            }
        }
    }
    return volts;
}

double randomVolts(std::mt19937& random, const std::vector<double>& chosen) {
    switch (random() % 4) {
        case 0: {  // any bit pattern: every exponent, NaNs and infinities included
            const uint64_t bits = (static_cast<uint64_t>(random()) << 32) | random();
            double volts = 0.0;
            std::memcpy(&volts, &bits, sizeof(volts));
            return volts;
        }
        case 1:
            return std::uniform_real_distribution<double>(-70000.0, 70000.0)(random);
        case 2:
            return chosen[random() % chosen.size()] +
                   std::uniform_real_distribution<double>(-2.0, 2.0)(random);
        default:
            return chosen[random() % chosen.size()];
    }
}

// Every fixed index with every chosen voltage, the voltage parameters with every 16-bit edge and
// each limit, then random requests.
std::vector<Request> requests(const Source& source) {
    std::vector<Request> out;
    const std::vector<double> chosen = chosenVolts(source);
    for (const uint32_t index : kIndices) {
        for (const double volts : chosen) {
            out.push_back({false, index, volts, 0});
        }
    }
    std::vector<int16_t> values(std::begin(kInt16Edges), std::end(kInt16Edges));
    for (int s = 0; s < 2; ++s) {
        for (const double limit : {source.limits[s].lower, source.limits[s].upper}) {
            for (const double offset : {-1.0, 0.0, 1.0}) {
                const double value = limit + offset;
                if (value >= -32768.0 && value <= 32767.0) {
                    values.push_back(static_cast<int16_t>(value));
                }
            }
        }
    }
    for (uint32_t param = 0; param < 2 && source.hasVoltageParameters(); ++param) {
        for (const int16_t value : values) {
            out.push_back({true, param, 0.0, value});
        }
    }
    std::mt19937 random(seed());
    for (int i = 0; i < source.randomRequests(); ++i) {
        if (source.hasVoltageParameters() && random() % 8 == 0) {
            out.push_back(
                {true, static_cast<uint32_t>(random() % 2), 0.0, static_cast<int16_t>(random())});
            continue;
        }
        const uint32_t index =
            random() % 2 == 0 ? kIndices[random() % std::size(kIndices)] : random();
        out.push_back({false, index, randomVolts(random, chosen), 0});
    }
    return out;
}

// Makes every request on the device and looks at the source after each; returns how many
// voltages reached each output, so a device that refused everything does not pass unseen.
std::vector<size_t> check(jd::IHwDevHvSrc* device, Source& source) {
    std::vector<size_t> reached(2, 0);
    host::ParamList& params = hvtest::PluginHost::params(device);
    int failures = 0;
    source.fresh();
    for (const Request& request : requests(source)) {
        if (request.write) {
            params.write(request.index == 0 ? "Voltage1" : "Voltage2", request.value);
        } else {
            device->setVoltage(request.index, request.volts);
        }
        for (const Received& got : source.fresh()) {
            const Limits& limits = source.limits[got.source];
            if (got.what.rfind("its ", 0) != 0) {
                ++reached[static_cast<size_t>(got.source)];
            }
            if (!(got.volts >= limits.lower && got.volts <= limits.upper) && ++failures <= 10) {
                ADD_FAILURE() << request.text() << ": source " << got.source << " took "
                              << got.volts << " V from " << got.what << ", outside ["
                              << limits.lower << ", " << limits.upper << "]";
            }
        }
    }
    EXPECT_EQ(0, failures);
    return reached;
}

class Safety : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        seed();
    }
    void TearDown() override { sim_reset(); }
    bool start(const std::string& name, size_t devices) {
        const bool started = host.start(hvtest::freshDirectory("safety_" + name));
        EXPECT_TRUE(started);
        EXPECT_EQ(devices, host.deviceCount());
        return started && devices == host.deviceCount();
    }

    hvtest::PluginHost host;
};

TEST_F(Safety, CurrentModelSendsNoVoltageOutsideTheLimits) {
    // Asymmetric limits (the second source's reported upside down), the whole 16-bit range, and
    // a source whose range query failed at start-up: then only 0 V may go out.
    CurrentSource sources[3];
    const int16_t ranges[3][2][2] = {
        {{-1200, 3000}, {2500, -300}}, {{-32768, 32767}, {0, 0}}, {{-500, 500}, {-500, 500}}};
    for (int i = 0; i < 3; ++i) {
        const std::string description = "Tessaro HV Source: " + std::to_string(i + 1);
        sources[i].bridge = sim_hvsrc_attach(description.c_str(), description.c_str());
        for (int s = 0; s < 2; ++s) {
            sim_hvsrc_set_range(sources[i].bridge, s, ranges[i][s][0], ranges[i][s][1]);
            sources[i].limits[s] = {std::min<double>(ranges[i][s][0], ranges[i][s][1]),
                                    std::max<double>(ranges[i][s][0], ranges[i][s][1])};
        }
    }
    // The third answers every start-up exchange, its ranges included, with an error status:
    // the limits it sent in those answers are no limits.
    sim_hvsrc_fault(sources[2].bridge, SIM_HV_BAD_STATUS, 1);
    ASSERT_TRUE(start("current", 3));
    sim_hvsrc_clear_faults(sources[2].bridge);
    for (int s = 0; s < 2; ++s) {
        ASSERT_EQ(0.0, host.device(2)->minVoltage(s));
        ASSERT_EQ(0.0, host.device(2)->maxVoltage(s));
        sources[2].limits[s] = {0.0, 0.0};
    }

    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE("source " + std::to_string(i + 1));
        const std::vector<size_t> reached = check(host.device(static_cast<size_t>(i)), sources[i]);
        EXPECT_GT(reached[0], 50u);
        EXPECT_GT(reached[1], 50u);
    }
}

TEST_F(Safety, LegacySourceSendsNoVoltageOutsideTheLimits) {
    LegacySource source;
    source.bridge = sim_hvold_attach("HV source AVR", "OLD");
    ASSERT_TRUE(start("legacy", 1));
    const std::vector<size_t> reached = check(host.device(0), source);
    EXPECT_GT(reached[0], 50u);
    EXPECT_GT(reached[1], 50u);
}

TEST_F(Safety, BiasModuleSendsNoVoltageOutsideTheLimits) {
    // A positive module of 0 to 90 V and a negative one of -100 to 0 V.
    BiasSource sources[2];
    sources[0].bridge = sim_bias_attach("BiasModule: 1", "BM1");
    sources[0].limits[0] = {0.0, 90.0};
    sources[1].bridge = sim_bias_attach("BiasModule: 2", "BM2");
    sim_bias_set_limits(sources[1].bridge, -1000, 0);
    sim_bias_set_polarity(sources[1].bridge, 0);
    sources[1].positive = false;
    sources[1].limits[0] = {-100.0, 0.0};
    ASSERT_TRUE(start("bias", 2));
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE("module " + std::to_string(i + 1));
        EXPECT_GT(check(host.device(static_cast<size_t>(i)), sources[i])[0], 50u);
    }
}

}  // namespace
