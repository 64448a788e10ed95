// No voltage outside a source's limits reaches it, whatever a host asks through the plug-in and its
// lists, as the simulated source decodes it. The seed is printed; HVSRC_PROPERTY_SEED sets another.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>

#include "plugin_host.h"
#include "sim_kinds.h"

namespace {

constexpr uint32_t kIndices[] = {0, 1, 2, 255, 256, 257, 0xFFFFFFFFu};
constexpr int16_t kInt16Edges[] = {-32768, -32767, -1, 0, 1, 32766, 32767};

const uint32_t kSeed = std::getenv("HVSRC_PROPERTY_SEED") != nullptr
                           ? std::strtoul(std::getenv("HVSRC_PROPERTY_SEED"), nullptr, 10)
                           : 2012u;

struct Limits {
    double lower, upper;
};

// One request as a host makes it: a write of "Voltage<index + 1>", or a setVoltage.
struct Request {
    bool write;
    uint32_t index;
    double volts;   // setVoltage's
    int16_t value;  // the write's

    std::string text() const {
        char out[160];
        write ? std::snprintf(out, sizeof(out), "write Voltage%" PRIu32 " = %d", index + 1, value)
              : std::snprintf(out, sizeof(out), "setVoltage(index %" PRIu32 ", %.17g V = %a)",
                              index, volts, volts);
        return out;
    }
};

// A simulated source, the limits it must stay within, and what reached it.
struct Source {
    explicit Source(simkind::Kind k) : kind(k) {}
    simkind::Kind kind;
    int bridge = 0;
    Limits limits[2] = {};
    bool positive = true;  // a bias module's polarity
    int seen = 0;
    size_t reached[2] = {0, 0};  // set requests on the wire per output
    int failures = 0;

    int outputs() const { return kind == simkind::kBias ? 1 : 2; }
    // After `request`: every request received since the last look (an unknown one is a failure)
    // and each output's set voltage lie within the limits.
    void look(const std::string& request) {
        const auto took = [&](int s, double volts, const std::string& what) {
            if (!(volts >= limits[s].lower && volts <= limits[s].upper) && ++failures <= 10) {
                ADD_FAILURE() << request << ": source " << s << " took " << volts << " V from "
                              << what << ", outside [" << limits[s].lower << ", " << limits[s].upper
                              << "]";
            }
        };
        for (const simkind::Request& r : simkind::requestsSince(kind, bridge, seen, positive)) {
            ++seen;
            if (!r.sound) {
                took(0, std::nan(""), "\"" + r.text + "\", which it does not know");
            } else if (r.source >= 0 && r.source < outputs()) {
                ++reached[r.source];
                took(r.source, r.volts, "\"" + r.text + "\"");
            }
        }
        for (int s = 0; s < outputs(); ++s) {
            double set = 0.0;
            simkind::lastSet(kind, bridge, s, set, positive);
            took(s, set, "its set voltage");
        }
    }
};

// Every fixed index with each chosen voltage (special doubles, each limit -1, -0.5, exact, +0.5
// and +1, the 16- and 32-bit edges), the voltage parameters (the bias module has none) at the
// 16-bit edges and each chosen voltage, then random requests (fewer for the bias module) with any
// bit pattern (every exponent, NaNs and infinities) or a chosen voltage, exact or moved a little.
std::vector<Request> requests(const Source& source) {
    using L = std::numeric_limits<double>;
    std::vector<double> chosen = {std::nan(""), -std::nan(""), L::infinity(),   -L::infinity(),
                                  0.0,          -0.0,          L::denorm_min(), -L::denorm_min(),
                                  L::min() / 3, 1e300,         -1e300,          L::max(),
                                  -L::max()};
    chosen.insert(chosen.end(),
                  {32767.0, 32768.0, -32768.0, -32769.0, 65535.0, 65536.0, 2147483647.0,
                   2147483648.0, -2147483648.0, -2147483649.0, 4294967396.0});
    for (int s = 0; s < source.outputs(); ++s) {
        for (const double limit : {source.limits[s].lower, source.limits[s].upper}) {
            for (const double offset : {-1.0, -0.5, 0.0, 0.5, 1.0}) {
                chosen.push_back(limit + offset);
            }
        }
    }
    std::vector<Request> out;
    for (const uint32_t index : kIndices) {
        for (const double volts : chosen) {
            out.push_back({false, index, volts, 0});
        }
    }
    const bool params = source.kind != simkind::kBias;
    std::vector<int16_t> values(std::begin(kInt16Edges), std::end(kInt16Edges));
    for (const double volts : chosen) {
        if (volts >= -32768.0 && volts <= 32767.0) {
            values.push_back(static_cast<int16_t>(volts));
        }
    }
    for (uint32_t param = 0; param < 2 && params; ++param) {
        for (const int16_t value : values) {
            out.push_back({true, param, 0.0, value});
        }
    }
    std::mt19937 random(kSeed);
    for (int i = 0; i < (params ? 1500 : 500); ++i) {
        const uint64_t bits = (static_cast<uint64_t>(random()) << 32) | random();
        double volts = chosen[random() % chosen.size()] +
                       (random() % 2) * std::uniform_real_distribution<double>(-2.0, 2.0)(random);
        if (random() % 3 == 0) {
            std::memcpy(&volts, &bits, sizeof(volts));
        }
        const uint32_t index =
            random() % 2 == 0 ? kIndices[random() % std::size(kIndices)] : random();
        out.push_back(params && random() % 8 == 0
                          ? Request{true, index % 2, 0.0, static_cast<int16_t>(random())}
                          : Request{false, index, volts, 0});
    }
    return out;
}

// Starts the plug-in over the sources and makes every request of each; enough must reach each
// output, so that a device refusing everything does not pass.
void run(const std::string& name, std::vector<Source>& sources) {
    std::printf("request seed %" PRIu32 " (HVSRC_PROPERTY_SEED=%" PRIu32 " replays it)\n", kSeed,
                kSeed);
    hvtest::PluginHost host;
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
        Source& source = sources[i];
        jd::IHwDevHvSrc* device = host.device(i);
        source.seen =
            static_cast<int>(simkind::requestsSince(source.kind, source.bridge, 0).size());
        for (const Request& request : requests(source)) {
            request.write ? hvtest::PluginHost::params(device).write(
                                request.index == 0 ? "Voltage1" : "Voltage2", request.value)
                          : device->setVoltage(request.index, request.volts);
            source.look(request.text());
        }
        EXPECT_EQ(0, source.failures);
        for (int s = 0; s < source.outputs(); ++s) {
            EXPECT_GT(source.reached[s], 50u) << "output " << s;
        }
    }
    sim_reset();
}

TEST(Safety, CurrentModelSendsNoVoltageOutsideTheLimits) {
    // Asymmetric limits (one reported upside down), the whole 16-bit range, a failed range query.
    const int16_t ranges[3][2][2] = {
        {{-1200, 3000}, {2500, -300}}, {{-32768, 32767}, {0, 0}}, {{-500, 500}, {-500, 500}}};
    sim_reset();
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

TEST(Safety, LegacySourceSendsNoVoltageOutsideTheLimits) {
    sim_reset();
    std::vector<Source> sources(1, Source(simkind::kOld));
    sources[0].bridge = sim_hvold_attach("HV source AVR", "OLD");
    sources[0].limits[0] = {0, 1000};
    sources[0].limits[1] = {-1000, 0};
    run("legacy", sources);
}

TEST(Safety, BiasModuleSendsNoVoltageOutsideTheLimits) {
    // A positive module of 0 to 90 V and a negative one of -100 to 0 V.
    sim_reset();
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
