// One device driven as a host drives it (start-up, one set, one reading) against the input's
// peer; the kind's own checks look at what went over the wire during the set.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "HostFramework.h"
#include "fuzz_support.h"

namespace fuzz {

// Index 0, 1, 2 or any; volts whole, tenths, any double or quarter volts near a limit; through
// setVoltage or, saturated to 16 bits, "Voltage1" (index 0) or "Voltage2".
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

// Start-up (open or bit mode may fail), one set, one reading (voltage, current, a sense parameter
// or polarity); the kind's checks on the set, and the error text within its storage.
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

// The digits after `prefix` (at most ten: more is out of every range) as a number; -1 if none.
inline long long numberAfter(const std::string& text, size_t prefix) {
    const size_t end = std::min(text.find_first_not_of("0123456789", prefix), text.size());
    return end == prefix ? -1 : std::stoll(text.substr(prefix, std::min<size_t>(end - prefix, 10)));
}

}  // namespace fuzz
