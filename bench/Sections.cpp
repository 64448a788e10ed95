#include "Sections.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "DevBase.h"
#include "platform.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Runs `f` once to warm up, then at least minReps times and until the budget is spent (at most
// maxReps); the time of each run in seconds, sorted.
template <typename F>
std::vector<double> timeRuns(F f, double budget, const Settings& s) {
    f();
    std::vector<double> samples;
    const Clock::time_point start = Clock::now();
    while (samples.size() < s.minReps ||
           (samples.size() < s.maxReps && secondsSince(start) < budget)) {
        const Clock::time_point t0 = Clock::now();
        f();
        samples.push_back(secondsSince(t0));
    }
    std::sort(samples.begin(), samples.end());
    return samples;
}

// Times `library` and `bare` in alternating blocks of kBlock runs until both have at least
// minReps and the budget is spent (at most maxReps), so both meet the same load on the machine.
// Each block begins with one untimed run: a run that follows the other kind's starts out of step
// with its own bridge's latency ticks, and back to back every run starts right after a tick.
// The times of each, sorted; `cpu` and `wall` add up the process's CPU and wall seconds over the
// library's timed runs alone.
template <typename Library, typename Bare>
void timeBlocks(Library library, Bare bare, double budget, const Settings& s,
                std::vector<double>& libraryTimes, std::vector<double>& bareTimes, double& cpu,
                double& wall) {
    constexpr size_t kBlock = 10;
    const auto block = [&](auto run, std::vector<double>& times, bool counted) {
        run();
        for (size_t i = 0; i < kBlock; ++i) {
            const double cpu0 = plat::processCpuSeconds();
            const Clock::time_point t0 = Clock::now();
            run();
            const double took = secondsSince(t0);
            if (counted) {
                cpu += plat::processCpuSeconds() - cpu0;
                wall += took;
            }
            times.push_back(took);
        }
    };
    const Clock::time_point start = Clock::now();
    while (libraryTimes.size() < s.minReps ||
           (libraryTimes.size() < s.maxReps && secondsSince(start) < budget)) {
        block(library, libraryTimes, true);
        block(bare, bareTimes, false);
    }
    std::sort(libraryTimes.begin(), libraryTimes.end());
    std::sort(bareTimes.begin(), bareTimes.end());
}

double median(const std::vector<double>& sorted) {
    return sorted.empty() ? 0.0 : sorted[sorted.size() / 2];
}

double percentile99(const std::vector<double>& sorted) {
    if (sorted.empty()) {
        return 0.0;
    }
    const size_t rank = (sorted.size() * 99 + 99) / 100;
    return sorted[std::min(sorted.size(), rank) - 1];
}

const std::vector<Kind> kAllKinds = {Kind::HvSrc, Kind::Bias, Kind::HvOld};

size_t deviceOf(Kind kind) {
    return static_cast<size_t>(std::find(kAllKinds.begin(), kAllKinds.end(), kind) -
                               kAllKinds.begin());
}

std::string requests(const Operation& op) {
    std::string all;
    for (const Exchange& e : op.exchanges) {
        all += e.request;
    }
    return all;
}

std::string writtenOn(SimApi& sim, int bridge) {
    std::string bytes(sim.sim_written(bridge, nullptr, 0), '\0');
    sim.sim_written(bridge, &bytes[0], bytes.size());
    return bytes;
}

// The device log's threshold, through the seam the device base offers.
void setDeviceLogLevel(jd::IHwDevHvSrc* device, int level) {
    FileLog* log = static_cast<HwHvSrc::DevBase*>(device)->deviceLog();
    if (log != nullptr) {
        log->setLevel(level);
    }
}

// The sources of a run of many: one kind, or the three kinds mixed (the legacy source, whose
// description carries no number, only once).
std::vector<Kind> sourcesOf(const std::string& group, size_t n) {
    std::vector<Kind> kinds;
    for (size_t i = 0; i < n; ++i) {
        if (group == kindName(Kind::HvSrc)) {
            kinds.push_back(Kind::HvSrc);
        } else if (group == kindName(Kind::Bias)) {
            kinds.push_back(Kind::Bias);
        } else if (group == kindName(Kind::HvOld)) {
            kinds.push_back(Kind::HvOld);
        } else {
            kinds.push_back(i == 2 ? Kind::HvOld : i % 2 == 0 ? Kind::HvSrc : Kind::Bias);
        }
    }
    return kinds;
}

// Every device read by a thread of its own for `seconds`; readings a second, all together.
double readAtOnce(Rig& rig, double seconds) {
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::vector<size_t> counts(rig.size(), 0);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < rig.size(); ++i) {
        threads.emplace_back([&, i] {
            while (!go) {
                std::this_thread::yield();
            }
            while (!stop) {
                rig.device(i)->readVoltage(0);
                ++counts[i];
            }
        });
    }
    const Clock::time_point start = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (std::thread& t : threads) {
        t.join();
    }
    const double elapsed = secondsSince(start);
    size_t total = 0;
    for (size_t c : counts) {
        total += c;
    }
    return static_cast<double>(total) / elapsed;
}

}  // namespace

bool measureInstant(Rig& rig, const Settings& s, std::vector<InstantRow>& rows,
                    std::string& error) {
    if (!rig.start(kAllKinds, false, error)) {
        return false;
    }
    std::map<Kind, void*> bare;
    for (Kind kind : kAllKinds) {
        bare[kind] = rig.openBare(kind);
        if (bare[kind] == nullptr) {
            error = std::string("cannot open a bare bridge for the ") + kindName(kind);
            return false;
        }
    }
    for (const Operation& op : operations()) {
        InstantRow row;
        row.op = &op;
        const size_t device = deviceOf(op.kind);
        jd::IHwDevHvSrc* dev = rig.device(device);
        if (!bareExchange(rig.sim, bare[op.kind], op, row.answers)) {
            error = std::string("no answer to the bare ") + kindName(op.kind) + " " + op.name;
            return false;
        }
        const int bridge = Rig::bridgeOf(device);
        rig.sim.sim_clear_written(bridge);
        op.run(dev);
        row.trafficMatches = writtenOn(rig.sim, bridge) == requests(op);

        std::vector<size_t> scratch;
        row.bare = median(timeRuns([&] { bareExchange(rig.sim, bare[op.kind], op, scratch); },
                                   s.instantSeconds, s));
        row.library = median(timeRuns([&] { op.run(dev); }, s.instantSeconds, s));
        if (op.logSeam) {
            setDeviceLogLevel(dev, LOG_ERR);
            row.quiet = median(timeRuns([&] { op.run(dev); }, s.instantSeconds, s));
            setDeviceLogLevel(dev, LOG_DBG);
        }
        rig.clearRecords(device, op.kind);
        rows.push_back(row);
    }
    for (auto& entry : bare) {
        rig.closeBare(entry.second);
    }
    rig.stop();
    return true;
}

bool measureWire(Rig& rig, const Settings& s, const std::vector<InstantRow>& instant,
                 std::vector<WireRow>& rows, std::string& error) {
    if (!rig.start(kAllKinds, true, error)) {
        return false;
    }
    std::map<Kind, void*> bare;
    for (Kind kind : kAllKinds) {
        bare[kind] = rig.openBare(kind);
        if (bare[kind] == nullptr) {
            error = std::string("cannot open a bare timed bridge for the ") + kindName(kind);
            return false;
        }
    }
    for (const InstantRow& measured : instant) {
        const Operation& op = *measured.op;
        const size_t device = deviceOf(op.kind);
        jd::IHwDevHvSrc* dev = rig.device(device);
        WireRow row;
        row.op = &op;
        row.limit = lineLimit(op, measured.answers);
        std::vector<size_t> scratch;
        if (!bareExchange(rig.sim, bare[op.kind], op, scratch)) {
            error = std::string("no answer to the bare timed ") + kindName(op.kind) + " " + op.name;
            return false;
        }
        double cpu = 0.0;
        double wall = 0.0;
        std::vector<double> library;
        std::vector<double> direct;
        timeBlocks([&] { op.run(dev); }, [&] { bareExchange(rig.sim, bare[op.kind], op, scratch); },
                   s.wireSeconds, s, library, direct, cpu, wall);
        row.cpu = wall > 0.0 ? cpu / wall : 0.0;
        row.median = median(library);
        row.p99 = percentile99(library);
        row.bare = median(direct);
        row.reps = library.size();
        rig.clearRecords(device, op.kind);
        rows.push_back(row);
    }
    for (auto& entry : bare) {
        rig.closeBare(entry.second);
    }
    rig.stop();
    return true;
}

bool measureMany(Rig& rig, const Settings& s, std::vector<ManyRow>& rows, std::string& error) {
    std::map<Kind, double> single;
    struct Run {
        std::string group;
        std::vector<size_t> counts;
    };
    const std::vector<Run> runs = {
        {kindName(Kind::HvSrc), s.counts},
        {kindName(Kind::Bias), s.counts},
        {kindName(Kind::HvOld), {1}},
        {"mixed", s.mixedCounts},
    };
    for (const Run& run : runs) {
        for (size_t n : run.counts) {
            const std::vector<Kind> kinds = sourcesOf(run.group, n);
            if (!rig.start(kinds, true, error)) {
                return false;
            }
            ManyRow row;
            row.group = run.group;
            row.sources = n;
            row.rate = readAtOnce(rig, s.manySeconds);
            rig.stop();
            if (n == 1 && run.group != "mixed") {
                single[kinds[0]] = row.rate;
            }
            for (Kind kind : kinds) {
                row.expected += single[kind];
            }
            rows.push_back(row);
        }
    }
    return true;
}

bool measureMemory(Rig& rig, const Settings& s, MemoryResult& result, std::string& error) {
    if (!rig.start({Kind::HvSrc}, false, error)) {
        return false;
    }
    jd::IHwDevHvSrc* dev = rig.device(0);
    constexpr size_t kBatch = 1000;
    const auto exchanges = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            dev->readVoltage(0);
            if ((i + 1) % kBatch == 0) {
                rig.clearRecords(0, Kind::HvSrc);
            }
        }
        rig.clearRecords(0, Kind::HvSrc);
    };
    exchanges(kBatch);
    result.exchanges = s.memoryExchanges;
    result.before = plat::residentBytes();
    exchanges(s.memoryExchanges);
    result.after = plat::residentBytes();
    rig.stop();
    return true;
}

}  // namespace bench
