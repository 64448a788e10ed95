#include "scenario/Scenario.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "cli/CommandLine.h"
#include "platform.h"

namespace host {

namespace {

// Lengths the D2XX listing carries: descriptions and serial numbers longer than these would not
// be listed as given.
constexpr size_t kMaxDescription = 64;
constexpr size_t kMaxSerial = 16;
// Firmware bytes the HV source model answers.
constexpr size_t kMaxHvFirmware = 30;
// The bias module carries tenths of a volt in 16 bits.
constexpr double kMaxBiasVolts = 3276.7;

// Splits a settings text into words; double quotes keep blanks inside a word. False when a
// quote is not closed.
bool words(const std::string& text, std::vector<std::string>& out) {
    std::string word;
    bool quoted = false;
    bool any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
            if (any) {
                out.push_back(word);
            }
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) {
        out.push_back(word);
    }
    return !quoted;
}

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    const size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool toNumber(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end != text.c_str() && *end == '\0' && std::isfinite(out);
}

std::string toText(double value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%g", value);
    return text;
}

bool toWhole(const std::string& text, double lo, double hi, double& out) {
    return toNumber(text, out) && out == std::trunc(out) && out >= lo && out <= hi;
}

// "LO:HI" as two numbers.
bool toPair(const std::string& text, double& lo, double& hi) {
    const size_t colon = text.find(':');
    return colon != std::string::npos && toNumber(text.substr(0, colon), lo) &&
           toNumber(text.substr(colon + 1), hi);
}

// Largest leakage current, depletion or breakdown voltage, and unplug time a scenario takes.
constexpr double kMaxLeakAmps = 1.0;
constexpr double kMaxSensorVolts = 32767.0;
constexpr double kMaxUnplugSeconds = 1e6;

// A voltage with or without its unit: "80" or "80V".
bool toVolts(std::string text, double& out) {
    if (!text.empty() && text.back() == 'V') {
        text.pop_back();
    }
    return toNumber(text, out);
}

// "T" or "T+D": seconds until the bridge is unplugged, and until it is plugged in again (0: never).
bool toUnplug(const std::string& text, double& after, double& back) {
    const size_t plus = text.find('+');
    back = 0.0;
    if (!toNumber(text.substr(0, plus), after) || after < 0.0 || after > kMaxUnplugSeconds) {
        return false;
    }
    return plus == std::string::npos ||
           (toNumber(text.substr(plus + 1), back) && back > 0.0 && back <= kMaxUnplugSeconds);
}

// The sensor keys: leak, depletion, breakdown, without the source digit of the HV source's.
std::string sensorKey(const std::string& kind, const std::string& key) {
    for (const char* name : {"leak", "depletion", "breakdown"}) {
        const std::string base = name;
        if (kind == "bias" ? key == base
                           : kind == "hvsrc" && (key == base + "0" || key == base + "1")) {
            return base;
        }
    }
    return "";
}

// Empty when `key=value` is a sound setting for the kind, else what is wrong with it.
std::string checkSetting(const std::string& kind, const std::string& key,
                         const std::string& value) {
    double a = 0.0;
    double b = 0.0;
    const std::string sensor = sensorKey(kind, key);
    if (sensor == "leak") {
        return parseCurrent(value, a) && a <= kMaxLeakAmps
                   ? ""
                   : "the leakage is a current with its unit, 0 to 1 A (2uA, 150nA, 0.3mA)";
    }
    if (!sensor.empty()) {
        return toVolts(value, a) && a >= 0.0 && a <= kMaxSensorVolts
                   ? ""
                   : "the " + sensor + " voltage is 0 to 32767 V (0: none)";
    }
    if (key == "noise" && kind != "hvold") {
        return toNumber(value, a) && a >= 0.0 && a <= 1.0
                   ? ""
                   : "noise is the readings' relative spread, 0 to 1 (0.02: 2 %)";
    }
    if (key == "unplug") {
        return toUnplug(value, a, b) ? ""
                                     : "unplug is T or T+D: seconds from the start until the "
                                       "bridge is unplugged (0 to 1000000), and +D seconds "
                                       "until it is plugged in again (above 0)";
    }
    const bool rate = key == "ramp";
    const bool load = key == "load" || key == "load0" || key == "load1";
    if ((kind == "hvsrc" && (rate || key == "load0" || key == "load1")) ||
        (kind == "hvold" && rate) || (kind == "bias" && (rate || key == "load"))) {
        if (!toNumber(value, a) || a < 0.0) {
            return load ? "the load is 0 or more (MOhm for hvsrc, kOhm for bias; 0: no current)"
                        : "the ramp is 0 or more V/s (0: at once)";
        }
        return "";
    }
    if (key == "wire") {
        return value == "on" || value == "off" ? "" : "wire is on or off";
    }
    if (kind == "hvsrc" && key == "firmware") {
        return value.size() <= kMaxHvFirmware ? "" : "the firmware text has at most 30 bytes";
    }
    if (kind == "hvsrc" && key == "sources") {
        return toWhole(value, 0, 255, a) ? "" : "sources is a whole number from 0 to 255";
    }
    if (kind == "hvsrc" && (key == "range0" || key == "range1")) {
        const bool ok = toPair(value, a, b) && a == std::trunc(a) && b == std::trunc(b) &&
                        a >= INT16_MIN && a <= INT16_MAX && b >= INT16_MIN && b <= INT16_MAX;
        return ok ? "" : "a range is LO:HI in whole volts from -32768 to 32767";
    }
    if (kind == "bias" && key == "firmware") {
        return "";
    }
    if (kind == "bias" && key == "limits") {
        const bool ok =
            toPair(value, a, b) && std::fabs(a) <= kMaxBiasVolts && std::fabs(b) <= kMaxBiasVolts;
        return ok ? "" : "limits are LO:HI in volts from -3276.7 to 3276.7";
    }
    if (kind == "bias" && key == "polarity") {
        return value == "POS" || value == "NEG" ? "" : "polarity is POS or NEG";
    }
    const char* keys = kind == "hvsrc" ? "serial, firmware, sources, range0, range1, ramp, "
                                         "load0, load1, leak0, leak1, depletion0, depletion1, "
                                         "breakdown0, breakdown1, noise, unplug, wire"
                       : kind == "hvold"
                           ? "serial, ramp, unplug, wire"
                           : "serial, firmware, limits, polarity, ramp, load, leak, depletion, "
                             "breakdown, noise, unplug, wire";
    return "unknown setting for a " + kind + " source (it takes " + keys + ")";
}

bool parseLine(const std::string& text, int number, ScenarioSource& source, std::string& error) {
    const std::string where = "line " + std::to_string(number) + ": ";
    const size_t bar1 = text.find('|');
    const size_t bar2 = bar1 == std::string::npos ? bar1 : text.find('|', bar1 + 1);
    source.line = number;
    source.kind = trim(text.substr(0, bar1));
    source.description =
        bar1 == std::string::npos ? "" : trim(text.substr(bar1 + 1, bar2 - bar1 - 1));
    if (source.kind.empty() || source.description.empty()) {
        error = where + "expected 'kind | description | key=value ...'";
        return false;
    }
    if (source.kind != "hvsrc" && source.kind != "hvold" && source.kind != "bias") {
        error = where + "unknown kind of source '" + source.kind + "' (hvsrc, hvold or bias)";
        return false;
    }
    if (source.description.size() > kMaxDescription) {
        error = where + "the description has more than 64 characters";
        return false;
    }
    std::vector<std::string> settings;
    if (bar2 != std::string::npos && !words(text.substr(bar2 + 1), settings)) {
        error = where + "a double quote is not closed";
        return false;
    }
    double count = 2;  // the HV source model's count when none is set
    for (const std::string& word : settings) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos || eq == 0) {
            error = where + "'" + word + "' is not a key=value setting";
            return false;
        }
        const std::string key = word.substr(0, eq);
        const std::string value = word.substr(eq + 1);
        const std::string problem = key == "serial"
                                        ? (value.size() <= kMaxSerial ? ""
                                                                      : "a serial has at most 16 "
                                                                        "characters")
                                        : checkSetting(source.kind, key, value);
        if (!problem.empty()) {
            error = where + word + ": " + problem;
            return false;
        }
        if (key == "serial") {
            source.serial = value;
        } else {
            source.settings.emplace_back(key, value);
        }
        if (key == "sources") {
            toNumber(value, count);
        }
    }
    for (const auto& setting : source.settings) {
        const std::string& key = setting.first;
        const bool perSource = key == "range0" || key == "range1" || key == "load0" ||
                               key == "load1" ||
                               (source.kind == "hvsrc" && !sensorKey("hvsrc", key).empty());
        if (perSource && key.back() - '0' >= count) {
            error = where + key + " is for a source this model does not have (sources=" +
                    std::to_string(static_cast<int>(count)) + ")";
            return false;
        }
    }
    // A breakdown at or below the depletion voltage would leave no plateau to measure.
    for (const std::string& digit : std::vector<std::string>{"", "0", "1"}) {
        double depletion = 0.0;
        double breakdown = 0.0;
        for (const auto& setting : source.settings) {
            if (setting.first == "depletion" + digit) {
                toVolts(setting.second, depletion);
            } else if (setting.first == "breakdown" + digit) {
                toVolts(setting.second, breakdown);
            }
        }
        if (breakdown > 0.0 && breakdown <= depletion) {
            error = where + "breakdown" + digit + " is above depletion" + digit + " (" +
                    toText(breakdown) + " V is not above " + toText(depletion) + " V)";
            return false;
        }
    }
    return true;
}

}  // namespace

bool parseScenario(const std::string& text, std::vector<ScenarioSource>& out, std::string& error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const size_t hash = line.find('#');
        if (hash != std::string::npos) {
            line = line.substr(0, hash);
        }
        if (trim(line).empty()) {
            continue;
        }
        ScenarioSource source;
        if (!parseLine(line, number, source, error)) {
            return false;
        }
        out.push_back(source);
    }
    return true;
}

bool readScenarioFile(const std::string& path, std::vector<ScenarioSource>& out,
                      std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_directory(std::filesystem::u8path(path), ec)) {
        error = path + " is a folder, not a scenario file";
        return false;
    }
    errno = 0;
    std::FILE* file = plat::openFile(path, "rb");
    if (file == nullptr) {
        error = "cannot read the scenario file " + path + ": " +
                (errno != 0 ? std::generic_category().message(errno) : "it cannot be opened");
        return false;
    }
    std::string text;
    char chunk[4096];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
        text.append(chunk, got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        error = "cannot read the scenario file " + path;
        return false;
    }
    if (!parseScenario(text, out, error)) {
        error = path + " " + error;
        return false;
    }
    return true;
}

std::vector<ScenarioSource> defaultScenario() {
    std::vector<ScenarioSource> sources;
    std::string error;
    parseScenario(
        "hvsrc | Tessaro HV Source: 1 | serial=TS000001 firmware=\"HVS 2.3 sim\" "
        "sources=2 range0=-500:500 range1=0:1000 ramp=400 load0=10 load1=20\n"
        "hvold | HV source AVR | serial=AVR00002 ramp=400\n"
        "bias  | BiasModule: 3 | serial=BM000003 firmware=BM-1.04-sim limits=0:90 "
        "polarity=POS ramp=40 load=100\n",
        sources, error);
    return sources;
}

Simulator::~Simulator() {
    if (module_ != nullptr) {
        plat::freeLibrary(module_);
    }
}

bool Simulator::load(const std::string& path) {
    module_ = plat::loadLibrary(path.c_str());
    if (module_ == nullptr) {
        error_ = "cannot load the stand-in D2XX driver " + path;
        return false;
    }
    if (symbol("sim_reset") == nullptr) {
        error_ = path + " is not the stand-in D2XX driver (no sim_reset)";
        return false;
    }
    reinterpret_cast<void (*)()>(symbol("sim_reset"))();
    return true;
}

void* Simulator::symbol(const char* name) {
    return plat::findSymbol(module_, name);
}

bool Simulator::apply(const std::vector<ScenarioSource>& sources) {
    using Attach = int (*)(const char*, const char*);
    for (const ScenarioSource& source : sources) {
        const std::string where = "scenario line " + std::to_string(source.line) + ": ";
        const std::string attachName = "sim_" + source.kind + "_attach";
        Attach attach = reinterpret_cast<Attach>(symbol(attachName.c_str()));
        const int bridge =
            attach != nullptr ? attach(source.description.c_str(), source.serial.c_str()) : -1;
        if (bridge <= 0) {
            error_ = where + "the stand-in cannot attach a " + source.kind + " source";
            return false;
        }
        for (const auto& setting : source.settings) {
            if (sensorKey(source.kind, setting.first).empty() &&
                !applySetting(source, bridge, setting.first, setting.second)) {
                error_ = where + "the stand-in refused " + setting.first + "=" + setting.second;
                return false;
            }
        }
        if (!applySensors(source, bridge)) {
            error_ = where + "the stand-in refused the sensor settings";
            return false;
        }
    }
    return true;
}

bool Simulator::applySensors(const ScenarioSource& source, int bridge) {
    // A sensor's three keys go to the stand-in together, per source.
    const bool hv = source.kind == "hvsrc";
    for (const std::string& digit :
         hv ? std::vector<std::string>{"0", "1"} : std::vector<std::string>{""}) {
        double values[3] = {0.0, 0.0, 0.0};
        bool any = false;
        for (const auto& setting : source.settings) {
            const std::string base = sensorKey(source.kind, setting.first);
            if (base.empty() || setting.first != base + digit) {
                continue;
            }
            any = true;
            if (base == "leak") {
                parseCurrent(setting.second, values[0]);
            } else {
                toVolts(setting.second, values[base == "depletion" ? 1 : 2]);
            }
        }
        if (!any) {
            continue;
        }
        if (hv) {
            auto f = reinterpret_cast<int (*)(int, int, double, double, double)>(
                symbol("sim_hvsrc_set_sensor"));
            if (f == nullptr || f(bridge, digit[0] - '0', values[0], values[1], values[2]) != 0) {
                return false;
            }
        } else {
            auto f = reinterpret_cast<int (*)(int, double, double, double)>(
                symbol("sim_bias_set_sensor"));
            if (f == nullptr || f(bridge, values[0], values[1], values[2]) != 0) {
                return false;
            }
        }
    }
    return true;
}

bool Simulator::applySetting(const ScenarioSource& source, int bridge, const std::string& key,
                             const std::string& value) {
    double a = 0.0;
    double b = 0.0;
    toNumber(value, a);
    toPair(value, a, b);
    const std::string& kind = source.kind;
    if (key == "wire" && (value == "on" || value == "off")) {
        // The driver's line timing: one switch for every simulated bridge.
        auto f = reinterpret_cast<void (*)(int)>(symbol("sim_set_wire_timing"));
        if (f != nullptr) {
            f(value == "on" ? 1 : 0);
        }
        return f != nullptr;
    }
    if (key == "unplug") {
        double after = 0.0;
        double back = 0.0;
        toUnplug(value, after, back);
        auto f = reinterpret_cast<int (*)(int, double, double)>(symbol("sim_unplug_at"));
        return f != nullptr && f(bridge, after, back) == 0;
    }
    if (key == "noise") {
        auto f = reinterpret_cast<int (*)(int, double)>(
            symbol(kind == "hvsrc" ? "sim_hvsrc_set_noise" : "sim_bias_set_noise"));
        return f != nullptr && f(bridge, a) == 0;
    }
    if (kind == "hvsrc") {
        if (key == "firmware") {
            auto f = reinterpret_cast<int (*)(int, const void*, size_t)>(
                symbol("sim_hvsrc_set_firmware"));
            return f != nullptr && f(bridge, value.data(), value.size()) == 0;
        }
        if (key == "sources") {
            auto f = reinterpret_cast<int (*)(int, uint8_t)>(symbol("sim_hvsrc_set_count"));
            return f != nullptr && f(bridge, static_cast<uint8_t>(a)) == 0;
        }
        if (key == "range0" || key == "range1") {
            auto f = reinterpret_cast<int (*)(int, int, int16_t, int16_t)>(
                symbol("sim_hvsrc_set_range"));
            return f != nullptr &&
                   f(bridge, key[5] - '0', static_cast<int16_t>(a), static_cast<int16_t>(b)) == 0;
        }
        if (key == "ramp") {
            auto f = reinterpret_cast<int (*)(int, double)>(symbol("sim_hvsrc_set_ramp"));
            return f != nullptr && f(bridge, a) == 0;
        }
        if (key == "load0" || key == "load1") {
            auto f = reinterpret_cast<int (*)(int, int, double)>(symbol("sim_hvsrc_set_load"));
            return f != nullptr && f(bridge, key[4] - '0', a) == 0;
        }
    } else if (kind == "bias") {
        if (key == "firmware") {
            auto f = reinterpret_cast<int (*)(int, const char*)>(symbol("sim_bias_set_firmware"));
            return f != nullptr && f(bridge, value.c_str()) == 0;
        }
        if (key == "limits") {
            auto f =
                reinterpret_cast<int (*)(int, int32_t, int32_t)>(symbol("sim_bias_set_limits"));
            return f != nullptr && f(bridge, static_cast<int32_t>(std::lround(a * 10)),
                                     static_cast<int32_t>(std::lround(b * 10))) == 0;
        }
        if (key == "polarity") {
            auto f = reinterpret_cast<int (*)(int, int)>(symbol("sim_bias_set_polarity"));
            return f != nullptr && f(bridge, value == "POS" ? 1 : 0) == 0;
        }
        if (key == "ramp") {
            auto f = reinterpret_cast<int (*)(int, double)>(symbol("sim_bias_set_ramp"));
            return f != nullptr && f(bridge, a * 10.0) == 0;
        }
        if (key == "load") {
            auto f = reinterpret_cast<int (*)(int, double)>(symbol("sim_bias_set_load"));
            return f != nullptr && f(bridge, a) == 0;
        }
    } else if (kind == "hvold" && key == "ramp") {
        auto f = reinterpret_cast<int (*)(int, double)>(symbol("sim_hvold_set_ramp"));
        return f != nullptr && f(bridge, a) == 0;
    }
    return false;
}

}  // namespace host
