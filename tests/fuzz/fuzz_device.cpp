// One device of each kind (FUZZ_HVDEV, FUZZ_HVOLD, FUZZ_BIAS) as a host drives it against the
// input's peer: start-up (open or bit mode may fail); one set of index 0, 1, 2 or any, of volts
// whole, tenths, any double or quarter volts near a limit, by setVoltage or "Voltage1"/"Voltage2";
// one reading. Whatever the answers, the limits are the ones the source announced (or the safe
// ones when it announced none), a voltage outside them never reaches the wire, a successful set
// sent the whole request, and the error text stays in bounds.
#include <algorithm>
#include <cmath>

#include "fuzz_support.h"
#include "refhost/HostFramework.h"

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
#include "BiasSrcProtocol.h"
using Device = HwHvSrc::BiasSrcDev;
const char* const kDescription = "BiasModule: 3";
#endif

namespace {

// The digits after `prefix` (at most ten: more is out of every range) as a number; -1 if none.
[[maybe_unused]] long long numberAfter(const std::string& text, size_t prefix) {
    const size_t end = std::min(text.find_first_not_of("0123456789", prefix), text.size());
    return end == prefix ? -1 : std::stoll(text.substr(prefix, std::min<size_t>(end - prefix, 10)));
}

}  // namespace

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
#if defined(FUZZ_HVDEV)
    // A source's limits come only from a whole GetRanges answer to its request (04, lower, upper,
    // four bytes, 00 0A; the greater is the upper), read first after it; else 0 and 0.
    for (const char source : {'\x00', '\x01'}) {
        const std::string f = fuzz::answerTo(std::string{'\x55', '\x04', source}).bytes;
        const bool whole = f.size() >= 11 && f[0] == 0x04 && f[9] == 0 && f[10] == 0x0A;
        const auto int16At = [&f](size_t at) {
            return static_cast<int16_t>((static_cast<uint8_t>(f[at]) << 8) |
                                        static_cast<uint8_t>(f[at + 1]));
        };
        const int lower = whole ? std::min(int16At(1), int16At(3)) : 0;
        const int upper = whole ? std::max(int16At(1), int16At(3)) : 0;
        const double min = device->minVoltage(source), max = device->maxVoltage(source);
        FUZZ_CHECK((min == 0 && max == 0) || (min == lower && max == upper));
    }
#elif defined(FUZZ_BIAS)
    // The limits come only from an answer to getMinMaxV() with three fields and a good status, in
    // tenths truncated to whole volts, as far as the module had read it; else 0 and 100.
    const fuzz::Answer limits = fuzz::answerTo("getMinMaxV()\n");
    bool announced = device->minVoltage(0) == 0 && device->maxVoltage(0) == 100;
    for (const size_t end : limits.readEnds) {
        const std::vector<std::string> fields =
            HwHvSrc::replyFields(HwHvSrc::replyLines(limits.bytes.data(), end));
        announced = announced || (fields.size() == 3 && HwHvSrc::statusOk(fields[2]) &&
                                  device->minVoltage(0) == HwHvSrc::signedTenths(fields[0]) / 10 &&
                                  device->maxVoltage(0) == HwHvSrc::signedTenths(fields[1]) / 10);
    }
    FUZZ_CHECK(announced);
#endif

    const uint8_t how = in.byte();
    const uint32_t index = (how & 3) < 3 ? how & 3u : in.u32();
    const bool viaParameter = (how & 0x10) != 0;
    const int32_t signedIndex = static_cast<int32_t>(index);
    const int form = (how >> 2) & 3;
    double volts = form == 0   ? static_cast<int16_t>(in.u16())
                   : form == 1 ? in.raw64()
                   : form == 2 ? static_cast<int16_t>(in.u16()) / 10.0
                               : ((how & 0x20) != 0 ? device->maxVoltage(signedIndex)
                                                    : device->minVoltage(signedIndex)) +
                                     static_cast<int8_t>(in.byte()) / 4.0;
    const size_t wroteBefore = fuzz::since(fuzz::kWritten, 0).size();
    const size_t readBefore = fuzz::since(fuzz::kRead, 0).size();
    int result = 0;  // a parameter write's handler answers 0
    if (viaParameter) {
        volts = std::isnan(volts) ? 0.0 : std::clamp(std::trunc(volts), -32768.0, 32767.0);
        params->write(index == 0 ? "Voltage1" : "Voltage2", static_cast<int32_t>(volts));
    } else {
        result = device->setVoltage(index, volts);
    }
    const std::string w = fuzz::since(fuzz::kWritten, wroteBefore);
    const std::string r = fuzz::since(fuzz::kRead, readBefore);
    const bool succeeded = !viaParameter && result == 0;
#if defined(FUZZ_HVDEV)
    // A SetVoltage frame (0x55 0x05 source value) within the source's limits; a successful set sent
    // the frame asked for, and its answer is what was read last (stale input is drained before).
    FUZZ_CHECK(w.size() < 5 || (w.size() == 5 && w[0] == 0x55 && w[1] == 0x05));
    const int32_t value =
        w.size() == 5
            ? static_cast<int16_t>((static_cast<uint8_t>(w[3]) << 8) | static_cast<uint8_t>(w[4]))
            : 0;
    if (w.size() == 5 && static_cast<uint8_t>(w[2]) < 2) {
        const int source = static_cast<uint8_t>(w[2]);
        FUZZ_CHECK(value >= device->minVoltage(source) && value <= device->maxVoltage(source));
    }
    const std::string answer("\x05\x00\x0A", 3);
    FUZZ_CHECK(!succeeded || (w.size() == 5 && static_cast<uint8_t>(w[2]) == (index & 0xFFu) &&
                              value == std::trunc(volts) && r.size() >= answer.size() &&
                              r.compare(r.size() - answer.size(), answer.size(), answer) == 0));
#elif defined(FUZZ_HVOLD)
    // Quarter volts 0 to 4000 for either source (source 1 sends the negated value), then 'a' or
    // 'b'; a successful set wrote its whole text.
    const bool whole = !w.empty() && (w.back() == 'a' || w.back() == 'b');
    const long long quarters = numberAfter(w, 0);
    FUZZ_CHECK(!whole || (quarters >= 0 && quarters <= 4000 &&
                          w.find_first_not_of("0123456789") == w.size() - 1));
    FUZZ_CHECK(!succeeded || whole);
#else
    // "setU(" and tenths of a volt (the magnitude only) within the limits; a successful set asked
    // for a voltage within them and sent the whole command; the module has no voltage parameters.
    const double lower = device->minVoltage(0), upper = device->maxVoltage(0);
    const std::string command = "setU(";
    FUZZ_CHECK(w.empty() || w.compare(0, command.size(), command) == 0 ||
               command.compare(0, w.size(), w) == 0);
    const long long tenths = w.size() > command.size() ? numberAfter(w, command.size()) : 0;
    FUZZ_CHECK(w.size() <= command.size() ||
               (tenths >= 0 && tenths <= 10 * std::max(std::fabs(lower), std::fabs(upper))));
    FUZZ_CHECK(!succeeded || (volts >= lower && volts <= upper && w.size() > command.size() + 2 &&
                              w.compare(w.size() - 2, 2, ")\n") == 0));
    FUZZ_CHECK(!viaParameter || w.empty());
#endif

    const uint8_t reading = in.byte();
    const uint32_t source = (reading & 1) != 0 ? 1 : 0;
    const char* senses[4] = {"VoltageSense1", "VoltageSense2", "CurrentSense1", "CurrentSense2"};
    const int what = (reading >> 1) & 3;
    [[maybe_unused]] const double v = what == 0 ? device->readVoltage(source) : 0.0;
#if defined(FUZZ_HVDEV)
    FUZZ_CHECK(v == std::trunc(v) && v >= -32768.0 && v <= 32767.0);
#elif defined(FUZZ_BIAS)
    FUZZ_CHECK(v >= -3276.8 && v <= 3276.7);
#endif
    if (what == 1) {
        FUZZ_CHECK(std::isfinite(device->readCurrent(source)));
    } else if (what == 2) {
        params->read(senses[(reading >> 3) & 3]);
    } else if (what == 3) {
        device->polarity();
    }
    FUZZ_CHECK(strnlen(device->lastError(), 1024) < 1024);
    device->release();
    return 0;
}
