// The simulated bias module behind a stand-in bridge (sim_bias.h). Each model has its own mutex;
// answers are delivered while it is held, so the answers of two writers keep the order of their
// command lines. The driver calls the peer without its own lock, so delivering from here is safe.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "model_registry.h"
#include "sensor_load.h"
#include "sim_bias.h"
#include "simctl.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Model {
    std::mutex mutex;
    int bridge = 0;
    std::string firmware = "BM-1.04";
    int32_t lower = 0;
    int32_t upper = 900;
    bool positive = true;
    std::string status = "00";
    double ramp = 0.0;
    double load = 0.0;
    simsensor::Sensor sensor;
    simsensor::Noise noise;
    bool currentOverride = false;
    int32_t current = 0;
    unsigned delayMs = 0;
    int32_t setTenths = 0;
    double magnitude = 0.0;  // output magnitude in tenths, moving toward setTenths
    Clock::time_point lastUpdate = Clock::now();
    int oneShot = 0;
    int persistent = 0;
    bool hasRaw = false;
    std::string raw;
    std::string partial;
    std::vector<std::string> commands;

    // Moves the output toward the set voltage for the time passed since the last look.
    void advance() {
        const Clock::time_point now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - lastUpdate).count();
        lastUpdate = now;
        const double target = static_cast<double>(setTenths);
        if (ramp <= 0.0) {
            magnitude = target;
            return;
        }
        const double step = ramp * seconds;
        if (magnitude < target) {
            magnitude = std::min(target, magnitude + step);
        } else {
            magnitude = std::max(target, magnitude - step);
        }
    }
    double output() {
        advance();
        return positive ? magnitude : -magnitude;
    }

    // Collects the host's bytes into command lines and answers each complete one.
    void receive(const uint8_t* data, size_t length);
    // Opening the bridge drops a command line still incomplete from an earlier session.
    void reopen() { partial.clear(); }
};

using Models = simmodel::Registry<Model>;

std::string hex16(double tenths) {
    double clamped = std::trunc(tenths);
    if (!(clamped >= -32768.0)) {
        clamped = -32768.0;
    }
    if (clamped > 32767.0) {
        clamped = 32767.0;
    }
    const uint32_t bits = static_cast<uint32_t>(static_cast<int32_t>(clamped)) & 0xFFFFu;
    char text[8];
    std::snprintf(text, sizeof(text), "%04X", static_cast<unsigned>(bits));
    return text;
}

// The argument of "setU(n)": a plain decimal number that fits 32 bits.
bool parseSetU(const std::string& line, int32_t& out) {
    static const char kHead[] = "setU(";
    const size_t head = sizeof(kHead) - 1;
    if (line.size() < head + 2 || line.compare(0, head, kHead) != 0 || line.back() != ')') {
        return false;
    }
    const std::string digits = line.substr(head, line.size() - head - 1);
    if (digits.empty() || digits.size() > 10) {
        return false;
    }
    int64_t value = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value > INT32_MAX) {
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

// The fields of the answer to one command line; the command takes effect here.
std::vector<std::string> answerFields(Model& m, const std::string& line,
                                      const std::string& status) {
    int32_t tenths = 0;
    if (line == "printFW()") {
        return {m.firmware, status};
    }
    if (line == "getMinMaxV()") {
        return {hex16(m.lower), hex16(m.upper), status};
    }
    if (parseSetU(line, tenths)) {
        m.advance();
        m.setTenths = tenths;
        m.advance();
        return {"0", status};
    }
    if (line == "getUI(1)") {
        const double out = m.output();
        double amps = 0.0;
        if (m.currentOverride) {
            amps = m.current;
        } else {
            // Tenths of a milliampere: the resistor's share and the sensor's, then the noise on
            // the sum; the module's own resolution stays as coarse as it is.
            const double volts = std::trunc(out);
            double tenths = m.load > 0.0 ? volts / m.load : 0.0;
            tenths += simsensor::current(m.sensor, volts / 10.0) * 1e4;
            amps = std::trunc(m.noise.apply(tenths));
        }
        return {hex16(out), hex16(amps), status};
    }
    if (line == "printPolarity()") {
        return {m.positive ? "POS" : "NEG", status};
    }
    return {"01"};
}

void answer(Model& m, const std::string& line) {
    const int faults = m.oneShot | m.persistent;
    m.oneShot = 0;
    const std::string status = (faults & SIM_BIAS_FAILED_STATUS) != 0 ? "01" : m.status;
    std::vector<std::string> fields = answerFields(m, line, status);
    if (m.hasRaw) {
        m.hasRaw = false;
        const std::string raw = std::move(m.raw);
        m.raw.clear();
        sim_deliver(m.bridge, raw.data(), raw.size(), m.delayMs);
        return;
    }
    if ((faults & SIM_BIAS_NO_ANSWER) != 0) {
        return;
    }
    std::string text;
    if ((faults & SIM_BIAS_LOWER_CASE) != 0) {
        for (std::string& field : fields) {
            for (char& c : field) {
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
    }
    if ((faults & SIM_BIAS_EMPTY_FIELD) != 0 && fields.size() >= 2) {
        fields[fields.size() - 2].clear();
    }
    if ((faults & SIM_BIAS_DROP_FIELD) != 0 && !fields.empty()) {
        fields.pop_back();
    }
    if ((faults & SIM_BIAS_EXTRA_FIELD) != 0) {
        fields.push_back("00");
    }
    if ((faults & SIM_BIAS_SPACES_BEFORE) != 0) {
        text += "   ";
    }
    if ((faults & SIM_BIAS_CR_BEFORE) != 0) {
        text += '\r';
    }
    if ((faults & SIM_BIAS_LF_BEFORE) != 0) {
        text += '\n';
    }
    text += '(';
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) {
            text += ';';
        }
        text += fields[i];
    }
    if ((faults & SIM_BIAS_TWO_GROUPS) != 0) {
        text += ")(FFFF;FFFF;01";
    }
    if ((faults & SIM_BIAS_NO_ENDING) == 0) {
        text += ")\n\r";
    }
    sim_deliver(m.bridge, text.data(), text.size(), m.delayMs);
}

// The module understands the bridge only at 115200 baud, 8N1, in bit mode 0x40 with mask 0xFF.
bool lineUnderstood(int bridge) {
    SimSettings s;
    return sim_settings(bridge, &s) == 0 && s.baud_rate == 115200 && s.word_length == 8 &&
           s.stop_bits == 0 && s.parity == 0 && s.bit_mode == 0x40 && s.bit_mask == 0xFF;
}

void Model::receive(const uint8_t* data, size_t length) {
    partial.append(reinterpret_cast<const char*>(data), length);
    size_t end;
    while ((end = partial.find('\n')) != std::string::npos) {
        const std::string line = partial.substr(0, end);
        partial.erase(0, end + 1);
        commands.push_back(line);
        // Otherwise the real module would see garbage: nothing happens, nothing is answered.
        if (lineUnderstood(bridge)) {
            answer(*this, line);
        }
    }
}

}  // namespace

extern "C" {

int sim_bias_install(int bridge) {
    return Models::install(bridge);
}

int sim_bias_attach(const char* description, const char* serial) {
    return Models::attach(description, serial);
}

int sim_bias_set_firmware(int bridge, const char* text) {
    return Models::withModel(bridge, [&](Model& m) {
        m.firmware = text != nullptr ? text : "";
        return 0;
    });
}

int sim_bias_set_limits(int bridge, int32_t lower_tenths, int32_t upper_tenths) {
    return Models::withModel(bridge, [&](Model& m) {
        m.lower = lower_tenths;
        m.upper = upper_tenths;
        return 0;
    });
}

int sim_bias_set_polarity(int bridge, int positive) {
    return Models::withModel(bridge, [&](Model& m) {
        m.advance();
        m.positive = positive != 0;
        return 0;
    });
}

int sim_bias_set_status(int bridge, const char* status) {
    return Models::withModel(bridge, [&](Model& m) {
        m.status = status != nullptr ? status : "";
        return 0;
    });
}

int sim_bias_set_ramp(int bridge, double tenths_per_second) {
    return Models::setRamp(bridge, tenths_per_second);
}

int sim_bias_set_load(int bridge, double kilo_ohms) {
    if (std::isnan(kilo_ohms)) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        m.load = kilo_ohms;
        m.currentOverride = false;
        return 0;
    });
}

int sim_bias_set_sensor(int bridge, double leak_amps, double depletion_volts,
                        double breakdown_volts) {
    if (!(leak_amps >= 0.0) || !(depletion_volts >= 0.0) || !(breakdown_volts >= 0.0)) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        m.sensor = {leak_amps, depletion_volts, breakdown_volts};
        m.currentOverride = false;
        return 0;
    });
}

int sim_bias_set_noise(int bridge, double relative) {
    if (!(relative >= 0.0)) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        m.noise = simsensor::Noise(static_cast<uint32_t>(bridge));
        m.noise.setRelative(relative);
        return 0;
    });
}

int sim_bias_set_current(int bridge, int32_t tenths) {
    return Models::withModel(bridge, [&](Model& m) {
        m.current = tenths;
        m.currentOverride = true;
        return 0;
    });
}

int sim_bias_set_delay(int bridge, unsigned delay_ms) {
    return Models::setDelay(bridge, delay_ms);
}

int sim_bias_reply_next(int bridge, const void* data, size_t length) {
    return Models::replyNext(bridge, data, length);
}

int sim_bias_set_voltage(int bridge, int32_t* tenths) {
    if (tenths == nullptr) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        *tenths = m.setTenths;
        return 0;
    });
}

int sim_bias_output(int bridge, double* tenths) {
    if (tenths == nullptr) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        *tenths = m.output();
        return 0;
    });
}

int sim_bias_fault(int bridge, int faults, int persistent) {
    return Models::addFaults(bridge, faults, persistent);
}

int sim_bias_clear_faults(int bridge) {
    return Models::clearFaults(bridge);
}

int sim_bias_command_count(int bridge) {
    return Models::commandCount(bridge);
}

int sim_bias_command(int bridge, int index, char* buffer, size_t capacity) {
    return Models::command(bridge, index, buffer, capacity);
}

int sim_bias_clear_commands(int bridge) {
    return Models::clearCommands(bridge);
}

}  // extern "C"
