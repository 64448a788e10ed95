// The number readers of the command line and the scenario files: indices, decimal numbers,
// 32-bit whole numbers and currents with their unit, and currents written for people.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "cli/CommandLine.h"

namespace host {

namespace {

// Three significant digits, without trailing zeros.
std::string fixed3(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3g", value);
    return text;
}

}  // namespace

bool parseIndex(const std::string& text, size_t& out) {
    if (text.empty() || text.size() > 9) {
        return false;
    }
    size_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<size_t>(c - '0');
    }
    out = value;
    return true;
}

bool parseDouble(const std::string& text, double& out) {
    // strtod also reads hexadecimal ("0x10" is 16), infinities and leading spaces: none of them
    // is a voltage or a time anyone means to type.
    if (text.empty() || text.find_first_of("xXpP \t\n\r\f\v") != std::string::npos) {
        return false;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !std::isfinite(value)) {
        return false;
    }
    out = value;
    return true;
}

bool parseInt32(const std::string& text, int32_t& out) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || value < INT32_MIN || value > INT32_MAX) {
        return false;
    }
    out = static_cast<int32_t>(value);
    return true;
}

namespace {

struct CurrentUnit {
    const char* name;
    double amps;
};
// Largest first, so that "A" is tried after the prefixed units.
constexpr CurrentUnit kCurrentUnits[] = {
    {"mA", 1e-3}, {"uA", 1e-6}, {"nA", 1e-9}, {"pA", 1e-12}, {"A", 1.0}};

}  // namespace

bool parseCurrent(const std::string& text, double& amps) {
    for (const CurrentUnit& unit : kCurrentUnits) {
        const std::string name = unit.name;
        if (text.size() <= name.size() ||
            text.compare(text.size() - name.size(), name.size(), name) != 0) {
            continue;
        }
        double value = 0.0;
        const std::string number = text.substr(0, text.size() - name.size());
        if (number.find_first_not_of("0123456789.eE+-") != std::string::npos ||
            !parseDouble(number, value) || value < 0.0) {
            return false;
        }
        amps = value * unit.amps;
        return true;
    }
    return false;
}

std::string currentText(double amps) {
    const double size = std::fabs(amps);
    if (size >= 0.9995) {
        return fixed3(amps) + " A";
    }
    for (const CurrentUnit& unit : kCurrentUnits) {
        if (unit.amps < 1.0 && size >= unit.amps * 0.9995) {
            return fixed3(amps / unit.amps) + " " + unit.name;
        }
    }
    return size == 0.0 ? "0 A" : fixed3(amps / 1e-12) + " pA";
}

}  // namespace host
