// The bias module against the input's peer: "setU(..)" never asks for more than the limits allow,
// and a successful set sent one whole command for a voltage within them.
#include <algorithm>
#include <cmath>

#include "BiasSrcDev.h"
#include "fuzz_device.h"

namespace {

struct Checks {
    static void set(HwHvSrc::BiasSrcDev& device, int /*initialized*/, const fuzz::SetOutcome& set) {
        const std::string& w = set.written;
        const double lower = device.minVoltage(0);
        const double upper = device.maxVoltage(0);
        const std::string command = "setU(";
        FUZZ_CHECK(w.empty() || w.compare(0, command.size(), command) == 0 ||
                   command.compare(0, w.size(), w) == 0);
        if (w.size() > command.size()) {
            // Tenths of a volt, the magnitude only.
            const long long tenths = fuzz::numberAfter(w, command.size());
            FUZZ_CHECK(tenths >= 0 && tenths <= 10 * std::max(std::fabs(lower), std::fabs(upper)));
        }
        if (!set.request.viaParameter && set.result == 0) {
            FUZZ_CHECK(set.request.volts >= lower && set.request.volts <= upper);
            FUZZ_CHECK(w.size() > command.size() + 2 && w.compare(w.size() - 2, 2, ")\n") == 0);
        }
        if (set.request.viaParameter) {
            FUZZ_CHECK(w.empty());  // the module has no voltage parameters
        }
    }
    static void reading(double volts) { FUZZ_CHECK(volts >= -3276.8 && volts <= 3276.7); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::driveDevice<HwHvSrc::BiasSrcDev, Checks>(data, size, "BiasModule: 3");
}
