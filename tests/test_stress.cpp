// Eight host threads on one device, mixing every operation that reaches the source, and one more
// thread that deinitializes and initializes the device at random moments; all through the loaded
// plug-in and the host's parameter lists. The simulated sources answer a millisecond or more
// after each request (the legacy source is asked, then left 50 ms before its line is read), so
// two exchanges that were not kept apart would overlap on the line. Afterwards the meaning of
// every answer is checked: what each call returned, what the source received, and what the
// device log recorded.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "hvdev_support.h"
#include "plugin_host.h"
#include "sim_bias.h"
#include "sim_hvold.h"
#include "sim_hvsrc.h"
#include "simctl.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using Problems = std::vector<std::string>;
// Per source: every whole voltage some thread asked for.
using Asked = std::array<std::set<int32_t>, 2>;

constexpr int kWorkers = 8;
constexpr unsigned kSeed = 1207;

enum class Op {
    Set,
    Refused,
    ReadVoltage,
    ReadCurrent,
    SenseVoltage,
    SenseCurrent,
    WriteParam,
    Polarity,
    LastError
};

const char* opName(Op op) {
    static const char* const names[] = {"setVoltage",    "setVoltage beyond the limits",
                                        "readVoltage",   "readCurrent",
                                        "VoltageSense",  "CurrentSense",
                                        "Voltage write", "polarity",
                                        "lastError"};
    return names[static_cast<int>(op)];
}

struct Record {
    Op op;
    int source;
    int32_t asked;
    double value;
    int rc;
    Clock::time_point begin;
    Clock::time_point end;
};

struct Window {
    Clock::time_point begin;
    Clock::time_point end;
};

std::string signedText(int32_t value) {
    return std::to_string(value);
}

// One kind of source: how it is attached, what the threads ask of it, and what its answers,
// its wire traffic and its device log may hold.
class Kind {
public:
    virtual ~Kind() = default;
    virtual int attach() = 0;
    virtual int sources() const { return 2; }
    virtual int opsPerThread() const = 0;
    // Whole volts within the source's limits, never 0, so a reading of 0 means no answer.
    virtual std::vector<int32_t> pool(int source) const = 0;
    virtual int32_t beyond(int source) const { return source == 0 ? 1500 : -1500; }
    virtual bool hvParameters() const { return true; }
    virtual int polarity() const { return 0; }
    // readCurrent and the raw "CurrentSense" value while the output stands at `volts`.
    virtual double current(int source, int32_t volts) const = 0;
    virtual int32_t senseCurrent(int source, int32_t volts) const = 0;
    virtual std::string logName() const = 0;
    // `sets` is how many sets returned 0: at least that many set commands reached the source.
    virtual void checkWire(int bridge, const Asked& asked, size_t sets, Problems& out) const = 0;
    virtual void checkLog(const Lines& log, const Asked& asked, Problems& out) const = 0;
};

std::vector<int32_t> steps(int32_t from, int32_t to, int32_t step) {
    std::vector<int32_t> values;
    for (int32_t v = from; step > 0 ? v <= to : v >= to; v += step) {
        values.push_back(v);
    }
    return values;
}

// --- Current model: binary frames, answers 1 ms late -------------------------------------------

int16_t be16(const std::vector<uint8_t>& bytes, size_t at) {
    return static_cast<int16_t>(static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]));
}

// The bytes of the dump lines that follow a "Sent data:" or "Received data:" entry.
void appendDump(const std::string& line, std::vector<uint8_t>& out) {
    const size_t bar = line.find('|');
    std::istringstream hex(line.substr(0, bar));
    std::string byte;
    while (hex >> byte) {
        out.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
    }
}

class CurrentKind : public Kind {
public:
    int attach() override {
        const int bridge = sim_hvsrc_attach("Tessaro HV Source: 1", "HV1");
        sim_hvsrc_set_range(bridge, 0, 0, 1000);
        sim_hvsrc_set_range(bridge, 1, -1000, 0);
        sim_hvsrc_set_load(bridge, 0, 10.0);
        sim_hvsrc_set_load(bridge, 1, 20.0);
        sim_hvsrc_set_delay(bridge, 1);
        return bridge;
    }
    int opsPerThread() const override { return 60; }
    std::vector<int32_t> pool(int source) const override {
        return source == 0 ? steps(100, 1000, 50) : steps(-100, -1000, -50);
    }
    // Counts in nanoamperes through 10 and 20 megaohms; readCurrent gives microamperes.
    int32_t senseCurrent(int source, int32_t volts) const override {
        return volts * (source == 0 ? 100 : 50);
    }
    double current(int source, int32_t volts) const override {
        return senseCurrent(source, volts) / 1000.0;
    }
    std::string logName() const override { return "hvsrc_1.log"; }

    void checkWire(int bridge, const Asked& asked, size_t sets, Problems& out) const override {
        const int frames = sim_hvsrc_frame_count(bridge);
        size_t setFrames = 0;
        for (int i = 0; i < frames; ++i) {
            SimHvFrame frame{};
            sim_hvsrc_frame(bridge, i, &frame);
            if (frame.malformed != 0 || frame.interleaved != 0 || frame.overlapped != 0) {
                out.push_back("frame " + std::to_string(i) + " (code " +
                              std::to_string(frame.code) + ") malformed " +
                              std::to_string(frame.malformed) + ", interleaved " +
                              std::to_string(frame.interleaved) + ", overlapped " +
                              std::to_string(frame.overlapped));
            }
            if (frame.code != 0x05 || frame.length != 3) {
                continue;
            }
            ++setFrames;
            const int source = frame.payload[0];
            const int32_t volts = static_cast<int16_t>((frame.payload[1] << 8) | frame.payload[2]);
            if (source > 1 || asked[source].count(volts) == 0) {
                out.push_back("source " + std::to_string(source) + " received " +
                              signedText(volts) + " V, which no thread asked for");
            }
        }
        if (setFrames < sets) {
            out.push_back(std::to_string(sets) + " sets succeeded, but only " +
                          std::to_string(setFrames) + " SetVoltage frames arrived");
        }
    }

    // Each request is followed by its own answer before the next request: the same code, and for
    // a reading an output that source can have, with the current that output drives.
    void checkLog(const Lines& log, const Asked& asked, Problems& out) const override {
        static const std::regex command(R"(^\[DBG\]: CMD ([0-9A-F]{2}) \(\w+\) (>>>|<<< )$)");
        bool open = false;
        bool answered = false;
        std::string code;
        std::vector<uint8_t> sent;
        std::vector<uint8_t> received;
        std::vector<uint8_t>* dump = nullptr;
        const auto finish = [&] {
            if (!open || !answered) {
                return;
            }
            if (code == "06" && sent.size() == 1 && received.size() == 6 && sent[0] < 2) {
                const int32_t volts = be16(received, 0);
                const int32_t count =
                    static_cast<int32_t>((static_cast<uint32_t>(received[2]) << 24) |
                                         (received[3] << 16) | (received[4] << 8) | received[5]);
                if (asked[sent[0]].count(volts) == 0 || count != senseCurrent(sent[0], volts)) {
                    out.push_back("ReadVoltCurr of source " + std::to_string(sent[0]) +
                                  " answered " + signedText(volts) + " V, " +
                                  std::to_string(count) + " nA");
                }
            } else if (code == "05" && (sent.size() != 3 || sent[0] > 1 ||
                                        asked[sent[0]].count(be16(sent, 1)) == 0)) {
                out.push_back("a SetVoltage with a payload no thread asked for");
            }
            open = false;
        };
        for (const std::string& line : log) {
            std::smatch match;
            if (std::regex_match(line, match, command)) {
                if (match[2] == ">>>") {
                    if (open && !answered) {
                        out.push_back("CMD " + match[1].str() + " sent before CMD " + code +
                                      " was answered");
                    }
                    finish();
                    open = true;
                    answered = false;
                    code = match[1];
                    sent.clear();
                    received.clear();
                    dump = nullptr;
                } else {
                    if (!open || answered || match[1] != code) {
                        out.push_back("an answer " + match[1].str() + " to request " + code);
                    }
                    answered = true;
                    dump = nullptr;
                }
            } else if (line == "[DBG]: Sent data:") {
                dump = answered ? nullptr : &sent;
            } else if (line == "[DBG]: Received data:") {
                dump = answered ? &received : nullptr;
            } else if (line.rfind("   ", 0) == 0 && dump != nullptr) {
                appendDump(line, *dump);
            } else {
                if (open && !answered) {
                    out.push_back("\"" + line + "\" between CMD " + code + " and its answer");
                }
                finish();
                dump = nullptr;
            }
        }
        finish();
    }
};

// --- Legacy model: "o" and its status line, set texts without an answer ------------------------

class LegacyKind : public Kind {
public:
    int attach() override { return sim_hvold_attach("HV source AVR", "OLD"); }
    // Every reading waits 50 ms before it reads the line: few operations take seconds.
    int opsPerThread() const override { return 16; }
    std::vector<int32_t> pool(int source) const override {
        return source == 0 ? steps(100, 900, 50) : steps(-100, -900, -50);
    }
    double current(int, int32_t) const override { return 0.0; }
    int32_t senseCurrent(int, int32_t) const override { return 0; }
    std::string logName() const override { return "hvsrcold_1.log"; }

    // A set text "<4 V>a" or "<-4 V>b": the voltage it carries, or false for any other text.
    static bool setTextVolts(const std::string& text, int& source, int32_t& volts) {
        static const std::regex set(R"(^(\d+)([ab])$)");
        std::smatch match;
        if (!std::regex_match(text, match, set) || match[1].length() > 6) {
            return false;
        }
        const int32_t quarter = std::stoi(match[1]);
        source = match[2] == "a" ? 0 : 1;
        volts = (source == 0 ? quarter : -quarter) / 4;
        return quarter % 4 == 0;
    }

    void checkWire(int bridge, const Asked& asked, size_t sets, Problems& out) const override {
        size_t setTexts = 0;
        for (const std::string& text :
             hvtest::recordedCommands(bridge, sim_hvold_command_count, sim_hvold_command)) {
            int source = 0;
            int32_t volts = 0;
            if (text == "o") {
                continue;
            }
            if (!setTextVolts(text, source, volts) || asked[source].count(volts) == 0) {
                out.push_back("the source received \"" + text + "\"");
            }
            ++setTexts;
        }
        if (setTexts < sets) {
            out.push_back(std::to_string(sets) + " sets succeeded, but only " +
                          std::to_string(setTexts) + " set texts arrived");
        }
    }

    // "o" is followed by its own status line, whose outputs are voltages the threads asked for.
    void checkLog(const Lines& log, const Asked& asked, Problems& out) const override {
        for (size_t i = 0; i + 1 < log.size(); ++i) {
            if (log[i] == "[DBG]: Received" &&
                !(i >= 2 && log[i - 2] == "[DBG]: Sent" && log[i - 1] == "[DBG]: o")) {
                out.push_back("a status line at entry " + std::to_string(i) + " without its \"o\"");
            }
            if (log[i] != "[DBG]: Sent" || log[i + 1].size() < 7) {
                continue;
            }
            const std::string text = log[i + 1].substr(7);
            int source = 0;
            int32_t volts = 0;
            if (text != "o") {
                if (!setTextVolts(text, source, volts) || asked[source].count(volts) == 0) {
                    out.push_back("logged a set text \"" + text + "\"");
                }
                continue;
            }
            unsigned f[10] = {};
            if (i + 3 >= log.size() || log[i + 2] != "[DBG]: Received" ||
                std::sscanf(log[i + 3].c_str(), "[DBG]: %x\t%x\t%x\t%x\t%x\t%x\t%x\t%x\t%x\t%x",
                            &f[0], &f[1], &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8],
                            &f[9]) != 10) {
                out.push_back("\"o\" at entry " + std::to_string(i) + " without its status line");
                continue;
            }
            // The source reports volts / 0.125 << 3, the second output offset by 1020 V.
            const int32_t out0 = static_cast<int32_t>(f[4] / 64);
            const int32_t out1 = static_cast<int32_t>(f[5] / 64) - 1020;
            if (asked[0].count(out0) == 0 || asked[1].count(out1) == 0) {
                out.push_back("a status line with outputs " + signedText(out0) + " and " +
                              signedText(out1));
            }
        }
    }
};

// --- Bias module: bracketed text answers, 1 ms late --------------------------------------------

constexpr int32_t kBiasCurrentTenths = 37;

class BiasKind : public Kind {
public:
    int attach() override {
        const int bridge = sim_bias_attach("BiasModule: 3", "BM3");
        sim_bias_set_current(bridge, kBiasCurrentTenths);
        sim_bias_set_delay(bridge, 1);
        return bridge;
    }
    int sources() const override { return 1; }
    int opsPerThread() const override { return 12; }
    // The module's limits: 0 and 90 V.
    std::vector<int32_t> pool(int) const override { return steps(5, 85, 5); }
    int32_t beyond(int) const override { return 95; }
    bool hvParameters() const override { return false; }
    int polarity() const override { return 1; }
    double current(int, int32_t) const override { return kBiasCurrentTenths / 10.0; }
    int32_t senseCurrent(int, int32_t) const override { return 0; }
    std::string logName() const override { return "hvsrc_biasmod_3.log"; }

    static bool knownCommand(const std::string& text, const Asked& asked) {
        static const std::regex setU(R"(^setU\((\d{1,6})0\)$)");
        std::smatch match;
        if (std::regex_match(text, match, setU)) {
            return asked[0].count(std::stoi(match[1])) != 0;
        }
        return text == "printFW()" || text == "getMinMaxV()" || text == "getUI(1)" ||
               text == "printPolarity()";
    }

    void checkWire(int bridge, const Asked& asked, size_t sets, Problems& out) const override {
        size_t setTexts = 0;
        for (const std::string& text :
             hvtest::recordedCommands(bridge, sim_bias_command_count, sim_bias_command)) {
            if (!knownCommand(text, asked)) {
                out.push_back("the module received \"" + text + "\"");
            }
            setTexts += text.rfind("setU(", 0) == 0 ? 1 : 0;
        }
        if (setTexts < sets) {
            out.push_back(std::to_string(sets) + " sets succeeded, but only " +
                          std::to_string(setTexts) + " setU texts arrived");
        }
    }

    // Each command is followed by its own answer.
    void checkLog(const Lines& log, const Asked& asked, Problems& out) const override {
        for (size_t i = 0; i < log.size(); ++i) {
            if (log[i] != "[DBG]: Sent") {
                continue;
            }
            if (i + 3 >= log.size() || log[i + 1].size() < 7 || log[i + 3].size() < 7 ||
                log[i + 2] != "[DBG]: Received") {
                out.push_back("\"" + log[i + 1] + "\" without its answer");
                continue;
            }
            const std::string command = log[i + 1].substr(7);
            const std::string answer = log[i + 3].substr(7);
            bool fits = knownCommand(command, asked);
            if (command == "getUI(1)") {
                unsigned volts = 0;
                unsigned amps = 0;
                fits = std::sscanf(answer.c_str(), "(%4X;%4X;00)", &volts, &amps) == 2 &&
                       volts % 10 == 0 && asked[0].count(static_cast<int32_t>(volts / 10)) &&
                       amps == kBiasCurrentTenths;
            } else if (command.rfind("setU(", 0) == 0) {
                fits = fits && answer == "(0;00)";
            } else if (command == "printPolarity()") {
                fits = answer == "(POS;00)";
            } else if (command == "printFW()") {
                fits = answer == "(BM-1.04;00)";
            } else if (command == "getMinMaxV()") {
                fits = answer == "(0000;0384;00)";
            }
            if (!fits) {
                out.push_back("\"" + command + "\" answered \"" + answer + "\"");
            }
        }
    }
};

// --- The run -----------------------------------------------------------------------------------

// lastError hands out its text without a lock, by design: the text lives in storage that is never
// reallocated, so the pointer stays valid while another thread records a new message. Reading it
// meanwhile is the one race tsan.supp lets through, by this function's name.
__attribute__((noinline)) size_t unlockedLastErrorLength(const char* text) {
    return strnlen(text, 1024);
}

struct Target {
    Kind* kind;
    int bridge;
    jd::IHwDevHvSrc* device;
};

struct Outcome {
    std::vector<Record> records;
    std::vector<Window> windows;
    Asked asked;
    int reinitFailures = 0;
};

void work(const Target& t, unsigned seed, std::vector<Record>& records, Asked& asked,
          std::atomic<int>& done) {
    std::mt19937 random(seed);
    std::vector<Op> menu = {Op::Set,         Op::Set,         Op::Set,
                            Op::Refused,     Op::ReadVoltage, Op::ReadVoltage,
                            Op::ReadCurrent, Op::Polarity,    Op::LastError};
    if (t.kind->hvParameters()) {
        menu.insert(menu.end(), {Op::SenseVoltage, Op::SenseCurrent, Op::WriteParam});
    }
    host::ParamList& params = hvtest::PluginHost::params(t.device);
    const char* const lastError = t.device->lastError();
    for (int k = 0; k < t.kind->opsPerThread(); ++k) {
        Record r{};
        r.op = menu[random() % menu.size()];
        r.source = static_cast<int>(random() % static_cast<unsigned>(t.kind->sources()));
        // The bias module has one output and ignores the index.
        const uint32_t index = t.kind->sources() == 1 ? random() : static_cast<uint32_t>(r.source);
        const std::vector<int32_t> pool = t.kind->pool(r.source);
        const char* const suffix = r.source == 0 ? "1" : "2";
        int32_t value = 0;
        r.begin = Clock::now();
        switch (r.op) {
            case Op::Set:
                r.asked = pool[random() % pool.size()];
                asked[r.source].insert(r.asked);
                r.rc = t.device->setVoltage(index, r.asked);
                break;
            case Op::Refused:
                r.asked = t.kind->beyond(r.source);
                r.rc = t.device->setVoltage(index, r.asked);
                break;
            case Op::ReadVoltage:
                r.value = t.device->readVoltage(index);
                break;
            case Op::ReadCurrent:
                r.value = t.device->readCurrent(index);
                break;
            case Op::SenseVoltage:
            case Op::SenseCurrent:
                r.rc = hvtest::readParam(
                    params,
                    ((r.op == Op::SenseVoltage ? "VoltageSense" : "CurrentSense") +
                     std::string(suffix))
                        .c_str(),
                    value);
                r.value = value;
                break;
            case Op::WriteParam:
                r.asked = pool[random() % pool.size()];
                asked[r.source].insert(r.asked);
                r.rc =
                    hvtest::writeParam(params, ("Voltage" + std::string(suffix)).c_str(), r.asked);
                break;
            case Op::Polarity:
                r.value = t.device->polarity();
                break;
            case Op::LastError:
                r.rc =
                    t.device->lastError() == lastError && unlockedLastErrorLength(lastError) < 1024
                        ? 0
                        : -1;
                break;
        }
        r.end = Clock::now();
        records.push_back(r);
        ++done;
        // A device found closed: like a host, try again a little later rather than spending the
        // operations while the other thread waits to initialize it again.
        if ((r.op == Op::Set && r.rc != 0) || (r.op == Op::ReadVoltage && r.value == 0.0)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

// Eight workers and one thread that deinitializes and initializes the device meanwhile, at
// random moments of the first half of the run: the device log of the second half stays.
void drive(const Target& t, Outcome& run) {
    // Each output starts at a value from its pool, so that no answer may read 0.
    for (int s = 0; s < t.kind->sources(); ++s) {
        const int32_t first = t.kind->pool(s).front();
        run.asked[s].insert(first);
        ASSERT_EQ(0, t.device->setVoltage(static_cast<uint32_t>(s), first));
    }
    std::vector<std::vector<Record>> records(kWorkers);
    std::vector<Asked> asked(kWorkers);
    std::atomic<int> done{0};
    std::thread reinit([&] {
        std::mt19937 random(kSeed);
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 60));
            Window w{Clock::now(), {}};
            run.reinitFailures += t.device->deinitialize() != 0 ? 1 : 0;
            run.reinitFailures += t.device->initialize() != 0 ? 1 : 0;
            w.end = Clock::now();
            run.windows.push_back(w);
        } while (done < kWorkers * t.kind->opsPerThread() / 2);
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back(
            [&, w] { work(t, kSeed + 1 + static_cast<unsigned>(w), records[w], asked[w], done); });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    reinit.join();
    for (int w = 0; w < kWorkers; ++w) {
        run.records.insert(run.records.end(), records[w].begin(), records[w].end());
        for (int s = 0; s < 2; ++s) {
            run.asked[s].insert(asked[w][s].begin(), asked[w][s].end());
        }
    }
}

// Every answer is one its own request could produce; a failure only while the device was being
// deinitialized and initialized again.
void check(const Target& t, const Outcome& run, const std::string& logDirectory) {
    const Kind& kind = *t.kind;
    EXPECT_GE(run.windows.size(), 1u);
    EXPECT_EQ(0, run.reinitFailures);
    const auto excused = [&](const Record& r) {
        return std::any_of(run.windows.begin(), run.windows.end(),
                           [&](const Window& w) { return r.begin <= w.end && w.begin <= r.end; });
    };
    Problems problems;
    size_t sets = 0;
    size_t closedAnswers = 0;
    for (const Record& r : run.records) {
        const std::set<int32_t>& outputs = run.asked[r.source];
        const bool reading = r.op == Op::ReadVoltage || r.op == Op::SenseVoltage ||
                             r.op == Op::ReadCurrent || r.op == Op::SenseCurrent;
        bool ok = true;
        switch (r.op) {
            case Op::Set:
                sets += r.rc == 0 ? 1 : 0;
                ok = r.rc == 0;
                break;
            case Op::Refused:
                ok = r.rc == -1005;
                break;
            case Op::ReadVoltage:
            case Op::SenseVoltage:
                ok = outputs.count(static_cast<int32_t>(r.value)) != 0 &&
                     r.value == static_cast<int32_t>(r.value);
                break;
            case Op::ReadCurrent:
            case Op::SenseCurrent:
                ok = std::any_of(outputs.begin(), outputs.end(), [&](int32_t v) {
                    return r.value == (r.op == Op::ReadCurrent ? kind.current(r.source, v)
                                                               : kind.senseCurrent(r.source, v));
                });
                break;
            case Op::WriteParam:
            case Op::LastError:
                ok = r.rc == 0;
                break;
            case Op::Polarity:
                ok = r.value == kind.polarity();
                break;
        }
        // What a closed device answers, allowed only while it was being deinitialized and
        // initialized again.
        const bool closedAnswer = (r.op == Op::Set && r.rc == -1) || (reading && r.value == 0) ||
                                  (r.op == Op::Polarity && r.value == -1 && kind.polarity() == 1);
        if (!ok && closedAnswer && excused(r)) {
            ok = true;
            ++closedAnswers;
        }
        if (!ok) {
            char text[160];
            std::snprintf(text, sizeof(text), "%s of source %d (asked %" PRId32 ") gave %g, rc %d",
                          opName(r.op), r.source, r.asked, r.value, r.rc);
            problems.push_back(text);
        }
    }
    std::printf(
        "%s: %zu operations, %zu sets succeeded, %zu re-initializations, %zu answers of "
        "the closed device\n",
        kind.logName().c_str(), run.records.size(), sets, run.windows.size(), closedAnswers);
    kind.checkWire(t.bridge, run.asked, sets, problems);
    kind.checkLog(hvtest::logLines(plat::joinPath(logDirectory, kind.logName())), run.asked,
                  problems);
    for (size_t i = 0; i < std::min<size_t>(problems.size(), 12); ++i) {
        ADD_FAILURE() << kind.logName() << ": " << problems[i];
    }
    EXPECT_EQ(0u, problems.size()) << "problems in all";

    // Afterwards the device works, and its last error is one a thread provoked.
    const std::string last = t.device->lastError();
    EXPECT_TRUE(last.empty() || last == "Device not open" ||
                last == "Voltage out of range " + std::to_string(kind.beyond(0)) ||
                last == "Voltage out of range " + std::to_string(kind.beyond(1)))
        << last;
    const int32_t volts = kind.pool(0).back();
    EXPECT_EQ(0, t.device->setVoltage(0, volts));
    EXPECT_EQ(volts, t.device->readVoltage(0));
}

class Stress : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override { sim_reset(); }

    // Attaches one source of each kind given, starts the plug-in over them, drives every device
    // at once and checks each.
    void stress(const std::string& name, const std::vector<Kind*>& kinds) {
        std::vector<Target> targets;
        for (Kind* kind : kinds) {
            targets.push_back({kind, kind->attach(), nullptr});
            ASSERT_GT(targets.back().bridge, 0);
        }
        const std::string dir = hvtest::freshDirectory("stress_" + name);
        hvtest::PluginHost host;
        ASSERT_TRUE(host.start(dir));
        ASSERT_EQ(kinds.size(), host.deviceCount());
        for (size_t i = 0; i < targets.size(); ++i) {
            targets[i].device = host.device(i);
        }
        std::vector<Outcome> runs(targets.size());
        std::vector<std::thread> drivers;
        for (size_t i = 0; i < targets.size(); ++i) {
            drivers.emplace_back([&, i] { drive(targets[i], runs[i]); });
        }
        for (std::thread& driver : drivers) {
            driver.join();
        }
        for (size_t i = 0; i < targets.size(); ++i) {
            check(targets[i], runs[i], dir);
        }
    }

    CurrentKind current;
    LegacyKind legacy;
    BiasKind bias;
};

TEST_F(Stress, CurrentModel) {
    stress("current", {&current});
}

TEST_F(Stress, LegacyModel) {
    stress("legacy", {&legacy});
}

TEST_F(Stress, BiasModule) {
    stress("bias", {&bias});
}

TEST_F(Stress, AllKindsOnOneLibrary) {
    stress("all", {&current, &legacy, &bias});
}

}  // namespace
