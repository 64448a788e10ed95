// Output for people: aligned tables and one line per reading.
#include <cstdio>

#include "ops/DeviceKind.h"
#include "output/Output.h"
#include "platform.h"

namespace host {

namespace {

std::string pad(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// Limits of the first sources listed in the table; JSON lists all.
constexpr size_t kTableLimits = 8;

}  // namespace

std::string fixed(double value, int decimals) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "%.*f", decimals, value);
    return buffer;
}

std::string utcNow() {
    int64_t seconds = 0;
    int milliseconds = 0;
    plat::wallClock(seconds, milliseconds);
    // Days since 1970-01-01 to a civil date (Howard Hinnant's days_from_civil, inverted).
    const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
    const int64_t inDay = seconds - days * 86400;
    const int64_t z = days + 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char buffer[128];
    std::snprintf(buffer, sizeof(buffer), "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03dZ",
                  static_cast<long long>(year), static_cast<long long>(month),
                  static_cast<long long>(day), static_cast<long long>(inDay / 3600),
                  static_cast<long long>(inDay / 60 % 60), static_cast<long long>(inDay % 60),
                  milliseconds);
    return buffer;
}

void printDevices(std::ostream& out, const std::vector<DeviceRow>& rows) {
    out << pad("DEV", 5) << pad("ADDRESS", 10) << pad("NAME", 11) << pad("KIND", 18)
        << pad("NUMBER", 8) << pad("FIRMWARE", 24) << pad("SOURCES", 9) << pad("LIMITS (V)", 28)
        << "POLARITY\n";
    for (const DeviceRow& row : rows) {
        std::string limits;
        for (size_t s = 0; s < row.limits.size() && s < kTableLimits; ++s) {
            limits += row.limitsKept[s] ? "[" + voltsText(row.limits[s].first) + ", " +
                                              voltsText(row.limits[s].second) + "] "
                                        : "[none kept] ";
        }
        // The legacy source has no firmware text to show.
        const std::string firmware = row.firmware.empty() ? "-" : "\"" + row.firmware + "\"";
        out << pad(std::to_string(row.index), 5) << pad(row.address, 10) << pad(row.name, 11)
            << pad(row.kind, 18) << pad(std::to_string(row.number), 8) << pad(firmware, 24)
            << pad(std::to_string(row.sources), 9) << pad(limits, 28) << row.polarityText << "\n";
    }
}

void printParams(std::ostream& out, const std::vector<ParamRow>& rows) {
    out << pad("NAME", 16) << pad("TYPE", 7) << pad("VALUE", 16) << pad("ACCESS", 11)
        << "MEANING\n";
    for (const ParamRow& row : rows) {
        const std::string value = row.numeric ? std::to_string(row.number) : row.text;
        out << pad(row.name, 16) << pad(row.type, 7) << pad(value, 16)
            << pad(row.readOnly ? "read-only" : "writable", 11) << row.meaning << "\n";
    }
}

void printReadings(std::ostream& out, const std::vector<ReadingRow>& rows) {
    for (const ReadingRow& row : rows) {
        out << "device " << row.dev << " source " << row.src << ": ";
        if (!row.ok) {
            out << "no answer: " << row.error << "\n";
            continue;
        }
        out << fixed(row.volts, 1) << " V, current ";
        if (row.currentUnit != nullptr) {
            out << fixed(row.current, 3) << " " << row.currentUnit;
        } else {
            out << "not measured";
        }
        if (!row.set.known) {
            out << " (no voltage set in this run)\n";
        } else if (row.set.via == "set") {
            out << " (set " << voltsText(row.set.volts) << " V)\n";
        } else {
            out << " (set " << voltsText(row.set.volts) << " V through " << row.set.via << ")\n";
        }
    }
}

void printMonitorHeader(std::ostream& out, const std::vector<MonitorChannel>& channels) {
    out << pad("time_s", 9);
    for (const MonitorChannel& c : channels) {
        out << pad(c.name + " V", 14);
        if (c.currentUnit != nullptr) {
            out << pad(std::string("I ") + c.currentUnit, 10);
        }
    }
    out << "\n";
}

void printMonitorRow(std::ostream& out, const std::vector<MonitorChannel>& channels,
                     const MonitorSample& sample) {
    out << pad(fixed(sample.time, 2), 9);
    for (size_t i = 0; i < channels.size(); ++i) {
        const bool ok = sample.errors[i].empty();
        out << pad(ok ? fixed(sample.volts[i], 1) : "no answer", 14);
        if (channels[i].currentUnit != nullptr) {
            out << pad(ok ? fixed(sample.current[i], 3) : "-", 10);
        }
    }
    for (size_t i = 0; i < channels.size() && i < sample.marks.size(); ++i) {
        if (!sample.marks[i].empty()) {
            out << " ! " << sample.marks[i] << " " << channels[i].name;
        }
    }
    out << "\n";
}

}  // namespace host
