#include "Scenario.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>

#include "platform.h"

namespace host {

namespace {

// Splits a settings text into words; double quotes keep blanks inside a word.
std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::string word;
    bool quoted = false;
    bool any = false;
    for (char c : text) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
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
    return out;
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
    return !text.empty() && end != text.c_str() && *end == '\0';
}

// "LO:HI" as two numbers.
bool toPair(const std::string& text, double& lo, double& hi) {
    const size_t colon = text.find(':');
    return colon != std::string::npos && toNumber(text.substr(0, colon), lo) &&
           toNumber(text.substr(colon + 1), hi);
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
        const size_t bar1 = line.find('|');
        const size_t bar2 = bar1 == std::string::npos ? bar1 : line.find('|', bar1 + 1);
        ScenarioSource source;
        source.kind = trim(line.substr(0, bar1));
        source.description =
            bar1 == std::string::npos ? "" : trim(line.substr(bar1 + 1, bar2 - bar1 - 1));
        if (source.kind.empty() || source.description.empty()) {
            error = "line " + std::to_string(number) +
                    ": expected 'kind | description | key=value ...'";
            return false;
        }
        if (bar2 != std::string::npos) {
            for (const std::string& word : words(line.substr(bar2 + 1))) {
                const size_t eq = word.find('=');
                if (eq == std::string::npos || eq == 0) {
                    error = "line " + std::to_string(number) + ": '" + word +
                            "' is not a key=value setting";
                    return false;
                }
                const std::string key = word.substr(0, eq);
                const std::string value = word.substr(eq + 1);
                if (key == "serial") {
                    source.serial = value;
                } else {
                    source.settings.emplace_back(key, value);
                }
            }
        }
        out.push_back(source);
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
        const std::string attachName = "sim_" + source.kind + "_attach";
        Attach attach = reinterpret_cast<Attach>(symbol(attachName.c_str()));
        if (attach == nullptr) {
            error_ = "unknown kind of source '" + source.kind + "' (hvsrc, hvold or bias)";
            return false;
        }
        const int bridge = attach(source.description.c_str(), source.serial.c_str());
        if (bridge <= 0) {
            error_ = "cannot attach a simulated " + source.kind + " source";
            return false;
        }
        for (const auto& setting : source.settings) {
            if (!applySetting(source, bridge, setting.first, setting.second)) {
                if (error_.empty()) {
                    error_ = "bad setting " + setting.first + "=" + setting.second + " for a " +
                             source.kind + " source";
                }
                return false;
            }
        }
    }
    return true;
}

bool Simulator::applySetting(const ScenarioSource& source, int bridge, const std::string& key,
                             const std::string& value) {
    error_.clear();
    double a = 0.0;
    double b = 0.0;
    const std::string& kind = source.kind;
    if (key == "wire" && (value == "on" || value == "off")) {
        // The driver's line timing: one switch for every simulated bridge.
        auto f = reinterpret_cast<void (*)(int)>(symbol("sim_set_wire_timing"));
        if (f != nullptr) {
            f(value == "on" ? 1 : 0);
        }
        return f != nullptr;
    }
    if (kind == "hvsrc") {
        if (key == "firmware") {
            auto f = reinterpret_cast<int (*)(int, const void*, size_t)>(
                symbol("sim_hvsrc_set_firmware"));
            return f != nullptr && f(bridge, value.data(), value.size()) == 0;
        }
        if (key == "sources" && toNumber(value, a) && a >= 0 && a <= 255) {
            auto f = reinterpret_cast<int (*)(int, uint8_t)>(symbol("sim_hvsrc_set_count"));
            return f != nullptr && f(bridge, static_cast<uint8_t>(a)) == 0;
        }
        if ((key == "range0" || key == "range1") && toPair(value, a, b)) {
            auto f = reinterpret_cast<int (*)(int, int, int16_t, int16_t)>(
                symbol("sim_hvsrc_set_range"));
            return f != nullptr &&
                   f(bridge, key[5] - '0', static_cast<int16_t>(a), static_cast<int16_t>(b)) == 0;
        }
        if (key == "ramp" && toNumber(value, a)) {
            auto f = reinterpret_cast<int (*)(int, double)>(symbol("sim_hvsrc_set_ramp"));
            return f != nullptr && f(bridge, a) == 0;
        }
        if ((key == "load0" || key == "load1") && toNumber(value, a)) {
            auto f = reinterpret_cast<int (*)(int, int, double)>(symbol("sim_hvsrc_set_load"));
            return f != nullptr && f(bridge, key[4] - '0', a) == 0;
        }
    } else if (kind == "bias") {
        if (key == "firmware") {
            auto f = reinterpret_cast<int (*)(int, const char*)>(symbol("sim_bias_set_firmware"));
            return f != nullptr && f(bridge, value.c_str()) == 0;
        }
        if (key == "limits" && toPair(value, a, b)) {
            auto f =
                reinterpret_cast<int (*)(int, int32_t, int32_t)>(symbol("sim_bias_set_limits"));
            return f != nullptr &&
                   f(bridge, static_cast<int32_t>(a * 10), static_cast<int32_t>(b * 10)) == 0;
        }
        if (key == "polarity" && (value == "POS" || value == "NEG")) {
            auto f = reinterpret_cast<int (*)(int, int)>(symbol("sim_bias_set_polarity"));
            return f != nullptr && f(bridge, value == "POS" ? 1 : 0) == 0;
        }
        if (key == "ramp" && toNumber(value, a)) {
            auto f = reinterpret_cast<int (*)(int, double)>(symbol("sim_bias_set_ramp"));
            return f != nullptr && f(bridge, a * 10.0) == 0;
        }
        if (key == "load" && toNumber(value, a)) {
            auto f = reinterpret_cast<int (*)(int, double)>(symbol("sim_bias_set_load"));
            return f != nullptr && f(bridge, a) == 0;
        }
    } else if (kind == "hvold") {
        if (key == "ramp" && toNumber(value, a)) {
            auto f = reinterpret_cast<int (*)(int, double)>(symbol("sim_hvold_set_ramp"));
            return f != nullptr && f(bridge, a) == 0;
        }
    }
    error_ = "unknown or bad setting " + key + "=" + value + " for a " + kind + " source";
    return false;
}

}  // namespace host
