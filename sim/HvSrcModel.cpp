// The simulated HV source behind a stand-in bridge (sim_hvsrc.h). Each model has its own mutex;
// answers are delivered while it is held, so answers keep the order of their frames. The driver
// calls the peer without any lock of its own, so delivering (and asking for the bridge's pending
// input) from here cannot deadlock.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "model_registry.h"
#include "sensor_load.h"
#include "sim_hvsrc.h"
#include "simctl.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kSync = 0x55;
constexpr uint8_t kLineFeed = 0x0A;
constexpr size_t kFirmwareLength = 30;
constexpr size_t kSources = 256;
constexpr size_t kMaxFrames = 65536;
constexpr size_t kMaxStray = 64;
constexpr uint8_t kStatusNoSource = 2;
constexpr uint32_t kCurrentLimitWord = 0x000F4240;

// Request payload length per code; -1 for codes the source does not know.
int requestLength(uint8_t code) {
    switch (code) {
        case 0x01:
        case 0x02:
        case 0x03:
            return 0;
        case 0x04:
        case 0x06:
            return 1;
        case 0x05:
            return 3;
        default:
            return -1;
    }
}

struct Source {
    int16_t first = -2000;
    int16_t second = 2000;
    int16_t set = 0;
    double output = 0.0;
    double load = 0.0;
    simsensor::Sensor sensor;
    bool overridden = false;
    int16_t readVolts = 0;
    int32_t readCurrent = 0;
};

enum class Parse { Sync, Code, Payload };

struct Model {
    std::mutex mutex;
    int bridge = 0;
    std::array<uint8_t, kFirmwareLength> firmware{};
    uint8_t count = 2;
    std::array<Source, kSources> sources;
    double ramp = 0.0;
    Clock::time_point lastUpdate = Clock::now();
    unsigned delayMs = 0;
    simsensor::Noise noise;

    int oneShot = 0;
    int persistent = 0;
    uint8_t faultCode = 0x09;
    uint8_t faultStatus = 7;
    size_t faultKeep = 3;
    std::vector<uint8_t> stray{0xAA, 0xBB, 0xCC};
    bool hasRaw = false;
    std::vector<uint8_t> raw;

    // The frame being parsed.
    Parse state = Parse::Sync;
    SimHvFrame current{};
    std::vector<uint8_t> payload;
    size_t need = 0;
    std::thread::id frameThread;
    std::vector<uint8_t> junk;

    std::vector<SimHvFrame> frames;

    Model() {
        static const char kDefault[] = "HVS-2.1.0";
        std::memcpy(firmware.data(), kDefault, sizeof(kDefault) - 1);
    }

    // Moves every output toward its set voltage for the time passed since the last look.
    void advance() {
        const Clock::time_point now = Clock::now();
        const double seconds = std::chrono::duration<double>(now - lastUpdate).count();
        lastUpdate = now;
        for (Source& s : sources) {
            const double target = s.set;
            if (ramp <= 0.0) {
                s.output = target;
            } else if (s.output < target) {
                s.output = std::min(target, s.output + ramp * seconds);
            } else {
                s.output = std::max(target, s.output - ramp * seconds);
            }
        }
    }

    void record(const SimHvFrame& frame) {
        if (frames.size() < kMaxFrames) {
            frames.push_back(frame);
        }
    }

    void closeJunk() {
        if (junk.empty()) {
            return;
        }
        SimHvFrame frame{};
        frame.malformed = 1;
        frame.length = static_cast<uint8_t>(std::min<size_t>(junk.size(), 255));
        std::copy_n(junk.begin(), std::min(junk.size(), sizeof(frame.payload)), frame.payload);
        record(frame);
        junk.clear();
    }

    // Parses the host's bytes into frames and answers each complete one.
    void receive(const uint8_t* data, size_t length);
    // Opening the bridge drops a frame still incomplete from an earlier session.
    void reopen() {
        state = Parse::Sync;
        payload.clear();
        junk.clear();
    }
};

using Models = simmodel::Registry<Model>;

void putBe16(std::vector<uint8_t>& out, int32_t value) {
    const uint32_t bits = static_cast<uint32_t>(value);
    out.push_back(static_cast<uint8_t>((bits >> 8) & 0xFF));
    out.push_back(static_cast<uint8_t>(bits & 0xFF));
}

void putBe32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uint8_t>((value >> shift) & 0xFF));
    }
}

int32_t clampTo(double value, double low, double high) {
    if (!(value >= low)) {
        return static_cast<int32_t>(low);
    }
    return static_cast<int32_t>(std::min(value, high));
}

// The payload and status of the answer to one frame; the frame takes effect here.
uint8_t respond(Model& m, uint8_t code, const std::vector<uint8_t>& request,
                std::vector<uint8_t>& body) {
    const uint8_t index = request.empty() ? 0 : request[0];
    const bool known = index < m.count;
    switch (code) {
        case 0x02:
            body.assign(m.firmware.begin(), m.firmware.end());
            return 0;
        case 0x03:
            body.push_back(m.count);
            return 0;
        case 0x04:
            if (!known) {
                body.assign(8, 0);
                return kStatusNoSource;
            }
            putBe16(body, m.sources[index].first);
            putBe16(body, m.sources[index].second);
            putBe32(body, kCurrentLimitWord);
            return 0;
        case 0x05:
            if (!known) {
                return kStatusNoSource;
            }
            m.advance();
            m.sources[index].set = static_cast<int16_t>((request[1] << 8) | request[2]);
            m.advance();
            return 0;
        case 0x06: {
            if (!known) {
                body.assign(6, 0);
                return kStatusNoSource;
            }
            m.advance();
            const Source& s = m.sources[index];
            int32_t volts = clampTo(std::trunc(s.output), -32768.0, 32767.0);
            int32_t current = 0;
            if (s.overridden) {
                volts = s.readVolts;
                current = s.readCurrent;
            } else {
                // Nanoamperes: the resistor's share and the sensor's, then the noise on the sum.
                const double volts = std::trunc(s.output);
                double nano = s.load > 0.0 ? volts * 1000.0 / s.load : 0.0;
                nano += simsensor::current(s.sensor, volts) * 1e9;
                current = clampTo(std::trunc(m.noise.apply(nano)), -2147483648.0, 2147483647.0);
            }
            putBe16(body, volts);
            putBe32(body, static_cast<uint32_t>(current));
            return 0;
        }
        default:  // Test
            return 0;
    }
}

void answer(Model& m, uint8_t code, const std::vector<uint8_t>& request) {
    const int faults = m.oneShot | m.persistent;
    m.oneShot = 0;
    std::vector<uint8_t> body;
    uint8_t status = respond(m, code, request, body);
    if (m.hasRaw) {
        m.hasRaw = false;
        const std::vector<uint8_t> raw = std::move(m.raw);
        m.raw.clear();
        if (!raw.empty()) {
            sim_deliver(m.bridge, raw.data(), raw.size(), m.delayMs);
        }
        return;
    }
    if ((faults & SIM_HV_NO_ANSWER) != 0) {
        return;
    }
    std::vector<uint8_t> out;
    if ((faults & SIM_HV_STRAY_BEFORE) != 0) {
        out = m.stray;
    }
    out.push_back((faults & SIM_HV_WRONG_CODE) != 0 ? m.faultCode : code);
    if ((faults & SIM_HV_SHORT_PAYLOAD) != 0) {
        body.resize(std::min(body.size(), m.faultKeep));
        out.insert(out.end(), body.begin(), body.end());
    } else {
        out.insert(out.end(), body.begin(), body.end());
        if ((faults & SIM_HV_NO_TRAILER) == 0) {
            if ((faults & SIM_HV_BAD_STATUS) != 0) {
                status = m.faultStatus;
            }
            out.push_back(status);
            out.push_back((faults & SIM_HV_BAD_TRAILER) != 0 ? 0x0D : kLineFeed);
        }
    }
    sim_deliver(m.bridge, out.data(), out.size(), m.delayMs);
}

void finishFrame(Model& m) {
    m.current.length = static_cast<uint8_t>(m.payload.size());
    std::copy_n(m.payload.begin(), std::min(m.payload.size(), sizeof(m.current.payload)),
                m.current.payload);
    m.record(m.current);
    m.state = Parse::Sync;
    answer(m, m.current.code, m.payload);
}

void Model::receive(const uint8_t* data, size_t length) {
    const std::thread::id writer = std::this_thread::get_id();
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = data[i];
        if (state == Parse::Sync) {
            if (byte != kSync) {
                junk.push_back(byte);
                continue;
            }
            closeJunk();
            state = Parse::Code;
            current = SimHvFrame{};
            payload.clear();
            frameThread = writer;
            // Bytes of earlier answers still waiting: the host sent before it had its answer.
            current.overlapped = sim_pending_input(bridge) > 0 ? 1 : 0;
            continue;
        }
        if (writer != frameThread) {
            current.interleaved = 1;
        }
        if (state == Parse::Code) {
            current.code = byte;
            const int want = requestLength(byte);
            if (want < 0) {
                current.malformed = 1;
                record(current);
                state = Parse::Sync;
            } else if (want == 0) {
                finishFrame(*this);
            } else {
                need = static_cast<size_t>(want);
                state = Parse::Payload;
            }
            continue;
        }
        payload.push_back(byte);
        if (payload.size() == need) {
            finishFrame(*this);
        }
    }
    closeJunk();
}

template <typename Change>
int withSource(int bridge, int source, Change change) {
    if (source < 0 || static_cast<size_t>(source) >= kSources) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) { return change(m, m.sources[source]); });
}

}  // namespace

extern "C" {

int sim_hvsrc_install(int bridge) {
    return Models::install(bridge);
}

int sim_hvsrc_attach(const char* description, const char* serial) {
    return Models::attach(description, serial);
}

int sim_hvsrc_set_firmware(int bridge, const void* bytes, size_t length) {
    if (bytes == nullptr && length > 0) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        m.firmware.fill(0);
        if (length > 0) {
            std::memcpy(m.firmware.data(), bytes, std::min(length, kFirmwareLength));
        }
        return 0;
    });
}

int sim_hvsrc_set_count(int bridge, uint8_t count) {
    return Models::withModel(bridge, [&](Model& m) {
        m.count = count;
        return 0;
    });
}

int sim_hvsrc_set_range(int bridge, int source, int16_t first, int16_t second) {
    return withSource(bridge, source, [&](Model&, Source& s) {
        s.first = first;
        s.second = second;
        return 0;
    });
}

int sim_hvsrc_set_ramp(int bridge, double volts_per_second) {
    return Models::setRamp(bridge, volts_per_second);
}

int sim_hvsrc_set_load(int bridge, int source, double megaohms) {
    if (std::isnan(megaohms)) {
        return -1;
    }
    return withSource(bridge, source, [&](Model&, Source& s) {
        s.load = megaohms;
        return 0;
    });
}

int sim_hvsrc_set_sensor(int bridge, int source, double leak_amps, double depletion_volts,
                         double breakdown_volts) {
    if (!(leak_amps >= 0.0) || !(depletion_volts >= 0.0) || !(breakdown_volts >= 0.0)) {
        return -1;
    }
    return withSource(bridge, source, [&](Model&, Source& s) {
        s.sensor = {leak_amps, depletion_volts, breakdown_volts};
        return 0;
    });
}

int sim_hvsrc_set_noise(int bridge, double relative) {
    if (!(relative >= 0.0)) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        m.noise = simsensor::Noise(static_cast<uint32_t>(bridge));
        m.noise.setRelative(relative);
        return 0;
    });
}

int sim_hvsrc_set_reading(int bridge, int source, int16_t volts, int32_t current_count) {
    return withSource(bridge, source, [&](Model&, Source& s) {
        s.overridden = true;
        s.readVolts = volts;
        s.readCurrent = current_count;
        return 0;
    });
}

int sim_hvsrc_clear_reading(int bridge, int source) {
    return withSource(bridge, source, [&](Model&, Source& s) {
        s.overridden = false;
        return 0;
    });
}

int sim_hvsrc_set_delay(int bridge, unsigned delay_ms) {
    return Models::setDelay(bridge, delay_ms);
}

int sim_hvsrc_set_voltage(int bridge, int source, int16_t* volts) {
    if (volts == nullptr) {
        return -1;
    }
    return withSource(bridge, source, [&](Model&, Source& s) {
        *volts = s.set;
        return 0;
    });
}

int sim_hvsrc_output(int bridge, int source, double* volts) {
    if (volts == nullptr) {
        return -1;
    }
    return withSource(bridge, source, [&](Model& m, Source& s) {
        m.advance();
        *volts = s.output;
        return 0;
    });
}

int sim_hvsrc_fault(int bridge, int faults, int persistent) {
    return Models::addFaults(bridge, faults, persistent);
}

int sim_hvsrc_fault_values(int bridge, uint8_t code, uint8_t status, size_t keep) {
    return Models::withModel(bridge, [&](Model& m) {
        m.faultCode = code;
        m.faultStatus = status;
        m.faultKeep = keep;
        return 0;
    });
}

int sim_hvsrc_set_stray(int bridge, const void* data, size_t length) {
    if ((data == nullptr && length > 0) || length > kMaxStray) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        m.stray.assign(bytes, bytes + length);
        return 0;
    });
}

int sim_hvsrc_clear_faults(int bridge) {
    return Models::clearFaults(bridge);
}

int sim_hvsrc_reply_next(int bridge, const void* data, size_t length) {
    return Models::replyNext(bridge, data, length);
}

int sim_hvsrc_frame_count(int bridge) {
    return Models::withModel(bridge, [&](Model& m) { return static_cast<int>(m.frames.size()); });
}

int sim_hvsrc_frame(int bridge, int index, SimHvFrame* out) {
    if (out == nullptr) {
        return -1;
    }
    return Models::withModel(bridge, [&](Model& m) {
        if (index < 0 || static_cast<size_t>(index) >= m.frames.size()) {
            return -1;
        }
        *out = m.frames[static_cast<size_t>(index)];
        return 0;
    });
}

int sim_hvsrc_bad_frame_count(int bridge) {
    return Models::withModel(bridge, [&](Model& m) {
        return static_cast<int>(std::count_if(m.frames.begin(), m.frames.end(), [](const auto& f) {
            return f.malformed != 0 || f.interleaved != 0 || f.overlapped != 0;
        }));
    });
}

int sim_hvsrc_clear_frames(int bridge) {
    return Models::withModel(bridge, [&](Model& m) {
        m.frames.clear();
        return 0;
    });
}

}  // extern "C"
