#include "cli/CommandLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace host {

namespace {

// Largest ramp rate and step accepted, in volts per second and volts.
constexpr double kMaxRate = 10000.0;
constexpr double kMaxStep = 10000.0;
// Longest monitor interval, in seconds.
constexpr double kMaxInterval = 3600.0;
// Longest monitor duration (a year) and ramp settle time-out, in seconds.
constexpr double kMaxDuration = 366.0 * 86400.0;
constexpr double kMaxSettle = 86400.0;

std::string fixedText(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%g", value);
    return buffer;
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) {
        text += (text.empty() ? "" : " ") + word;
    }
    return text;
}

bool expectArgs(const std::string& name, size_t got, size_t least, size_t most,
                std::string& error) {
    if (got >= least && got <= most) {
        return true;
    }
    error = "'" + name + "' takes " + std::to_string(least);
    if (most != least) {
        error += " to " + std::to_string(most);
    }
    error += " argument" + std::string(most == 1 ? "" : "s") + ", got " + std::to_string(got);
    return false;
}

bool readDevice(const std::string& text, Command& c, std::string& error) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) {
        if (!parseIndex(text, c.dev)) {
            error = "'" + text + "' is not a device (a position 0, 1, ... or KIND:NUMBER such as " +
                    "bias:3; see 'list')";
            return false;
        }
        return true;
    }
    const std::string kind = text.substr(0, colon);
    size_t number = 0;
    if ((kind != "hv" && kind != "legacy" && kind != "bias") ||
        !parseIndex(text.substr(colon + 1), number) || number > UINT32_MAX) {
        error = "'" + text + "' is not a device address (KIND:NUMBER, KIND one of hv, legacy, " +
                "bias, NUMBER the device number that 'list' shows)";
        return false;
    }
    c.address = text;
    return true;
}

bool readSource(const std::string& text, uint32_t& src, std::string& error) {
    size_t index = 0;
    if (!parseIndex(text, index) || index > UINT32_MAX) {
        error = "'" + text + "' is not a source number (0, 1, ...)";
        return false;
    }
    src = static_cast<uint32_t>(index);
    return true;
}

bool readVolts(const std::string& text, double& volts, std::string& error) {
    if (!parseDouble(text, volts)) {
        error = "'" + text + "' is not a voltage (a number of volts)";
        return false;
    }
    return true;
}

// "--flag value" pairs after a command's fixed arguments; `take` reads one pair and, for a bad
// value, says what the flag takes.
template <typename Take>
bool readFlags(const std::string& name, const std::vector<std::string>& words, size_t first,
               std::string& error, Take take) {
    for (size_t i = first; i < words.size(); i += 2) {
        if (words[i].rfind("--", 0) != 0) {
            error = "'" + name + "': unexpected '" + words[i] + "'";
            return false;
        }
        if (i + 1 >= words.size()) {
            error = "'" + name + "' option " + words[i] + " needs a value";
            return false;
        }
        bool known = true;
        std::string takes;
        if (!take(words[i], words[i + 1], known, takes)) {
            error = known ? "bad value '" + words[i + 1] + "' for " + words[i] +
                                (takes.empty() ? "" : " (" + takes + ")")
                          : "unknown '" + name + "' option '" + words[i] + "'";
            return false;
        }
    }
    return true;
}

// A number in (0, most]; `takes` says so when it is not.
bool positiveUpTo(const std::string& value, double& out, double most, const char* unit,
                  std::string& takes) {
    takes = std::string("a number of ") + unit + " above 0, at most " + fixedText(most);
    return parseDouble(value, out) && out > 0.0 && out <= most;
}

bool readLimits(const std::string& value, UserLimits& limits, std::string& takes) {
    takes = "LOW:HIGH in volts, LOW below HIGH";
    const size_t colon = value.find(':', 1);
    limits.given = colon != std::string::npos && parseDouble(value.substr(0, colon), limits.low) &&
                   parseDouble(value.substr(colon + 1), limits.high) && limits.low < limits.high;
    return limits.given;
}

// Takes a flag without a value out of the words; true when it was there.
bool takeSwitch(std::vector<std::string>& words, const char* flag) {
    const auto found = std::find(words.begin() + 1, words.end(), flag);
    if (found == words.end()) {
        return false;
    }
    words.erase(found);
    return true;
}

bool readCurrent(const std::string& value, double& amps, std::string& takes) {
    takes = "a current above 0 with its unit: 200nA, 10uA, 1.5mA";
    return parseCurrent(value, amps) && amps > 0.0 && amps <= 1.0;
}

// The alarm options; false with `known` cleared for a flag that is not one of them.
bool takeAlarmFlag(const std::string& flag, const std::string& value, AlarmOptions& a, bool& known,
                   std::string& takes) {
    if (flag == "--trip") {
        return readCurrent(value, a.trip, takes);
    }
    if (flag == "--trip-count") {
        takes = "a whole number from 1 to 1000";
        return parseIndex(value, a.tripCount) && a.tripCount >= 1 && a.tripCount <= 1000;
    }
    if (flag == "--trip-rate") {
        return positiveUpTo(value, a.tripRate, kMaxRate, "V/s", takes);
    }
    if (flag == "--deviation") {
        return positiveUpTo(value, a.deviation, kMaxStep, "volts", takes);
    }
    if (flag == "--deviation-after") {
        takes = "a number of seconds from 0 to " + fixedText(kMaxSettle);
        return parseDouble(value, a.deviationAfter) && a.deviationAfter >= 0.0 &&
               a.deviationAfter <= kMaxSettle;
    }
    if (flag == "--on-alarm") {
        a.onAlarm = value;
        return !value.empty();
    }
    known = false;
    return false;
}

bool parseMonitor(std::vector<std::string> words, MonitorOptions& o, std::string& error) {
    o.append = takeSwitch(words, "--append");
    o.overwrite = takeSwitch(words, "--overwrite");
    const bool ok = readFlags(
        "monitor", words, 1, error,
        [&](const std::string& flag, const std::string& value, bool& known, std::string& takes) {
            if (flag == "--interval") {
                return positiveUpTo(value, o.interval, kMaxInterval, "seconds", takes);
            }
            if (flag == "--count") {
                takes = "a whole number from 1 to 999999999";
                return parseIndex(value, o.count) && o.count > 0;
            }
            if (flag == "--duration") {
                return positiveUpTo(value, o.duration, kMaxDuration, "seconds", takes);
            }
            if (flag == "--csv" || flag == "--svg") {
                (flag == "--csv" ? o.csvPath : o.svgPath) = value;
                return !value.empty();
            }
            return takeAlarmFlag(flag, value, o.alarms, known, takes);
        });
    if (ok && o.count > 0 && o.duration > 0.0) {
        error = "'monitor' takes --count or --duration, not both";
        return false;
    }
    if (ok && o.append && o.overwrite) {
        error = "'monitor' takes --append or --overwrite, not both";
        return false;
    }
    if (ok && (o.append || o.overwrite) && o.csvPath.empty()) {
        error =
            "'monitor' --append and --overwrite are about the file of --csv, which is not given";
        return false;
    }
    return ok;
}

bool parseRamp(const std::vector<std::string>& words, Command& c, std::string& error) {
    size_t fixed = 0;
    while (fixed + 1 < words.size() && words[fixed + 1].rfind("--", 0) != 0) {
        ++fixed;
    }
    c.allSources = fixed >= 1 && words[1] == "all";
    if (!expectArgs("ramp", fixed, c.allSources ? 2 : 3, c.allSources ? 2 : 3, error)) {
        error += " (ramp DEV SRC VOLTS, or ramp all 0)";
        return false;
    }
    if (c.allSources) {
        if (!readVolts(words[2], c.volts, error)) {
            return false;
        }
        if (c.volts != 0.0) {
            error = "'ramp all' brings every source to 0 V; give one source for other voltages";
            return false;
        }
    } else {
        c.hasSource = true;
        if (!readDevice(words[1], c, error) || !readSource(words[2], c.src, error) ||
            !readVolts(words[3], c.volts, error)) {
            return false;
        }
    }
    return readFlags(
        "ramp", words, fixed + 1, error,
        [&](const std::string& flag, const std::string& value, bool& known, std::string& takes) {
            if (flag == "--rate") {
                return positiveUpTo(value, c.ramp.rate, kMaxRate, "V/s", takes);
            }
            if (flag == "--step") {
                return positiveUpTo(value, c.ramp.step, kMaxStep, "volts", takes);
            }
            if (flag == "--tolerance") {
                return positiveUpTo(value, c.ramp.tolerance, kMaxStep, "volts", takes);
            }
            if (flag == "--settle-timeout") {
                takes = "a number of seconds from 0 to " + fixedText(kMaxSettle);
                return parseDouble(value, c.ramp.settleTimeout) && c.ramp.settleTimeout >= 0.0 &&
                       c.ramp.settleTimeout <= kMaxSettle;
            }
            if (flag == "--limits") {
                return readLimits(value, c.limits, takes);
            }
            if (flag.rfind("--deviation", 0) == 0) {
                known = false;  // a ramp's output lags its set voltage by design
                return false;
            }
            return takeAlarmFlag(flag, value, c.ramp.alarms, known, takes);
        });
}

bool parseIv(std::vector<std::string> words, Command& c, std::string& error) {
    IvOptions& o = c.iv;
    o.overwrite = takeSwitch(words, "--overwrite");
    size_t fixedArgs = 0;
    while (fixedArgs + 1 < words.size() && words[fixedArgs + 1].rfind("--", 0) != 0) {
        ++fixedArgs;
    }
    if (!expectArgs("iv", fixedArgs, 5, 5, error)) {
        error += " (iv DEV SRC FROM TO STEP)";
        return false;
    }
    c.hasSource = true;
    if (!readDevice(words[1], c, error) || !readSource(words[2], c.src, error) ||
        !readVolts(words[3], o.from, error) || !readVolts(words[4], o.to, error) ||
        !readVolts(words[5], o.step, error)) {
        return false;
    }
    const bool ok = readFlags(
        "iv", words, 6, error,
        [&](const std::string& flag, const std::string& value, bool& known, std::string& takes) {
            if (flag == "--settle") {
                takes = "a number of seconds from 0 to " + fixedText(kMaxSettle);
                return parseDouble(value, o.settle) && o.settle >= 0.0 && o.settle <= kMaxSettle;
            }
            if (flag == "--samples") {
                takes = "a whole number from 1 to 1000";
                return parseIndex(value, o.samples) && o.samples >= 1 && o.samples <= 1000;
            }
            if (flag == "--compliance") {
                return readCurrent(value, o.compliance, takes);
            }
            if (flag == "--back") {
                takes = "a number of volts";
                return parseDouble(value, o.back);
            }
            if (flag == "--rate") {
                return positiveUpTo(value, o.rate, kMaxRate, "V/s", takes);
            }
            if (flag == "--tolerance") {
                return positiveUpTo(value, o.tolerance, kMaxStep, "volts", takes);
            }
            if (flag == "--limits") {
                return readLimits(value, c.limits, takes);
            }
            if (flag == "--csv" || flag == "--svg") {
                (flag == "--csv" ? o.csvPath : o.svgPath) = value;
                return !value.empty();
            }
            known = false;
            return false;
        });
    if (!ok) {
        return false;
    }
    const double span = o.to - o.from;
    if (o.step == 0.0 || (span != 0.0 && (span > 0.0) != (o.step > 0.0))) {
        error = "'iv' STEP " + fixedText(o.step) + " V does not lead from " + fixedText(o.from) +
                " V to " + fixedText(o.to) + " V (" +
                (span >= 0.0 ? "a step above 0" : "a step below 0") + " does)";
        return false;
    }
    const double steps = std::floor(std::fabs(span / o.step) + 1e-9) + 1.0;
    if (steps > static_cast<double>(kMaxIvSteps)) {
        error = "'iv' from " + fixedText(o.from) + " V to " + fixedText(o.to) + " V in steps of " +
                fixedText(o.step) + " V takes " + fixedText(steps) + " steps, more than " +
                std::to_string(kMaxIvSteps) + ": take larger steps";
        return false;
    }
    if (o.overwrite && o.csvPath.empty()) {
        error = "'iv' --overwrite is about the file of --csv, which is not given";
        return false;
    }
    return true;
}

bool isProgramOption(const std::string& word) {
    for (const char* option :
         {"--lib", "--log-dir", "--simulate", "--scenario", "--driver", "--json", "--version"}) {
        if (word == option) {
            return true;
        }
    }
    return false;
}

bool parseCommand(const std::vector<std::string>& words, Command& c, std::string& error) {
    const std::string& name = words[0];
    const size_t n = words.size() - 1;
    c.text = joined(words);
    for (const std::string& word : words) {
        if (isProgramOption(word)) {
            error = word + " is an option of the program: put it before the command";
            return false;
        }
    }
    if (name == "list") {
        c.name = CommandName::List;
        return expectArgs(name, n, 0, 0, error);
    }
    if (name == "params") {
        c.name = CommandName::Params;
        return expectArgs(name, n, 1, 1, error) && readDevice(words[1], c, error);
    }
    if (name == "get" || name == "put") {
        c.name = name == "get" ? CommandName::Get : CommandName::Put;
        const size_t want = name == "get" ? 2 : 3;
        if (!expectArgs(name, n, want, want, error) || !readDevice(words[1], c, error)) {
            return false;
        }
        c.param = words[2];
        c.value = n == 3 ? words[3] : "";
        return true;
    }
    if (name == "set") {
        c.name = CommandName::Set;
        c.hasSource = true;
        const size_t fixedArgs = std::min<size_t>(n, 3);
        return expectArgs(name, fixedArgs, 3, 3, error) && readDevice(words[1], c, error) &&
               readSource(words[2], c.src, error) && readVolts(words[3], c.volts, error) &&
               readFlags(name, words, 4, error,
                         [&](const std::string& flag, const std::string& value, bool& known,
                             std::string& takes) {
                             known = flag == "--limits";
                             return known && readLimits(value, c.limits, takes);
                         });
    }
    if (name == "read") {
        c.name = CommandName::Read;
        c.hasSource = n == 2;
        return expectArgs(name, n, 1, 2, error) && readDevice(words[1], c, error) &&
               (!c.hasSource || readSource(words[2], c.src, error));
    }
    if (name == "monitor") {
        c.name = CommandName::Monitor;
        return parseMonitor(words, c.monitor, error);
    }
    if (name == "ramp") {
        c.name = CommandName::Ramp;
        return parseRamp(words, c, error);
    }
    if (name == "iv") {
        c.name = CommandName::Iv;
        return parseIv(words, c, error);
    }
    if (name == "session") {
        c.name = CommandName::Session;
        return expectArgs(name, n, 0, 0, error);
    }
    error = "unknown command '" + name + "'";
    return false;
}

}  // namespace

bool parseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error) {
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help" || arg == "help") {
            options.help = true;
            return true;
        }
        if (arg.rfind("-", 0) != 0) {
            break;
        }
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size() || args[i + 1].empty()) {
                error = "option " + arg + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        bool ok = true;
        if (arg == "--lib") {
            ok = value(options.libraryPath);
        } else if (arg == "--log-dir") {
            ok = value(options.logDirectory);
        } else if (arg == "--driver") {
            ok = value(options.driverPath);
        } else if (arg == "--scenario") {
            ok = value(options.scenarioPath);
            options.simulate = true;
        } else if (arg == "--simulate") {
            options.simulate = true;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--version") {
            options.version = true;
            return true;
        } else {
            error = "unknown option " + arg;
            return false;
        }
        if (!ok) {
            return false;
        }
    }
    std::vector<std::vector<std::string>> chain(1);
    for (; i < args.size(); ++i) {
        const bool commandPosition = chain.back().empty();
        if (args[i] == "-h" || args[i] == "--help" || (commandPosition && args[i] == "help")) {
            options.help = true;
            return true;
        }
        if (args[i] != "+") {
            chain.back().push_back(args[i]);
        } else if (chain.back().empty()) {
            error = "'+' without a command before it";
            return false;
        } else {
            chain.emplace_back();
        }
    }
    if (chain.back().empty()) {
        error = chain.size() == 1 ? "no command given" : "'+' without a command after it";
        return false;
    }
    for (const std::vector<std::string>& words : chain) {
        Command command;
        if (!parseCommand(words, command, error)) {
            return false;
        }
        options.commands.push_back(command);
    }
    if (options.commands.size() > 1 &&
        std::any_of(options.commands.begin(), options.commands.end(),
                    [](const Command& c) { return c.name == CommandName::Session; })) {
        error = "'session' takes its requests on standard input, not after '+'";
        return false;
    }
    return true;
}

}  // namespace host
