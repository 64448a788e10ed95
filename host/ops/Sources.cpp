#include "ops/Sources.h"

#include <algorithm>
#include <cmath>

namespace host {

namespace {

// The library's code for a request outside a source's limits.
constexpr int kOutOfRange = -1005;
// Sources per device whose limits the current HV source model's library keeps.
constexpr uint32_t kKeptLimits = 2;

std::string lastError(const Device& device) {
    const char* text = device.dev->lastError();
    return text != nullptr ? text : "";
}

}  // namespace

SourceReading readSource(Device& device, uint32_t src) {
    SourceReading reading;
    const std::string before = lastError(device);
    reading.volts = device.dev->readVoltage(src);
    std::string after = lastError(device);
    if (after != before) {
        reading.error = after.empty() ? "the reading failed" : after;
        return reading;
    }
    if (traits(device.kind).currentUnit != nullptr) {
        reading.current = device.dev->readCurrent(src);
        after = lastError(device);
        if (after != before) {
            reading.error = after.empty() ? "the reading failed" : after;
            return reading;
        }
    }
    reading.ok = true;
    return reading;
}

SetOutcome setSource(Device& device, uint32_t src, double outputVolts) {
    SetOutcome outcome;
    const std::string before = lastError(device);
    outcome.rc = device.dev->setVoltage(src, requestFor(device, outputVolts));
    if (outcome.rc != 0) {
        const std::string after = lastError(device);
        outcome.refused = outcome.rc == kOutOfRange;
        outcome.reason = after != before && !after.empty()
                             ? after
                             : "the library answered " + std::to_string(outcome.rc);
    }
    return outcome;
}

double requestFor(const Device& device, double outputVolts) {
    return outputVolts * device.outSign;
}

double outputOf(const Device& device, double request) {
    const double out = request * device.outSign;
    return out == 0.0 ? 0.0 : out;
}

SourceLimits outputLimits(const Device& device, uint32_t src) {
    SourceLimits limits;
    if (device.kind == SourceKind::HvSource && src >= kKeptLimits) {
        return limits;
    }
    const double a = outputOf(device, device.dev->minVoltage(static_cast<int32_t>(src)));
    const double b = outputOf(device, device.dev->maxVoltage(static_cast<int32_t>(src)));
    limits.known = true;
    limits.low = std::min(a, b);
    limits.high = std::max(a, b);
    if (device.kind == SourceKind::BiasModule && device.polarity == 1) {
        limits.low = std::max(limits.low, 0.0);
    } else if (device.kind == SourceKind::BiasModule && device.polarity == 0) {
        limits.high = std::min(limits.high, 0.0);
    }
    return limits;
}

std::string checkTarget(const Device& device, size_t dev, uint32_t src, double outputVolts,
                        const SourceLimits& bound) {
    const std::string where =
        " of device " + std::to_string(dev) + " source " + std::to_string(src);
    // The HV sources check the voltage cut to whole volts; the bias module the value asked,
    // which it then cuts to tenths of a volt toward 0 V.
    const bool bias = device.kind == SourceKind::BiasModule;
    const double checked = bias ? outputVolts : std::trunc(outputVolts);
    const std::string cut =
        bias ? " (the bias module takes tenths of a volt, cut toward 0 V; its limits apply to "
               "the voltage asked)"
             : "";
    const SourceLimits kept = outputLimits(device, src);
    if (!kept.known && !bound.known && checked != 0.0) {
        return "the plug-in keeps no limits for source " + std::to_string(src) + " of device " +
               std::to_string(dev) + " (the library knows the limits of sources 0 and 1 only); " +
               "bound it for this command with --limits LOW:HIGH";
    }
    for (const SourceLimits* limits : {&kept, &bound}) {
        if (!limits->known) {
            continue;
        }
        const char* whose = limits == &bound ? "the --limits" : "the";
        if (checked > limits->high) {
            return voltsText(outputVolts) + " V is above " + whose + " upper limit " +
                   voltsText(limits->high) + " V" + where + cut;
        }
        if (checked < limits->low) {
            return voltsText(outputVolts) + " V is below " + whose + " lower limit " +
                   voltsText(limits->low) + " V" + where + cut;
        }
    }
    return "";
}

std::string addressOf(SourceKind kind, uint32_t number) {
    const char* word = kind == SourceKind::HvSource         ? "hv"
                       : kind == SourceKind::LegacyHvSource ? "legacy"
                                                            : "bias";
    return std::string(word) + ":" + std::to_string(number);
}

double settleTolerance(double asked, double volts) {
    return asked > 0.0 ? asked : std::max(1.0, 0.01 * std::fabs(volts));
}

}  // namespace host
