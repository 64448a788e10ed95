// A source as hvsrc-host drives it: its address, its voltages with the output's sign, its limits
// in those terms, and each exchange with its outcome. The library answers a failed reading with
// a value of 0 and a new lastError text, so every exchange here compares the device's lastError
// before and after: a reading that failed is never passed on as a value.
#pragma once

#include <cstdint>
#include <string>

#include "ops/Session.h"

namespace host {

// One reading of a source: both values, or why there are none.
struct SourceReading {
    bool ok = false;
    double volts = 0.0;
    double current = 0.0;  // in the kind's unit; 0 where the source measures no current
    std::string error;     // !ok: the device's reason
};

// Voltage and (where measured) current; failed when either exchange left a new error text.
SourceReading readSource(Device& device, uint32_t src);

// The outcome of a set: refused (the library's range check, before anything was sent) or failed
// (the exchange with the source), each with the device's reason.
struct SetOutcome {
    int rc = 0;
    bool refused = false;
    std::string reason;
    bool ok() const { return rc == 0; }
    // "refused" or "failed"
    const char* word() const { return refused ? "refused" : "failed"; }
};

// Sets a source to `outputVolts` (the output's voltage, with its sign).
SetOutcome setSource(Device& device, uint32_t src, double outputVolts);

// The request the library gets for an output voltage, and back.
double requestFor(const Device& device, double outputVolts);
double outputOf(const Device& device, double request);

// Where the limits of a source come from.
struct SourceLimits {
    bool known = false;  // false: the plug-in keeps none for this source
    double low = 0.0, high = 0.0;
};
// In output terms; a bias module's limits are cut to its polarity's side of 0 V.
SourceLimits outputLimits(const Device& device, uint32_t src);

// Empty when `outputVolts` may be asked of the source, else why not. `bound` (when known) is a
// range the user gave for this command; it is the only limit of a source whose limits the
// plug-in does not keep.
std::string checkTarget(const Device& device, size_t dev, uint32_t src, double outputVolts,
                        const SourceLimits& bound);

// How close a reading must come to `volts` to count as there: `asked` when the user gave one
// (above 0), else 1 V or 1 % of `volts`, whichever is more.
double settleTolerance(double asked, double volts);

// "hv:1", "legacy:1", "bias:3"
std::string addressOf(SourceKind kind, uint32_t number);

}  // namespace host
