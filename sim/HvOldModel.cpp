// The simulated legacy HV source (see sim_hvold.h).
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "model_registry.h"
#include "sim_hvold.h"
#include "simctl.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Model {
    std::mutex mutex;
    int bridge = 0;
    double set[2] = {0.0, 0.0};
    double out[2] = {0.0, 0.0};
    double ramp = 0.0;
    unsigned noise = 0;
    unsigned delayMs = 0;
    int oneShot = 0;
    int persistent = 0;
    bool hasRaw = false;
    std::string raw;
    std::string partial;
    std::vector<std::string> commands;
    Clock::time_point last = Clock::now();

    void advance() {
        const Clock::time_point now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - last).count();
        last = now;
        for (int s = 0; s < 2; ++s) {
            if (ramp <= 0.0) {
                out[s] = set[s];
                continue;
            }
            const double step = ramp * seconds;
            out[s] =
                out[s] < set[s] ? std::min(set[s], out[s] + step) : std::max(set[s], out[s] - step);
        }
    }

    // Collects digits until the letter and takes each complete command.
    void receive(const uint8_t* data, size_t length);
    // Opening the bridge drops a command still incomplete from an earlier session.
    void reopen() { partial.clear(); }
};

using Models = simmodel::Registry<Model>;

uint32_t field(double value) {
    const double steps = std::max(0.0, std::min(value / 0.125, 268435455.0));
    return static_cast<uint32_t>(steps) << 3;
}

void answerStatus(Model& m) {
    const int faults = m.oneShot | m.persistent;
    m.oneShot = 0;
    std::string line;
    if (m.hasRaw) {
        line = m.raw;
        m.hasRaw = false;
    } else {
        if (faults & SIM_HVOLD_NO_ANSWER) {
            return;
        }
        m.advance();
        const uint32_t f4 = field(m.out[0]) | (m.noise & 7u);
        const uint32_t f5 = field(m.out[1] + 1020.0) | (m.noise & 7u);
        const uint32_t values[10] = {0x1, 0x2a, 0x3ff, 0x0, f4, f5, 0x10, 0x0, 0x7, 0x55};
        const int count = (faults & SIM_HVOLD_SHORT_LINE) ? 5 : 10;
        for (int i = 0; i < count; ++i) {
            char text[16];
            std::snprintf(text, sizeof(text), "%s%x", i == 0 ? "" : "\t",
                          static_cast<unsigned>(values[i]));
            line += text;
        }
        if (faults & SIM_HVOLD_NOT_HEX) {
            line = "ERR\tvoltage\tstatus";
        }
        line += "\n";
    }
    sim_deliver(m.bridge, line.data(), line.size(), m.delayMs);
}

void take(Model& m, const std::string& command) {
    m.commands.push_back(command);
    if (command == "o") {
        SimSettings settings;
        if (sim_settings(m.bridge, &settings) == 0 && settings.baud_rate != 9600) {
            return;  // the real source would see garbage at another rate
        }
        answerStatus(m);
        return;
    }
    const char letter = command.back();
    const long long number = std::strtoll(command.c_str(), nullptr, 10);
    m.advance();
    if (letter == 'a') {
        m.set[0] = number / 4.0;
    } else if (letter == 'b') {
        m.set[1] = -number / 4.0;
    }
}

void Model::receive(const uint8_t* data, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        const char c = static_cast<char>(data[i]);
        partial += c;
        if (c == 'o' && partial.size() == 1) {
            take(*this, partial);
            partial.clear();
        } else if (c == 'a' || c == 'b' ||
                   !(std::isdigit(static_cast<unsigned char>(c)) ||
                     (c == '-' && partial.size() == 1))) {
            take(*this, partial);
            partial.clear();
        }
    }
}

bool validSource(int source) {
    return source == 0 || source == 1;
}

}  // namespace

extern "C" {

int sim_hvold_install(int bridge) {
    return Models::install(bridge);
}

int sim_hvold_attach(const char* description, const char* serial) {
    return Models::attach(description, serial);
}

int sim_hvold_set_output(int bridge, int source, double volts) {
    if (!validSource(source)) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        m.set[source] = volts;
        m.out[source] = volts;
        return 0;
    });
}

int sim_hvold_output(int bridge, int source, double* volts) {
    if (!validSource(source) || volts == nullptr) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        m.advance();
        *volts = m.out[source];
        return 0;
    });
}

int sim_hvold_set_voltage(int bridge, int source, double* volts) {
    if (!validSource(source) || volts == nullptr) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        *volts = m.set[source];
        return 0;
    });
}

int sim_hvold_set_ramp(int bridge, double volts_per_second) {
    return Models::withModel(bridge, [&](Model& m) {
        m.advance();
        m.ramp = volts_per_second;
        return 0;
    });
}

int sim_hvold_set_delay(int bridge, unsigned delay_ms) {
    return Models::setDelay(bridge, delay_ms);
}

int sim_hvold_set_noise(int bridge, unsigned low_bits) {
    return Models::withModel(bridge, [&](Model& m) {
        m.noise = low_bits & 7u;
        return 0;
    });
}

int sim_hvold_reply_next(int bridge, const void* data, size_t length) {
    return Models::replyNext(bridge, data, length);
}

int sim_hvold_fault(int bridge, int faults, int persistent) {
    return Models::addFaults(bridge, faults, persistent);
}

// Only the faults: an exact next answer stays until a status request uses it.
int sim_hvold_clear_faults(int bridge) {
    return Models::withModel(bridge, [&](Model& m) {
        m.persistent = 0;
        m.oneShot = 0;
        return 0;
    });
}

int sim_hvold_command_count(int bridge) {
    return Models::commandCount(bridge);
}

int sim_hvold_command(int bridge, int index, char* buffer, size_t capacity) {
    return Models::command(bridge, index, buffer, capacity);
}

int sim_hvold_clear_commands(int bridge) {
    return Models::clearCommands(bridge);
}

}  // extern "C"
