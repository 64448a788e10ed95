// A silicon sensor as a source's load, shared by the source models that measure current. Below
// full depletion the leakage grows as the square root of the bias, above it stays at its full
// value, and past the breakdown voltage it grows exponentially, a factor e every kKneeVolts.
// Measurement noise is relative and Gaussian, from a generator seeded per model so that a
// scenario gives the same readings on every run. Internal to the stand-in driver.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>

namespace simsensor {

// Volts over which the current past breakdown grows by a factor e: steep within a few volts.
constexpr double kKneeVolts = 2.0;
// Largest exponent of the breakdown term, so the current stays finite far past the knee.
constexpr double kMaxKneeExponent = 40.0;

struct Sensor {
    double leak = 0.0;       // amperes at full depletion; 0: no sensor
    double depletion = 0.0;  // volts; 0: depleted at any bias
    double breakdown = 0.0;  // volts; 0: no breakdown
};

// The sensor's current in amperes at the output `volts`; its sign follows the bias.
inline double current(const Sensor& s, double volts) {
    const double bias = std::fabs(volts);
    if (s.leak <= 0.0 || bias <= 0.0) {
        return 0.0;
    }
    double amps = s.leak;
    if (s.depletion > 0.0 && bias < s.depletion) {
        amps *= std::sqrt(bias / s.depletion);
    }
    if (s.breakdown > 0.0 && bias > s.breakdown) {
        amps *= std::exp(std::min(kMaxKneeExponent, (bias - s.breakdown) / kKneeVolts));
    }
    return volts < 0.0 ? -amps : amps;
}

class Noise {
public:
    explicit Noise(uint32_t seed = 1) : engine_(seed) {}
    // A relative spread of 0 leaves every value as it is.
    void setRelative(double relative) { relative_ = relative; }
    double apply(double value) {
        if (relative_ <= 0.0) {
            return value;
        }
        return value * (1.0 + relative_ * gauss_(engine_));
    }

private:
    std::mt19937 engine_;
    std::normal_distribution<double> gauss_{0.0, 1.0};
    double relative_ = 0.0;
};

}  // namespace simsensor
