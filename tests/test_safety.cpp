// No voltage outside a source's limits reaches it, whatever a host asks through the plug-in and
// its parameter lists; after each request the simulated source's decoded wire is looked at. The
// seed is printed; HVSRC_PROPERTY_SEED chooses another.
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

#include "plugin_host.h"
#include "sim_kinds.h"

namespace {

constexpr uint32_t kIndices[] = {0, 1, 2, 255, 256, 257, 0xFFFFFFFFu};
constexpr int16_t kInt16Edges[] = {-32768, -32767, -1, 0, 1, 32766, 32767};

uint32_t seed() {
    const char* text = std::getenv("HVSRC_PROPERTY_SEED");
    return text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 2012u;
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

// A voltage a source took: from a request on the wire, or as its output's set voltage.
struct Received {
    int source;
    double volts;
    std::string what;
    bool fromWire;
};

// A simulated source: what it took since the last look, and the limits it must stay within.
struct Source {
    explicit Source(simkind::Kind k) : kind(k) {}
    simkind::Kind kind;
    int bridge = 0;
    Limits limits[2] = {};
    bool positive = true;  // a bias module's polarity
    int seen = 0;

    int outputs() const { return kind == simkind::kBias ? 1 : 2; }
    bool hasVoltageParameters() const { return kind != simkind::kBias; }
    // Fewer for the bias module: one output whatever the index, and each set is a whole exchange.
    int randomRequests() const { return kind == simkind::kBias ? 500 : 1500; }

    // A frame for a source the model lacks reaches no output; an unknown request is a failure.
    std::vector<Received> fresh() {
        std::vector<Received> out;
        for (const simkind::Request& r : simkind::requestsSince(kind, bridge, seen, positive)) {
            ++seen;
            if (!r.sound) {
                out.push_back(
                    {0, std::nan(""), "\"" + r.text + "\", which it does not know", true});
            } else if (r.source >= 0 && r.source < outputs()) {
                out.push_back({r.source, r.volts, "\"" + r.text + "\"", true});
            }
        }
        for (int s = 0; s < outputs(); ++s) {
            double set = 0.0;
            simkind::lastSet(kind, bridge, s, set, positive);
            out.push_back({s, set, "its set voltage", false});
        }
        return out;
    }
};

// Special doubles, each limit -1, -0.5, exact, +0.5 and +1, and the 16- and 32-bit edges.
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

// Every fixed index with every chosen voltage, the voltage parameters at the 16-bit edges and the
// limits, then random requests.
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

// Every request, then a look at the source; enough must reach each output, so that a device
// refusing everything does not pass.
void check(jd::IHwDevHvSrc* device, Source& source) {
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
            reached[static_cast<size_t>(got.source)] += got.fromWire ? 1 : 0;
            if (!(got.volts >= limits.lower && got.volts <= limits.upper) && ++failures <= 10) {
                ADD_FAILURE() << request.text() << ": source " << got.source << " took "
                              << got.volts << " V from " << got.what << ", outside ["
                              << limits.lower << ", " << limits.upper << "]";
            }
        }
    }
    EXPECT_EQ(0, failures);
    for (int s = 0; s < source.outputs(); ++s) {
        EXPECT_GT(reached[static_cast<size_t>(s)], 50u) << "output " << s;
    }
}

class Safety : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        std::printf("request seed %" PRIu32 " (HVSRC_PROPERTY_SEED=%" PRIu32 " replays it)\n",
                    seed(), seed());
    }
    void TearDown() override { sim_reset(); }
    // Starts the plug-in over the sources, then checks each.
    void run(const std::string& name, std::vector<Source>& sources) {
        ASSERT_TRUE(host.start(hvtest::freshDirectory("safety_" + name)));
        ASSERT_EQ(sources.size(), host.deviceCount());
        if (sources[0].kind == simkind::kHv) {
            // The last answered every start-up exchange with an error status: only 0 V may go.
            sim_hvsrc_clear_faults(sources.back().bridge);
            for (int s = 0; s < 2; ++s) {
                ASSERT_EQ(0.0, host.device(sources.size() - 1)->minVoltage(s));
                ASSERT_EQ(0.0, host.device(sources.size() - 1)->maxVoltage(s));
                sources.back().limits[s] = {0.0, 0.0};
            }
        }
        for (size_t i = 0; i < sources.size(); ++i) {
            SCOPED_TRACE(name + " source " + std::to_string(i + 1));
            check(host.device(i), sources[i]);
        }
    }

    hvtest::PluginHost host;
};

TEST_F(Safety, CurrentModelSendsNoVoltageOutsideTheLimits) {
    // Asymmetric limits (one reported upside down), the whole 16-bit range, a failed range query.
    const int16_t ranges[3][2][2] = {
        {{-1200, 3000}, {2500, -300}}, {{-32768, 32767}, {0, 0}}, {{-500, 500}, {-500, 500}}};
    std::vector<Source> sources(3, Source(simkind::kHv));
    for (int i = 0; i < 3; ++i) {
        const std::string description = "Tessaro HV Source: " + std::to_string(i + 1);
        sources[i].bridge = sim_hvsrc_attach(description.c_str(), description.c_str());
        for (int s = 0; s < 2; ++s) {
            sim_hvsrc_set_range(sources[i].bridge, s, ranges[i][s][0], ranges[i][s][1]);
            sources[i].limits[s] = {std::min<double>(ranges[i][s][0], ranges[i][s][1]),
                                    std::max<double>(ranges[i][s][0], ranges[i][s][1])};
        }
    }
    sim_hvsrc_fault(sources[2].bridge, SIM_HV_BAD_STATUS, 1);
    run("current", sources);
}

TEST_F(Safety, LegacySourceSendsNoVoltageOutsideTheLimits) {
    std::vector<Source> sources(1, Source(simkind::kOld));
    sources[0].bridge = sim_hvold_attach("HV source AVR", "OLD");
    sources[0].limits[0] = {0, 1000};
    sources[0].limits[1] = {-1000, 0};
    run("legacy", sources);
}

TEST_F(Safety, BiasModuleSendsNoVoltageOutsideTheLimits) {
    // A positive module of 0 to 90 V and a negative one of -100 to 0 V.
    std::vector<Source> sources(2, Source(simkind::kBias));
    sources[0].bridge = sim_bias_attach("BiasModule: 1", "BM1");
    sources[0].limits[0] = {0.0, 90.0};
    sources[1].bridge = sim_bias_attach("BiasModule: 2", "BM2");
    sim_bias_set_limits(sources[1].bridge, -1000, 0);
    sim_bias_set_polarity(sources[1].bridge, 0);
    sources[1].positive = false;
    sources[1].limits[0] = {-100.0, 0.0};
    run("bias", sources);
}

}  // namespace
