// What hvsrc-host knows about each kind of source: how it is recognised through the device
// interface, what voltage steps it takes, what its current readings are, and what its polarity
// answer means.
#pragma once

#include <cstdint>
#include <string>

#include "jd/IHwDev.h"

namespace host {

enum class SourceKind { HvSource, LegacyHvSource, BiasModule };

struct KindTraits {
    const char* label;             // "HV source", "legacy HV source", "bias module"
    int stepsPerVolt;              // 1: whole volts; 10: tenths of a volt
    const char* stepText;          // "whole volts", "tenths of a volt"
    const char* currentUnit;       // unit of readCurrent; null: the source measures no current
    const char* senseCurrentText;  // what a CurrentSense parameter holds; null: no parameters
};

// Both HV source kinds call themselves "HV Source"; the legacy one is told apart by what it
// always answers: no firmware text, device number 1, and two sources fixed at 0..1000 V and
// -1000..0 V.
SourceKind classify(jd::IHwDevHvSrc* device, const std::string& firmware);
const KindTraits& traits(SourceKind kind);
// Amperes of one unit of the kind's current readings (0 where it measures none).
double ampsPer(SourceKind kind);

// The voltage the library sends for a request, as it cuts it: toward zero to whole volts, or to
// tenths for the bias module.
double sentVoltage(SourceKind kind, double volts);
// The same in the kind's steps (volts or tenths).
int64_t sentSteps(SourceKind kind, double volts);
// A request that the library sends as exactly `steps` steps.
double requestForSteps(SourceKind kind, int64_t steps);
// A voltage for display: "%g" of the value.
std::string voltsText(double volts);

// The polarity answer as words; HV sources answer 0 whatever their outputs do.
std::string polarityText(SourceKind kind, int polarity);
// A measured voltage in the terms a set voltage uses. The bias module takes the magnitude and
// puts its polarity's sign on the output, so a NEG module set to 40 V reads -40 V.
double toSetScale(SourceKind kind, jd::IHwDevHvSrc* device, double measured);

}  // namespace host
