#include "Report.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace bench {

namespace {

std::string format(const char* pattern, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), pattern, value);
    return text;
}

// A time in the unit that suits it.
std::string duration(double seconds) {
    if (seconds < 0.001) {
        return format("%.1f us", seconds * 1e6);
    }
    return format("%.2f ms", seconds * 1e3);
}

std::string padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

std::string number(double value) {
    return format("%.9g", value);
}

std::string mib(size_t bytes) {
    return format("%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
}

}  // namespace

void Report::row(const std::string& section, const std::vector<std::string>& fields) {
    std::string line = section;
    for (const std::string& field : fields) {
        line += "," + field;
    }
    csv_.push_back(line);
}

void Report::instant(const std::vector<InstantRow>& rows) {
    instantRun_ = true;
    out_ << "\nInstant mode (no line timing), median time per operation\n"
         << padded("source", 15) << padded("operation", 13) << padded("library", 11)
         << padded("no log", 11) << padded("bare", 11) << padded("log share", 11)
         << "goal: library <= 1.2 x (bare + log)\n";
    for (const InstantRow& r : rows) {
        const std::string kind = kindName(r.op->kind);
        std::string quiet = "-";
        std::string share = "-";
        std::string goal = "not judged: the operation makes its log afresh at the host's level";
        if (r.quiet >= 0.0) {
            const double log = std::max(0.0, r.library - r.quiet);
            const double ratio = r.library / (r.bare + log);
            quiet = duration(r.quiet);
            share = format("%.0f %%", r.library > 0.0 ? 100.0 * log / r.library : 0.0);
            if (ratio <= kInstantGoal) {
                goal = format("PASS (%.2f)", ratio);
            } else {
                goal = format("gap: %.2f x", ratio);
                instantGaps_.push_back(kind + " " + r.op->name + " " + format("%.2f x", ratio));
            }
            row("instant", {kind, r.op->name, "1", "quiet_s", number(r.quiet)});
        }
        if (!r.trafficMatches) {
            goal += " (its traffic differs from the bench's list: limits unsure)";
        }
        out_ << padded(kind, 15) << padded(r.op->name, 13) << padded(duration(r.library), 11)
             << padded(quiet, 11) << padded(duration(r.bare), 11) << padded(share, 11) << goal
             << "\n";
        row("instant", {kind, r.op->name, "1", "library_s", number(r.library)});
        row("instant", {kind, r.op->name, "1", "bare_s", number(r.bare)});
    }
}

void Report::wire(const std::vector<WireRow>& rows) {
    wireRun_ = true;
    out_ << "\nWire-timing mode (10 bit times a byte, " << kLatencyMs
         << " ms latency timer), time per operation beside the same bytes exchanged directly\n"
         << padded("source", 15) << padded("operation", 13) << padded("median", 11)
         << padded("p99", 11) << padded("bare", 11) << padded("ratio", 7)
         << padded("line + handover + pause", 31) << padded("CPU", 7)
         << "goal: median <= 1.05 x bare\n";
    for (const WireRow& r : rows) {
        const std::string kind = kindName(r.op->kind);
        const double ratio = r.median / r.bare;
        const std::string limit =
            format("%.2f + ", r.limit.line * 1e3) + format("%.2f + ", r.limit.handover * 1e3) +
            format("%.2f = ", r.limit.pause * 1e3) + format("%.2f ms", r.limit.total() * 1e3);
        std::string goal = "PASS";
        if (!(ratio <= kWireGoal)) {
            goal = format("gap: %.2f x", ratio);
            wireGaps_.push_back(kind + " " + r.op->name + " " + format("%.2f x", ratio));
        }
        out_ << padded(kind, 15) << padded(r.op->name, 13) << padded(duration(r.median), 11)
             << padded(duration(r.p99), 11) << padded(duration(r.bare), 11)
             << padded(format("%.2f", ratio), 7) << padded(limit, 31)
             << padded(format("%.0f %%", r.cpu * 100.0), 7) << goal << "\n";
        const std::vector<std::pair<const char*, double>> values = {
            {"median_s", r.median},
            {"p99_s", r.p99},
            {"bare_s", r.bare},
            {"limit_s", r.limit.total()},
            {"line_s", r.limit.line},
            {"handover_s", r.limit.handover},
            {"pause_s", r.limit.pause},
            {"cpu_per_wall", r.cpu},
            {"repetitions", static_cast<double>(r.reps)}};
        for (const auto& v : values) {
            row("wire", {kind, r.op->name, "1", v.first, number(v.second)});
        }
    }
}

void Report::many(const std::vector<ManyRow>& rows) {
    manyRun_ = true;
    out_ << "\nMany sources on timed lines, each read (readVoltage) from a thread of its own\n"
         << padded("sources", 15) << padded("N", 4) << padded("readings/s", 12)
         << padded("N x one", 10) << padded("ratio", 7) << "goal: at least 0.9 x N x one\n";
    for (const ManyRow& r : rows) {
        const double ratio = r.expected > 0.0 ? r.rate / r.expected : 0.0;
        std::string goal = "PASS";
        if (ratio < kManyGoal) {
            goal = format("gap: %.2f x", ratio);
            manyGaps_.push_back(r.group + " x" + std::to_string(r.sources) + " " +
                                format("%.2f x", ratio));
        }
        out_ << padded(r.group, 15) << padded(std::to_string(r.sources), 4)
             << padded(format("%.0f", r.rate), 12) << padded(format("%.0f", r.expected), 10)
             << padded(format("%.2f", ratio), 7) << goal << "\n";
        const std::string n = std::to_string(r.sources);
        row("many", {r.group, "readVoltage", n, "readings_per_s", number(r.rate)});
        row("many", {r.group, "readVoltage", n, "n_times_one_per_s", number(r.expected)});
    }
}

void Report::memory(const MemoryResult& m) {
    memoryRun_ = true;
    const long long growth = static_cast<long long>(m.after) - static_cast<long long>(m.before);
    const bool pass = growth <= static_cast<long long>(kMemoryGoal);
    if (!pass) {
        memoryGaps_.push_back(format("+%.0f KiB", static_cast<double>(growth) / 1024.0));
    }
    out_ << "\nMemory over " << m.exchanges << " exchanges (instant lines): resident "
         << mib(m.before) << " before, " << mib(m.after) << " after ("
         << format("%+.0f KiB", static_cast<double>(growth) / 1024.0) << ")   "
         << (pass ? "PASS" : "gap") << " (goal: no growth, at most 256 KiB of noise)\n";
    const std::string n = std::to_string(m.exchanges);
    row("memory", {kindName(Kind::HvSrc), "readVoltage", n, "resident_before_bytes",
                   number(static_cast<double>(m.before))});
    row("memory", {kindName(Kind::HvSrc), "readVoltage", n, "resident_after_bytes",
                   number(static_cast<double>(m.after))});
}

void Report::goals() {
    const auto line = [&](const char* goal, bool run, const std::vector<std::string>& gaps) {
        out_ << "  " << padded(goal, 58);
        if (!run) {
            out_ << "not measured\n";
            return;
        }
        if (gaps.empty()) {
            out_ << "PASS\n";
            return;
        }
        out_ << "gap:";
        for (const std::string& gap : gaps) {
            out_ << " " << gap << ";";
        }
        out_ << "\n";
    };
    out_ << "\nGoals\n";
    line("timed lines: library at most 1.05 x the bare exchange", wireRun_, wireGaps_);
    line("instant lines: library at most 1.2 x (bare + log writing)", instantRun_, instantGaps_);
    line("N sources from N threads: at least 0.9 x N x one", manyRun_, manyGaps_);
    line("no memory growth over the exchanges", memoryRun_, memoryGaps_);
}

bool Report::writeCsv(const std::string& path) const {
    std::ofstream file(path);
    if (!file) {
        return false;
    }
    file << "section,source,operation,sources,quantity,value\n";
    for (const std::string& line : csv_) {
        file << line << "\n";
    }
    return static_cast<bool>(file);
}

}  // namespace bench
