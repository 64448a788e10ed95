// The benchmark's table, its goals (PASS or the gap) and the same figures as CSV.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "Sections.h"

namespace bench {

// The goals, as the table states them.
constexpr double kWireGoal = 1.05;          // median at most this many times the bare exchange's
constexpr double kInstantGoal = 1.2;        // library at most this many times (bare + log writing)
constexpr double kManyGoal = 0.9;           // N sources at least this many times N x one
constexpr size_t kMemoryGoal = 256 * 1024;  // growth over all the exchanges, bytes

class Report {
public:
    explicit Report(std::ostream& out) : out_(out) {}

    void instant(const std::vector<InstantRow>& rows);
    void wire(const std::vector<WireRow>& rows);
    void many(const std::vector<ManyRow>& rows);
    void memory(const MemoryResult& result);
    // One line per goal: PASS, or the gap.
    void goals();
    bool writeCsv(const std::string& path) const;

private:
    void row(const std::string& section, const std::vector<std::string>& fields);

    std::ostream& out_;
    std::vector<std::string> csv_;
    std::vector<std::string> wireGaps_, instantGaps_, manyGaps_, memoryGaps_;
    bool wireRun_ = false, instantRun_ = false, manyRun_ = false, memoryRun_ = false;
};

}  // namespace bench
