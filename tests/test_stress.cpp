// Eight threads mix every operation on one device through the plug-in, one more re-initializes it;
// answers come late, so unguarded exchanges overlap. Results, requests and log entries are checked.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "plugin_host.h"
#include "sim_kinds.h"

namespace {

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;
using Asked = std::array<std::set<int32_t>, 2>;  // per source, each voltage a thread asked for

constexpr int kWorkers = 8;
constexpr unsigned kSeed = 1207;

enum class Op { Set, Refused, Voltage, Current, SenseV, SenseI, Write, Polarity, LastError };
const char* const kOpNames[] = {"set",         "refused set",  "readVoltage",
                                "readCurrent", "VoltageSense", "CurrentSense",
                                "write",       "polarity",     "lastError"};

struct Record {
    Op op;
    int source, rc;
    int32_t asked;
    double value;
    Clock::time_point begin, end;
};

// One kind of source under stress: what threads ask and what answers may be.
struct StressKind {
    simkind::Kind kind;
    const char *description, *logName;
    unsigned delayMs;                 // how late each answer comes
    int sources, opsPerThread;        // fewer operations where each is slow
    int32_t first[2], last[2], step;  // asked volts: within the limits, never 0 (no answer reads 0)
    int32_t beyond[2];                // outside the limits
    int polarity;
    int32_t sensePerVolt[2];  // "CurrentSense" nanoamperes per volt; readCurrent adds fixedCurrent
    double fixedCurrent;

    std::vector<int32_t> pool(int source) const {
        std::vector<int32_t> values;
        const int32_t by = first[source] <= last[source] ? step : -step;
        for (int32_t v = first[source]; v != last[source] + by; v += by) {
            values.push_back(v);
        }
        return values;
    }
};

// The current model: 10 and 20 megaohm loads; the bias module: a fixed current of 3.7.
// clang-format off
const StressKind kCurrent{simkind::kHv, "Tessaro HV Source: 1", "hvsrc_1.log", 1, 2, 60,
                          {100, -100}, {1000, -1000}, 50, {1500, -1500}, 0, {100, 50}, 0.0};
const StressKind kLegacy{simkind::kOld, "HV source AVR", "hvsrcold_1.log", 0, 2, 16,
                         {100, -100}, {900, -900}, 50, {1500, -1500}, 0, {0, 0}, 0.0};
const StressKind kBias{simkind::kBias, "BiasModule: 3", "hvsrc_biasmod_3.log", 1, 1, 12,
                       {5, 5}, {85, 85}, 5, {95, 95}, 1, {0, 0}, 3.7};
// clang-format on

// One device under stress: its source's bridge, and what the threads did.
struct Run {
    const StressKind& kind;
    int bridge;
    jd::IHwDevHvSrc* device;
    std::vector<Record> records;
    std::vector<std::pair<Clock::time_point, Clock::time_point>> reinits;
    Asked asked;
    int reinitFailures;
};

// Whether `answer` (empty: none) is what the source answers to `command`: the current model with
// its code, a legacy set with nothing, a query with its kind of answer.
bool answers(simkind::Kind kind, const std::string& command, const std::string& answer) {
    static const std::pair<std::regex, std::regex> kAnswers[] = {
        {std::regex(R"(\d+[ab])"), std::regex("")},
        {std::regex(R"(setU\(\d+\))"), std::regex(R"(\(0;00\))")},
        {std::regex("o"), std::regex(R"(([0-9a-fA-F]+\t){9}[0-9a-fA-F]+)")},
        {std::regex(R"(getUI\(1\))"), std::regex(R"(\([0-9A-F]{4};0025;00\))")},
        {std::regex(R"(printPolarity\(\))"), std::regex(R"(\(POS;00\))")},
        {std::regex(R"(printFW\(\))"), std::regex(R"(\(BM-1\.04;00\))")},
        {std::regex(R"(getMinMaxV\(\))"), std::regex(R"(\(0000;0384;00\))")}};
    return kind == simkind::kHv
               ? answer == command
               : std::any_of(std::begin(kAnswers), std::end(kAnswers), [&](auto& a) {
                     return std::regex_match(command, a.first) &&
                            std::regex_match(answer, a.second);
                 });
}

// Each request entry is followed by its answer before anything else is logged: the current
// model's "CMD <code> (<name>) >>>" (its dump between) by the code's "<<< ", a text's "Sent" entry
// and text by "Received" and an answer (more may follow) that `answers` it.
void checkLog(simkind::Kind kind, const Lines& log, Lines& out) {
    static const std::regex frame(R"(^\[DBG\]: CMD ([0-9A-F]{2}) \(\w+\) (>>>|<<< )$)");
    std::string pending;    // a request not answered yet
    bool answered = false;  // the entry before was an answer
    for (size_t i = 0; i < log.size(); ++i) {
        std::smatch m;
        const bool isFrame = std::regex_match(log[i], m, frame);
        const bool sent = isFrame ? m[2] == ">>>" : log[i] == "[DBG]: Sent";
        const bool got = isFrame ? m[2] == "<<< " : log[i] == "[DBG]: Received";
        if (kind == simkind::kHv &&
            (log[i] == "[DBG]: Sent data:" || log[i].rfind("   ", 0) == 0)) {
            continue;
        }
        // A frame's body is its code; a text's is the entry after "Sent" or "Received".
        std::string body = isFrame ? m[1].str() : "";
        if (!isFrame && (sent || got) && ++i < log.size()) {
            body = log[i].substr(std::min<size_t>(7, log[i].size()));
        }
        if (!pending.empty() && !answers(kind, pending, got ? body : "")) {
            out.push_back("\"" + pending + "\" answered \"" + (got ? body : "") + "\"");
        } else if (got && pending.empty() && (kind == simkind::kHv || !answered)) {
            out.push_back("an answer at entry " + std::to_string(i) + " without its request");
        }
        pending = sent ? body : "";
        answered = got;
    }
}

// lastError hands out its text without a lock, by design (its storage is never reallocated);
// reading it meanwhile is the one race tsan.supp lets through, by this function's name.
__attribute__((noinline)) size_t unlockedLastErrorLength(const char* text) {
    return strnlen(text, 1024);
}

void work(const Run& t, unsigned seed, std::vector<Record>& records, std::atomic<int>& done) {
    std::mt19937 random(seed);
    std::vector<Op> menu = {Op::Set,     Op::Set,     Op::Set,      Op::Refused,  Op::Voltage,
                            Op::Voltage, Op::Current, Op::Polarity, Op::LastError};
    if (t.kind.kind != simkind::kBias) {
        menu.insert(menu.end(), {Op::SenseV, Op::SenseI, Op::Write});
    }
    host::ParamList& params = hvtest::PluginHost::params(t.device);
    const char* const lastError = t.device->lastError();
    for (int k = 0; k < t.kind.opsPerThread; ++k) {
        Record r{};
        r.op = menu[random() % menu.size()];
        r.source = static_cast<int>(random() % static_cast<unsigned>(t.kind.sources));
        // The bias module has one output and ignores the index.
        const uint32_t index = t.kind.sources == 1 ? random() : static_cast<uint32_t>(r.source);
        const std::vector<int32_t> pool = t.kind.pool(r.source);
        const std::string number = r.source == 0 ? "1" : "2";
        int32_t value = 0;
        r.asked = pool[random() % pool.size()];
        r.begin = Clock::now();
        if (r.op == Op::Set || r.op == Op::Refused) {
            r.rc = t.device->setVoltage(index, r.op == Op::Set ? r.asked : t.kind.beyond[r.source]);
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
        // A device found closed: like a host, try again a little later.
        if ((r.op == Op::Set && r.rc != 0) || (r.op == Op::Voltage && r.value == 0.0)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }
}

// Eight workers, and one thread re-initializing the device during the first half of the run.
void drive(Run& run) {
    // Each output starts at a value from its pool, so that no answer may read 0.
    for (int s = 0; s < run.kind.sources; ++s) {
        run.asked[s].insert(run.kind.first[s]);
        ASSERT_EQ(0, run.device->setVoltage(static_cast<uint32_t>(s), run.kind.first[s]));
    }
    std::vector<std::vector<Record>> records(kWorkers);
    std::atomic<int> done{0};
    std::thread reinit([&] {
        std::mt19937 random(kSeed);
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(5 + random() % 60));
            const Clock::time_point begin = Clock::now();
            run.reinitFailures += run.device->deinitialize() != 0 ? 1 : 0;
            run.reinitFailures += run.device->initialize() != 0 ? 1 : 0;
            run.reinits.emplace_back(begin, Clock::now());
        } while (done < kWorkers * run.kind.opsPerThread / 2);
    });
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] { work(run, kSeed + 1 + w, records[w], done); });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    reinit.join();
    for (const std::vector<Record>& mine : records) {
        for (const Record& r : mine) {
            run.records.push_back(r);
            if (r.op == Op::Set || r.op == Op::Write) {
                run.asked[r.source].insert(r.asked);
            }
        }
    }
}

// Every answer is one its own request could produce; a failure only during a re-initialization.
void check(const Run& run, const std::string& logDirectory) {
    const StressKind& kind = run.kind;
    EXPECT_GE(run.reinits.size(), 1u);
    EXPECT_EQ(0, run.reinitFailures);
    Lines problems;
    size_t sets = 0, closedAnswers = 0, received = 0;
    for (const Record& r : run.records) {
        const bool reading =
            r.op == Op::Voltage || r.op == Op::Current || r.op == Op::SenseV || r.op == Op::SenseI;
        // What the operation gives while the output stands at v (readCurrent in microamperes).
        const auto gives = [&](int32_t v) {
            return r.op == Op::Voltage || r.op == Op::SenseV ? static_cast<double>(v)
                   : r.op == Op::Current
                       ? kind.fixedCurrent + kind.sensePerVolt[r.source] * v / 1000.0
                       : v * kind.sensePerVolt[r.source];
        };
        const std::set<int32_t>& outputs = run.asked[r.source];
        const bool ok = r.rc == (r.op == Op::Refused ? -1005 : 0) &&
                        (!reading || std::any_of(outputs.begin(), outputs.end(),
                                                 [&](int32_t v) { return r.value == gives(v); })) &&
                        (r.op != Op::Polarity || r.value == kind.polarity);
        sets += r.op == Op::Set && r.rc == 0 ? 1 : 0;
        // What a closed device answers, allowed only during a re-initialization.
        const bool closed = ((r.op == Op::Set && r.rc == -1) || (reading && r.value == 0) ||
                             (r.op == Op::Polarity && r.value == -1 && kind.polarity == 1)) &&
                            std::any_of(run.reinits.begin(), run.reinits.end(), [&](const auto& w) {
                                return r.begin <= w.second && w.first <= r.end;
                            });
        closedAnswers += !ok && closed ? 1 : 0;
        if (!ok && !closed) {
            problems.push_back(std::string(kOpNames[static_cast<int>(r.op)]) + " of source " +
                               std::to_string(r.source) + " (asked " + std::to_string(r.asked) +
                               ") gave " + std::to_string(r.value) + ", rc " +
                               std::to_string(r.rc));
        }
    }
    std::printf("%s: %zu operations, %zu sets, %zu re-initializations, %zu closed answers\n",
                kind.logName, run.records.size(), sets, run.reinits.size(), closedAnswers);
    // Every request arrived sound, each set for an asked voltage, at least as many as returned 0.
    for (const simkind::Request& r : simkind::requestsSince(kind.kind, run.bridge, 0)) {
        if (!r.sound) {
            problems.push_back("the source received " + r.text + ", not whole or mixed");
        }
        received += r.source >= 0 ? 1 : 0;
        if (r.source >= 0 && (r.source > 1 || r.volts != std::trunc(r.volts) ||
                              run.asked[r.source].count(static_cast<int32_t>(r.volts)) == 0)) {
            problems.push_back(r.text + " set " + std::to_string(r.volts) + " V, asked by none");
        }
    }
    if (received < sets) {
        problems.push_back(std::to_string(received) + " set requests for more sets");
    }
    const Lines log = hvtest::logLines(plat::joinPath(logDirectory, kind.logName));
    checkLog(kind.kind, log, problems);
    for (size_t i = 0; i < std::min<size_t>(problems.size(), 12); ++i) {
        ADD_FAILURE() << kind.logName << ": " << problems[i];
    }
    EXPECT_EQ(0u, problems.size()) << "problems in all";

    // Afterwards the device works, and its last error is one a thread provoked.
    const std::string last = run.device->lastError();
    static const std::regex closed(
        R"(^[A-Z][a-z]+ [a-z0-9 ]+ failed \(failure \d+\): Device not open$)");
    EXPECT_TRUE(last.empty() || std::regex_match(last, closed) ||
                last == "Voltage out of range " + std::to_string(kind.beyond[0]) ||
                last == "Voltage out of range " + std::to_string(kind.beyond[1]))
        << last;
    const int32_t volts = kind.pool(0).back();
    EXPECT_EQ(0, run.device->setVoltage(0, volts));
    EXPECT_EQ(volts, run.device->readVoltage(0));
}

// One source of each kind given under one plug-in, all driven at once, each checked.
void stress(const std::string& name, const std::vector<const StressKind*>& kinds) {
    sim_reset();
    std::vector<Run> runs;
    for (const StressKind* k : kinds) {
        const int bridge = simkind::kModels[k->kind].attach(k->description, "STRESS");
        ASSERT_GT(bridge, 0);
        simkind::kModels[k->kind].setDelay(bridge, k->delayMs);
        if (k->kind == simkind::kHv) {
            sim_hvsrc_set_range(bridge, 0, 0, 1000);
            sim_hvsrc_set_range(bridge, 1, -1000, 0);
            sim_hvsrc_set_load(bridge, 0, 10.0);
            sim_hvsrc_set_load(bridge, 1, 20.0);
        } else if (k->kind == simkind::kBias) {
            sim_bias_set_current(bridge, 37);
        }
        runs.push_back({*k, bridge, nullptr, {}, {}, {}, 0});
    }
    const std::string dir = hvtest::freshDirectory("stress_" + name);
    hvtest::PluginHost host;
    ASSERT_TRUE(host.start(dir));
    ASSERT_EQ(kinds.size(), host.deviceCount());
    std::vector<std::thread> drivers;
    for (size_t i = 0; i < runs.size(); ++i) {
        runs[i].device = host.device(i);
        drivers.emplace_back([&runs, i] { drive(runs[i]); });
    }
    for (std::thread& driver : drivers) {
        driver.join();
    }
    for (const Run& run : runs) {
        check(run, dir);
    }
}

TEST(Stress, EachKindAloneThenAllKindsOnOneLibrary) {
    stress("current", {&kCurrent});
    stress("legacy", {&kLegacy});
    stress("bias", {&kBias});
    stress("all", {&kCurrent, &kLegacy, &kBias});
}

}  // namespace
