// One device driven as a host drives it (start-up, one set, one reading) against the input's peer,
// built once per kind (FUZZ_HVDEV, FUZZ_HVOLD, FUZZ_BIAS). Whatever the answers: a set voltage
// outside the limits never reaches the wire, a successful set sent the whole request, and the
// current model's answer is the last bytes read.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "HostFramework.h"
#include "fuzz_support.h"

#if defined(FUZZ_HVDEV)
#include "HvDev.h"
using Device = HwHvSrc::HvDev;
const char* const kDescription = "Tessaro HV Source: 1";
#elif defined(FUZZ_HVOLD)
#include "HvDevOld.h"
using Device = HwHvSrc::HvDevOld;
const char* const kDescription = "HV source AVR";
#else
#include "BiasSrcDev.h"
using Device = HwHvSrc::BiasSrcDev;
const char* const kDescription = "BiasModule: 3";
#endif

namespace {

// What was asked, setVoltage's result (0 for a parameter write) and the set's traffic.
struct Set {
    uint32_t index = 0;
    double volts = 0.0;
    bool viaParameter = false;
    int result = 0;
    std::string written, read;
};

// The digits after `prefix` (at most ten: more is out of every range) as a number; -1 if none.
[[maybe_unused]] long long numberAfter(const std::string& text, size_t prefix) {
    const size_t end = std::min(text.find_first_not_of("0123456789", prefix), text.size());
    return end == prefix ? -1 : std::stoll(text.substr(prefix, std::min<size_t>(end - prefix, 10)));
}

#if defined(FUZZ_HVDEV)
// A SetVoltage frame (0x55 0x05 source value) within the source's limits; a successful set sent
// the frame asked for, and its answer is what was read last (stale input is drained before).
void checkSet(Device& device, const Set& set) {
    const std::string& w = set.written;
    FUZZ_CHECK(w.size() < 5 || (w.size() == 5 && w[0] == 0x55 && w[1] == 0x05));
    const int32_t value =
        w.size() == 5
            ? static_cast<int16_t>((static_cast<uint8_t>(w[3]) << 8) | static_cast<uint8_t>(w[4]))
            : 0;
    if (w.size() == 5 && static_cast<uint8_t>(w[2]) < 2) {
        const int source = static_cast<uint8_t>(w[2]);
        FUZZ_CHECK(value >= device.minVoltage(source) && value <= device.maxVoltage(source));
    }
    if (!set.viaParameter && set.result == 0) {
        FUZZ_CHECK(w.size() == 5 && static_cast<uint8_t>(w[2]) == (set.index & 0xFFu));
        FUZZ_CHECK(value == std::trunc(set.volts));
        const std::string answer("\x05\x00\x0A", 3);
        FUZZ_CHECK(set.read.size() >= answer.size() &&
                   set.read.compare(set.read.size() - answer.size(), answer.size(), answer) == 0);
    }
}
void checkReading(double volts) {
    FUZZ_CHECK(volts == std::trunc(volts) && volts >= -32768.0 && volts <= 32767.0);
}
#elif defined(FUZZ_HVOLD)
// Quarter volts 0 to 4000 for either source (source 1 sends the negated value), then 'a' or 'b';
// a successful set wrote its whole text.
void checkSet(Device&, const Set& set) {
    const std::string& w = set.written;
    const bool whole = !w.empty() && (w.back() == 'a' || w.back() == 'b');
    if (whole) {
        const long long quarters = numberAfter(w, 0);
        FUZZ_CHECK(quarters >= 0 && quarters <= 4000);
        FUZZ_CHECK(static_cast<size_t>(w.find_first_not_of("0123456789")) == w.size() - 1);
    }
    FUZZ_CHECK(set.viaParameter || set.result != 0 || whole);
}
void checkReading(double) {}
#else
// "setU(" and tenths of a volt (the magnitude only) within the limits; a successful set asked for
// a voltage within them and sent the whole command; the module has no voltage parameters.
void checkSet(Device& device, const Set& set) {
    const std::string& w = set.written;
    const double lower = device.minVoltage(0), upper = device.maxVoltage(0);
    const std::string command = "setU(";
    FUZZ_CHECK(w.empty() || w.compare(0, command.size(), command) == 0 ||
               command.compare(0, w.size(), w) == 0);
    if (w.size() > command.size()) {
        const long long tenths = numberAfter(w, command.size());
        FUZZ_CHECK(tenths >= 0 && tenths <= 10 * std::max(std::fabs(lower), std::fabs(upper)));
    }
    if (!set.viaParameter && set.result == 0) {
        FUZZ_CHECK(set.volts >= lower && set.volts <= upper);
        FUZZ_CHECK(w.size() > command.size() + 2 && w.compare(w.size() - 2, 2, ")\n") == 0);
    }
    FUZZ_CHECK(!set.viaParameter || w.empty());
}
void checkReading(double volts) {
    FUZZ_CHECK(volts >= -3276.8 && volts <= 3276.7);
}
#endif

}  // namespace

// Start-up (open or bit mode may fail); one set of index 0, 1, 2 or any, of volts whole, tenths,
// any double or quarter volts near a limit, through setVoltage or, saturated to 16 bits,
// "Voltage1" (index 0) or "Voltage2"; one reading (voltage, current, a sense parameter or
// polarity); the kind's checks, and the error text within its storage.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Line line(kDescription, in);
    const uint8_t setup = in.byte();
    for (const int fn : {FUZZ_FN_OPEN, FUZZ_FN_BITMODE}) {
        fuzz_line_arm(fn, (setup & (fn == FUZZ_FN_OPEN ? 1 : 2)) != 0 ? 1 + in.byte() % 18u : 0);
    }
    host::Framework framework(fuzz::logDirectory());
    Device* device = new Device(kDescription, &framework, fuzz::logDirectory());
    device->initialize();
    host::ParamList* params = static_cast<host::ParamList*>(device->parameters());

    Set set;
    const uint8_t how = in.byte();
    set.index = (how & 3) < 3 ? how & 3u : in.u32();
    set.viaParameter = (how & 0x10) != 0;
    const int32_t index = static_cast<int32_t>(set.index);
    const int form = (how >> 2) & 3;
    set.volts = form == 0   ? static_cast<int16_t>(in.u16())
                : form == 1 ? in.raw64()
                : form == 2
                    ? static_cast<int16_t>(in.u16()) / 10.0
                    : ((how & 0x20) != 0 ? device->maxVoltage(index) : device->minVoltage(index)) +
                          static_cast<int8_t>(in.byte()) / 4.0;
    const size_t written = fuzz::since(fuzz::kWritten, 0).size(),
                 read = fuzz::since(fuzz::kRead, 0).size();
    if (set.viaParameter) {
        set.volts =
            std::isnan(set.volts) ? 0.0 : std::clamp(std::trunc(set.volts), -32768.0, 32767.0);
        params->write(set.index == 0 ? "Voltage1" : "Voltage2", static_cast<int32_t>(set.volts));
    } else {
        set.result = device->setVoltage(set.index, set.volts);
    }
    set.written = fuzz::since(fuzz::kWritten, written);
    set.read = fuzz::since(fuzz::kRead, read);
    checkSet(*device, set);

    const uint8_t reading = in.byte();
    const uint32_t source = (reading & 1) != 0 ? 1 : 0;
    const char* senses[4] = {"VoltageSense1", "VoltageSense2", "CurrentSense1", "CurrentSense2"};
    switch ((reading >> 1) & 3) {
        case 0:
            checkReading(device->readVoltage(source));
            break;
        case 1:
            FUZZ_CHECK(std::isfinite(device->readCurrent(source)));
            break;
        case 2:
            params->read(senses[(reading >> 3) & 3]);
            break;
        default:
            device->polarity();
    }
    FUZZ_CHECK(strnlen(device->lastError(), 1024) < 1024);
    device->release();
    return 0;
}
