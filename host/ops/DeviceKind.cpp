#include "ops/DeviceKind.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace host {

namespace {

const KindTraits kTraits[] = {
    {"HV source", 1, "whole volts", "uA",
     "measured current in nA (a raw count; read shows it / 1000 in uA)"},
    {"legacy HV source", 1, "whole volts", nullptr, "always 0: this source measures no current"},
    {"bias module", 10, "tenths of a volt", "mA", nullptr},
};

// The largest magnitude in tenths that the bias module's command takes.
constexpr double kMaxTenths = 2147483647.0;

}  // namespace

SourceKind classify(jd::IHwDevHvSrc* device, const std::string& firmware) {
    if (std::strcmp(device->deviceName(), "BiasMod") == 0) {
        return SourceKind::BiasModule;
    }
    jd::HwDevInfo info{};
    device->getInfo(&info);
    const bool legacy = firmware.empty() && info.number == 1 && device->sourceCount() == 2 &&
                        device->minVoltage(0) == 0.0 && device->maxVoltage(0) == 1000.0 &&
                        device->minVoltage(1) == -1000.0 && device->maxVoltage(1) == 0.0;
    return legacy ? SourceKind::LegacyHvSource : SourceKind::HvSource;
}

const KindTraits& traits(SourceKind kind) {
    return kTraits[static_cast<int>(kind)];
}

int64_t sentSteps(SourceKind kind, double volts) {
    if (kind != SourceKind::BiasModule) {
        return static_cast<int64_t>(std::trunc(volts));
    }
    const double tenths = std::fabs(volts * 10.0);
    const int64_t magnitude = tenths <= kMaxTenths ? static_cast<int32_t>(tenths) : 0;
    return volts < 0.0 ? -magnitude : magnitude;
}

double sentVoltage(SourceKind kind, double volts) {
    return static_cast<double>(sentSteps(kind, volts)) / traits(kind).stepsPerVolt;
}

double requestForSteps(SourceKind kind, int64_t steps) {
    double volts = static_cast<double>(steps) / traits(kind).stepsPerVolt;
    // n / 10.0 * 10.0 can come out a hair below n; the next double away from zero cuts to n.
    if (sentSteps(kind, volts) != steps) {
        volts = std::nextafter(volts, steps < 0 ? -HUGE_VAL : HUGE_VAL);
    }
    return volts;
}

double ampsPer(SourceKind kind) {
    const char* unit = traits(kind).currentUnit;
    return unit == nullptr ? 0.0 : std::string(unit) == "mA" ? 1e-3 : 1e-6;
}

std::string voltsText(double volts) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%g", volts == 0.0 ? 0.0 : volts);
    return buffer;
}

std::string polarityText(SourceKind kind, int polarity) {
    if (kind != SourceKind::BiasModule) {
        return "- (limits give the sign)";
    }
    return polarity == 1   ? "POS (positive output)"
           : polarity == 0 ? "NEG (negative output)"
                           : "unknown (no valid answer)";
}

double toSetScale(SourceKind kind, jd::IHwDevHvSrc* device, double measured) {
    if (kind != SourceKind::BiasModule) {
        return measured;
    }
    if (device->minVoltage(0) >= 0.0) {
        return std::fabs(measured);
    }
    return device->maxVoltage(0) <= 0.0 ? -std::fabs(measured) : measured;
}

}  // namespace host
