// One device driven as a host drives it: start-up, one set and one reading, on a line whose peer
// answers every write from the input (fuzz_support.h). The kind's own checks look at what went
// over the wire during the set.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "HostFramework.h"
#include "fuzz_support.h"

namespace fuzz {

// A voltage request: the index (0, 1, 2 or any 32-bit value) and the volts (whole volts,
// tenths, any double, or a quarter-volt step near one of the limits the device holds for that
// index), given to setVoltage or, saturated to a whole 16-bit number, to the parameter
// "Voltage1" (index 0) or "Voltage2" (any other index).
struct SetRequest {
    uint32_t index = 0;
    double volts = 0.0;
    bool viaParameter = false;
};

template <class Device>
SetRequest nextSet(Input& in, Device& device) {
    SetRequest request;
    const uint8_t how = in.byte();
    request.index = (how & 3) < 3 ? how & 3u : in.u32();
    request.viaParameter = (how & 0x10) != 0;
    switch ((how >> 2) & 3) {
        case 0:
            request.volts = static_cast<int16_t>(in.u16());
            break;
        case 1:
            request.volts = in.raw64();
            break;
        case 2:
            request.volts = static_cast<int16_t>(in.u16()) / 10.0;
            break;
        default: {
            const int32_t index = static_cast<int32_t>(request.index);
            const double limit =
                (how & 0x20) != 0 ? device.maxVoltage(index) : device.minVoltage(index);
            request.volts = limit + static_cast<int8_t>(in.byte()) / 4.0;
            break;
        }
    }
    if (request.viaParameter) {
        request.volts = std::isnan(request.volts)
                            ? 0.0
                            : std::min(32767.0, std::max(-32768.0, std::trunc(request.volts)));
    }
    return request;
}

// What happened during the set.
struct SetOutcome {
    SetRequest request;
    int result = 0;  // setVoltage's result; 0 for a parameter write (its handler answers 0)
    std::string written;
    std::string read;
};

// Start-up (the open or the bit mode may be made to fail), one set, one reading (voltage,
// current, a sense parameter or the polarity), then the checks: the kind's own on the set, and
// that the error text stays within its storage.
template <class Device, class Checks>
int driveDevice(const uint8_t* data, size_t size, const char* description) {
    Input in(data, size);
    Line line(description, in);
    const uint8_t setup = in.byte();
    if ((setup & 1) != 0) {
        fuzz_line_fail_next(FUZZ_FN_OPEN, 1 + in.byte() % 18u);
    }
    if ((setup & 2) != 0) {
        fuzz_line_fail_next(FUZZ_FN_BITMODE, 1 + in.byte() % 18u);
    }
    host::Framework framework(logDirectory());
    Device* device = new Device(description, &framework, logDirectory());
    const int initialized = device->initialize();
    host::ParamList* params = static_cast<host::ParamList*>(device->parameters());

    SetOutcome set;
    set.request = nextSet(in, *device);
    const size_t written = writtenSince(0).size();
    const size_t read = readSince(0).size();
    if (set.request.viaParameter) {
        params->write(set.request.index == 0 ? "Voltage1" : "Voltage2",
                      static_cast<int32_t>(set.request.volts));
    } else {
        set.result = device->setVoltage(set.request.index, set.request.volts);
    }
    set.written = writtenSince(written);
    set.read = readSince(read);
    Checks::set(*device, initialized, set);

    const uint8_t how = in.byte();
    const uint32_t index = (how & 1) != 0 ? 1 : 0;
    switch ((how >> 1) & 3) {
        case 0:
            Checks::reading(device->readVoltage(index));
            break;
        case 1:
            FUZZ_CHECK(std::isfinite(device->readCurrent(index)));
            break;
        case 2: {
            const char* names[4] = {"VoltageSense1", "VoltageSense2", "CurrentSense1",
                                    "CurrentSense2"};
            params->read(names[(how >> 3) & 3]);
            break;
        }
        default:
            device->polarity();
            break;
    }
    FUZZ_CHECK(strnlen(device->lastError(), 1024) < 1024);
    device->release();
    return 0;
}

// The digits after `prefix` as a number (at most ten of them: more is out of every range); -1
// when there is none.
inline long long numberAfter(const std::string& text, size_t prefix) {
    const size_t end = std::min(text.find_first_not_of("0123456789", prefix), text.size());
    return end == prefix ? -1 : std::stoll(text.substr(prefix, std::min<size_t>(end - prefix, 10)));
}

}  // namespace fuzz
