// The current HV source model against the input's peer: a SetVoltage frame never carries a voltage
// outside the device's limits; a successful set sent the frame asked for and read its answer last.
#include <cmath>

#include "HvDev.h"
#include "fuzz_device.h"

namespace {

struct Checks {
    static void set(HwHvSrc::HvDev& device, int /*initialized*/, const fuzz::SetOutcome& set) {
        const std::string& w = set.written;
        FUZZ_CHECK(w.size() <= 5);
        int32_t value = 0;
        if (w.size() == 5) {
            FUZZ_CHECK(w[0] == 0x55 && w[1] == 0x05);
            const unsigned char source = static_cast<unsigned char>(w[2]);
            value = static_cast<int16_t>((static_cast<unsigned char>(w[3]) << 8) |
                                         static_cast<unsigned char>(w[4]));
            if (source < 2) {
                FUZZ_CHECK(value >= device.minVoltage(source) &&
                           value <= device.maxVoltage(source));
            }
        }
        if (!set.request.viaParameter && set.result == 0) {
            FUZZ_CHECK(w.size() == 5);
            FUZZ_CHECK(static_cast<unsigned char>(w[2]) == (set.request.index & 0xFFu));
            FUZZ_CHECK(value == std::trunc(set.request.volts));
            // Input left over from before is drained ahead of the request; the answer is what
            // was read last.
            const std::string answer("\x05\x00\x0A", 3);
            FUZZ_CHECK(set.read.size() >= answer.size() &&
                       set.read.compare(set.read.size() - answer.size(), answer.size(), answer) ==
                           0);
        }
    }
    static void reading(double volts) {
        FUZZ_CHECK(volts == std::trunc(volts) && volts >= -32768.0 && volts <= 32767.0);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return fuzz::driveDevice<HwHvSrc::HvDev, Checks>(data, size, "Tessaro HV Source: 1");
}
