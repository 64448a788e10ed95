// The legacy HV source against the input's peer: a set text never asks for a voltage outside the
// fixed limits, and a successful set wrote its whole text.
#include "HvDevOld.h"
#include "fuzz_device.h"

namespace {

struct Checks {
    static void set(HwHvSrc::HvDevOld& /*device*/, int /*initialized*/,
                    const fuzz::SetOutcome& set) {
        const std::string& w = set.written;
        const bool whole = !w.empty() && (w.back() == 'a' || w.back() == 'b');
        if (whole) {
            // Quarter volts: 0 to 4000 for either source (source 1 sends the negated value).
            const long long quarters = fuzz::numberAfter(w, 0);
            FUZZ_CHECK(quarters >= 0 && quarters <= 4000);
            FUZZ_CHECK(static_cast<size_t>(w.find_first_not_of("0123456789")) == w.size() - 1);
        }
        if (!set.request.viaParameter && set.result == 0) {
            FUZZ_CHECK(whole);
        }
    }
    static void reading(double /*volts*/) {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::driveDevice<HwHvSrc::HvDevOld, Checks>(data, size, "HV source AVR");
}
