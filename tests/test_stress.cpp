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
#include <cstdio>
#include <cstring>
#include <random>
#include <regex>
#include <set>
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

enum class Op { Set, Refused, Voltage, Current, SenseV, SenseI, Write, Polarity, LastError };
const char* const kOpNames[] = {"setVoltage",    "setVoltage beyond the limits",
                                "readVoltage",   "readCurrent",
                                "VoltageSense",  "CurrentSense",
                                "Voltage write", "polarity",
                                "lastError"};

struct Record {
    Op op;
    int source;
    int32_t asked;
    double value;
    int rc;
    Clock::time_point begin;
    Clock::time_point end;
};

std::vector<int32_t> steps(int32_t from, int32_t to, int32_t step) {
    std::vector<int32_t> values;
    for (int32_t v = from; step > 0 ? v <= to : v >= to; v += step) {
        values.push_back(v);
    }
    return values;
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

// --- Current model: binary frames, answers 1 ms late -------------------------------------------

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
        size_t setFrames = 0;
        for (int i = 0; i < sim_hvsrc_frame_count(bridge); ++i) {
            SimHvFrame f{};
            sim_hvsrc_frame(bridge, i, &f);
            if (f.malformed != 0 || f.interleaved != 0 || f.overlapped != 0) {
                out.push_back("frame " + std::to_string(i) + " (code " + std::to_string(f.code) +
                              ") malformed " + std::to_string(f.malformed) + ", interleaved " +
                              std::to_string(f.interleaved) + ", overlapped " +
                              std::to_string(f.overlapped));
            }
            if (f.code == 0x05 && f.length == 3) {
                ++setFrames;
                const int32_t volts = static_cast<int16_t>((f.payload[1] << 8) | f.payload[2]);
                if (f.payload[0] > 1 || asked[f.payload[0]].count(volts) == 0) {
                    out.push_back("source " + std::to_string(f.payload[0]) + " received " +
                                  std::to_string(volts) + " V, which no thread asked for");
                }
            }
        }
        if (setFrames < sets) {
            out.push_back(std::to_string(sets) + " sets succeeded, " + std::to_string(setFrames) +
                          " SetVoltage frames arrived");
        }
    }

    // Each request is followed by the answer with its code before anything else is logged.
    void checkLog(const Lines& log, const Asked&, Problems& out) const override {
        static const std::regex command(R"(^\[DBG\]: CMD ([0-9A-F]{2}) \(\w+\) (>>>|<<< )$)");
        std::string waiting;  // the code of a request not answered yet
        for (const std::string& line : log) {
            std::smatch match;
            const bool isCommand = std::regex_match(line, match, command);
            if (isCommand && match[2] == "<<< " && match[1] == waiting) {
                waiting.clear();
            } else if (!waiting.empty() && line != "[DBG]: Sent data:" &&
                       line.rfind("   ", 0) != 0) {
                out.push_back("\"" + line + "\" while CMD " + waiting + " waits for its answer");
                waiting.clear();
            } else if (isCommand && match[2] == "<<< ") {
                out.push_back("an answer " + match[1].str() + " without its request");
            }
            if (isCommand && match[2] == ">>>") {
                waiting = match[1];
            }
        }
    }
};

// --- The text protocols: each command logged as a "Sent" entry and the text, each answer as a
// "Received" entry and the line -----------------------------------------------------------------

class TextKind : public Kind {
public:
    // Whether the source may receive the text; a set text counts into `sets`.
    virtual bool sendable(const std::string& text, const Asked& asked, size_t& sets) const = 0;
    // Whether `answer` (empty: none logged) is the answer to `command`.
    virtual bool answers(const std::string& command, const std::string& answer,
                         const Asked& asked) const = 0;
    virtual Lines received(int bridge) const = 0;

    void checkWire(int bridge, const Asked& asked, size_t sets, Problems& out) const override {
        size_t setTexts = 0;
        for (const std::string& text : received(bridge)) {
            if (!sendable(text, asked, setTexts)) {
                out.push_back("the source received \"" + text + "\"");
            }
        }
        if (setTexts < sets) {
            out.push_back(std::to_string(sets) + " sets succeeded, " + std::to_string(setTexts) +
                          " set texts arrived");
        }
    }

    void checkLog(const Lines& log, const Asked& asked, Problems& out) const override {
        const auto text = [&](size_t i) {
            return i >= log.size() ? std::string()
                                   : log[i].substr(std::min<size_t>(7, log[i].size()));
        };
        for (size_t i = 0; i < log.size(); ++i) {
            if (log[i] == "[DBG]: Received" &&
                (i < 2 || (log[i - 2] != "[DBG]: Sent" && log[i - 2] != "[DBG]: Received"))) {
                out.push_back("an answer at entry " + std::to_string(i) + " without its command");
            }
            if (log[i] != "[DBG]: Sent") {
                continue;
            }
            const bool answered = i + 2 < log.size() && log[i + 2] == "[DBG]: Received";
            const std::string answer = answered ? text(i + 3) : "";
            if (!answers(text(i + 1), answer, asked)) {
                out.push_back("\"" + text(i + 1) + "\" answered \"" + answer + "\"");
            }
        }
    }
};

// The legacy source: "o" and its status line, set texts without an answer.
class LegacyKind : public TextKind {
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
    Lines received(int bridge) const override {
        return hvtest::recordedCommands(bridge, sim_hvold_command_count, sim_hvold_command);
    }

    // "<4 V>a" sets source 0, "<-4 V>b" source 1, to a voltage some thread asked for.
    bool sendable(const std::string& text, const Asked& asked, size_t& sets) const override {
        static const std::regex set(R"(^(\d{1,6})([ab])$)");
        std::smatch match;
        if (text == "o" || !std::regex_match(text, match, set)) {
            return text == "o";
        }
        ++sets;
        const int32_t quarters = std::stoi(match[1]);
        return quarters % 4 == 0 && asked[match[2] == "a" ? 0 : 1].count(
                                        match[2] == "a" ? quarters / 4 : -quarters / 4) != 0;
    }

    // The status line reports source 0 as volts / 0.125 << 3, source 1 offset by 1020 V.
    bool answers(const std::string& command, const std::string& answer,
                 const Asked& asked) const override {
        size_t sets = 0;
        unsigned f[10] = {};
        if (command != "o") {
            return answer.empty() && sendable(command, asked, sets);
        }
        return std::sscanf(answer.c_str(), "%x\t%x\t%x\t%x\t%x\t%x\t%x\t%x\t%x\t%x", &f[0], &f[1],
                           &f[2], &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9]) == 10 &&
               asked[0].count(static_cast<int32_t>(f[4] / 64)) != 0 &&
               asked[1].count(static_cast<int32_t>(f[5] / 64) - 1020) != 0;
    }
};

// The bias module: bracketed answers, 1 ms late, with a fixed current of 3.7 (tenths 37).
constexpr int32_t kBiasCurrentTenths = 37;

class BiasKind : public TextKind {
public:
    int attach() override {
        const int bridge = sim_bias_attach("BiasModule: 3", "BM3");
        sim_bias_set_current(bridge, kBiasCurrentTenths);
        sim_bias_set_delay(bridge, 1);
        return bridge;
    }
    int sources() const override { return 1; }
    // Every answer is read into a fresh megabyte: slow under the sanitizers.
    int opsPerThread() const override { return 12; }
    // The module's limits: 0 and 90 V.
    std::vector<int32_t> pool(int) const override { return steps(5, 85, 5); }
    int32_t beyond(int) const override { return 95; }
    bool hvParameters() const override { return false; }
    int polarity() const override { return 1; }
    double current(int, int32_t) const override { return kBiasCurrentTenths / 10.0; }
    int32_t senseCurrent(int, int32_t) const override { return 0; }
    std::string logName() const override { return "hvsrc_biasmod_3.log"; }
    Lines received(int bridge) const override {
        return hvtest::recordedCommands(bridge, sim_bias_command_count, sim_bias_command);
    }

    bool sendable(const std::string& text, const Asked& asked, size_t& sets) const override {
        static const std::regex setU(R"(^setU\((\d{1,6})0\)$)");
        std::smatch match;
        if (std::regex_match(text, match, setU)) {
            ++sets;
            return asked[0].count(std::stoi(match[1])) != 0;
        }
        return text == "printFW()" || text == "getMinMaxV()" || text == "getUI(1)" ||
               text == "printPolarity()";
    }

    bool answers(const std::string& command, const std::string& answer,
                 const Asked& asked) const override {
        unsigned tenths = 0;
        unsigned amps = 0;
        if (command == "getUI(1)") {
            return std::sscanf(answer.c_str(), "(%4X;%4X;00)", &tenths, &amps) == 2 &&
                   tenths % 10 == 0 && asked[0].count(static_cast<int32_t>(tenths / 10)) != 0 &&
                   amps == kBiasCurrentTenths;
        }
        size_t sets = 0;
        return sendable(command, asked, sets) &&
               answer == (sets == 1                      ? "(0;00)"
                          : command == "printPolarity()" ? "(POS;00)"
                          : command == "printFW()"       ? "(BM-1.04;00)"
                                                         : "(0000;0384;00)");
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
    std::vector<std::pair<Clock::time_point, Clock::time_point>> reinits;
    Asked asked;
    int reinitFailures = 0;
};

void work(const Target& t, unsigned seed, std::vector<Record>& records, Asked& asked,
          std::atomic<int>& done) {
    std::mt19937 random(seed);
    std::vector<Op> menu = {Op::Set,     Op::Set,     Op::Set,      Op::Refused,  Op::Voltage,
                            Op::Voltage, Op::Current, Op::Polarity, Op::LastError};
    if (t.kind->hvParameters()) {
        menu.insert(menu.end(), {Op::SenseV, Op::SenseI, Op::Write});
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
        const std::string number = r.source == 0 ? "1" : "2";
        int32_t value = 0;
        if (r.op == Op::Set || r.op == Op::Write) {
            r.asked = pool[random() % pool.size()];
            asked[r.source].insert(r.asked);
        }
        r.begin = Clock::now();
        if (r.op == Op::Set || r.op == Op::Refused) {
            r.rc =
                t.device->setVoltage(index, r.op == Op::Set ? r.asked : t.kind->beyond(r.source));
        } else if (r.op == Op::Voltage || r.op == Op::Current) {
            r.value =
                r.op == Op::Voltage ? t.device->readVoltage(index) : t.device->readCurrent(index);
        } else if (r.op == Op::SenseV || r.op == Op::SenseI) {
            const std::string name =
                (r.op == Op::SenseV ? "VoltageSense" : "CurrentSense") + number;
            r.rc = hvtest::readParam(params, name.c_str(), value);
            r.value = value;
        } else if (r.op == Op::Write) {
            r.rc = hvtest::writeParam(params, ("Voltage" + number).c_str(), r.asked);
        } else if (r.op == Op::Polarity) {
            r.value = t.device->polarity();
        } else {
            const bool same = t.device->lastError() == lastError;
            r.rc = same && unlockedLastErrorLength(lastError) < 1024 ? 0 : -1;
        }
        r.end = Clock::now();
        records.push_back(r);
        ++done;
        // A device found closed: like a host, try again a little later rather than spending the
        // operations while the other thread waits to initialize it again.
        if ((r.op == Op::Set && r.rc != 0) || (r.op == Op::Voltage && r.value == 0.0)) {
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
            const Clock::time_point begin = Clock::now();
            run.reinitFailures += t.device->deinitialize() != 0 ? 1 : 0;
            run.reinitFailures += t.device->initialize() != 0 ? 1 : 0;
            run.reinits.emplace_back(begin, Clock::now());
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
    EXPECT_GE(run.reinits.size(), 1u);
    EXPECT_EQ(0, run.reinitFailures);
    Problems problems;
    size_t sets = 0;
    size_t closedAnswers = 0;
    for (const Record& r : run.records) {
        // What the operation gives while the output stands at v.
        const auto reading = [&](int32_t v) {
            return r.op == Op::Voltage || r.op == Op::SenseV ? static_cast<double>(v)
                   : r.op == Op::Current                     ? kind.current(r.source, v)
                                                             : kind.senseCurrent(r.source, v);
        };
        const std::set<int32_t>& outputs = run.asked[r.source];
        const bool isReading =
            r.op == Op::Voltage || r.op == Op::Current || r.op == Op::SenseV || r.op == Op::SenseI;
        bool ok = r.rc == (r.op == Op::Refused ? -1005 : 0);
        if (isReading) {
            ok = ok && std::any_of(outputs.begin(), outputs.end(),
                                   [&](int32_t v) { return r.value == reading(v); });
        } else if (r.op == Op::Polarity) {
            ok = r.value == kind.polarity();
        }
        sets += r.op == Op::Set && r.rc == 0 ? 1 : 0;
        // What a closed device answers, allowed only while it was being deinitialized and
        // initialized again.
        const bool closedAnswer = (r.op == Op::Set && r.rc == -1) || (isReading && r.value == 0) ||
                                  (r.op == Op::Polarity && r.value == -1 && kind.polarity() == 1);
        const bool duringReinit =
            std::any_of(run.reinits.begin(), run.reinits.end(),
                        [&](const auto& w) { return r.begin <= w.second && w.first <= r.end; });
        if (!ok && closedAnswer && duringReinit) {
            ok = true;
            ++closedAnswers;
        }
        if (!ok) {
            problems.push_back(std::string(kOpNames[static_cast<int>(r.op)]) + " of source " +
                               std::to_string(r.source) + " (asked " + std::to_string(r.asked) +
                               ") gave " + std::to_string(r.value) + ", rc " +
                               std::to_string(r.rc));
        }
    }
    std::printf(
        "%s: %zu operations, %zu sets succeeded, %zu re-initializations, %zu answers of "
        "the closed device\n",
        kind.logName().c_str(), run.records.size(), sets, run.reinits.size(), closedAnswers);
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

// Attaches one source of each kind given, starts the plug-in over them, drives every device at
// once and checks each.
void stress(const std::string& name, const std::vector<Kind*>& kinds) {
    sim_reset();
    std::vector<Target> targets;
    for (Kind* kind : kinds) {
        targets.push_back({kind, kind->attach(), nullptr});
        ASSERT_GT(targets.back().bridge, 0);
    }
    const std::string dir = hvtest::freshDirectory("stress_" + name);
    hvtest::PluginHost host;
    ASSERT_TRUE(host.start(dir));
    ASSERT_EQ(kinds.size(), host.deviceCount());
    std::vector<Outcome> runs(targets.size());
    std::vector<std::thread> drivers;
    for (size_t i = 0; i < targets.size(); ++i) {
        targets[i].device = host.device(i);
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

TEST(Stress, CurrentModel) {
    stress("current", {&current});
}

TEST(Stress, LegacyModel) {
    stress("legacy", {&legacy});
}

TEST(Stress, BiasModule) {
    stress("bias", {&bias});
}

TEST(Stress, AllKindsOnOneLibrary) {
    stress("all", {&current, &legacy, &bias});
}

}  // namespace
