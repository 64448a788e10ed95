// The benchmark's measurements: the operations on timed lines and on instant ones (beside bare
// exchanges and without the device log's entries), many sources driven at once, and the memory
// over many exchanges.
#pragma once

#include <string>
#include <vector>

#include "Operations.h"
#include "Rig.h"

namespace bench {

struct Settings {
    double wireSeconds = 3.0;     // per operation on timed lines, library and bare in turns
    double instantSeconds = 0.5;  // per operation and variant on instant lines
    double manySeconds = 2.0;     // per run of many sources
    size_t minReps = 10;
    size_t maxReps = 5000;
    size_t memoryExchanges = 100000;
    std::vector<size_t> counts{1, 2, 4, 8};
    std::vector<size_t> mixedCounts{3, 4, 8};
};

struct InstantRow {
    const Operation* op;
    std::vector<size_t> answers;  // the answer bytes of each exchange, from the bare exchange
    double library = 0.0;         // median seconds, the device log at the host's level
    double quiet = -1.0;          // the same with the device log lowered to errors; < 0: not run
    double bare = 0.0;
    bool trafficMatches = false;  // the library wrote exactly the operation's requests
};

struct WireRow {
    const Operation* op;
    Limit limit;  // the line's arithmetic, shown beside the measurements
    double median = 0.0;
    double p99 = 0.0;
    double bare = 0.0;  // median seconds of the same bytes exchanged directly on a timed line
    double cpu = 0.0;   // process CPU time over wall time, during the library's runs
    size_t reps = 0;
};

struct ManyRow {
    std::string group;
    size_t sources = 0;
    double rate = 0.0;      // readings a second, all sources together
    double expected = 0.0;  // the single-source rates of its sources added up
};

struct MemoryResult {
    size_t exchanges = 0;
    size_t before = 0;
    size_t after = 0;
};

// Each returns false with a message when the rig cannot be set up.
bool measureInstant(Rig& rig, const Settings& s, std::vector<InstantRow>& rows, std::string& error);
bool measureWire(Rig& rig, const Settings& s, const std::vector<InstantRow>& instant,
                 std::vector<WireRow>& rows, std::string& error);
bool measureMany(Rig& rig, const Settings& s, std::vector<ManyRow>& rows, std::string& error);
bool measureMemory(Rig& rig, const Settings& s, MemoryResult& result, std::string& error);

}  // namespace bench
