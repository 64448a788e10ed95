#include "cli/CommandLine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

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

bool parseMonitor(std::vector<std::string> words, MonitorOptions& o, std::string& error) {
    for (const char* flag : {"--append", "--overwrite"}) {
        const auto found = std::find(words.begin() + 1, words.end(), flag);
        if (found != words.end()) {
            (flag[2] == 'a' ? o.append : o.overwrite) = true;
            words.erase(found);
        }
    }
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
            known = false;
            return false;
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
            known = false;
            return false;
        });
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
    if (name == "session") {
        c.name = CommandName::Session;
        return expectArgs(name, n, 0, 0, error);
    }
    error = "unknown command '" + name + "'";
    return false;
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

std::string usageText() {
    return "usage: hvsrc-host [options] COMMAND [ARGS] [+ COMMAND [ARGS] ...]\n"
           "\n"
           "Loads the hvsrc plug-in, finds the attached HV sources and runs the commands in\n"
           "order. The whole command line is checked before anything is loaded or set, and\n"
           "every target voltage against the source's limits before the first command runs.\n"
           "\n"
           "options (before the command):\n"
           "  --lib PATH            the plug-in (default: the one beside this program)\n"
           "  --log-dir DIR         where the library and device logs go, created if need be;\n"
           "                        logs of an earlier run there are moved to DIR/previous/\n"
           "                        (the latest 10 runs kept). Default: a new folder for each\n"
           "                        run under $XDG_STATE_HOME/hvsrc (~/.local/state/hvsrc;\n"
           "                        %LOCALAPPDATA%\\hvsrc on Windows)\n"
           "  --simulate            use the stand-in D2XX driver with one simulated source of\n"
           "                        each kind instead of real sources\n"
           "  --scenario FILE       simulated sources from a scenario file (implies --simulate)\n"
           "  --driver PATH         the stand-in driver (default: sim/ beside this program)\n"
           "  --json                results as JSON, one object a line, for every command, and\n"
           "                        every error as {\"error\": ..., \"exit\": ...}; messages for\n"
           "                        people go to the error stream\n"
           "  -h, --help, help      this text          --version   the version\n"
           "\n"
           "DEV is a device's position in 'list' (0, 1, ...) or its address KIND:NUMBER, KIND\n"
           "one of hv, legacy, bias and NUMBER the device number 'list' shows (bias:3). An\n"
           "address stays with the device when bridges are plugged in another order. SRC\n"
           "counts from 0; parameter names count sources from 1, so Voltage1 is SRC 0.\n"
           "\n"
           "Voltages are the output's, with its sign, in every command and output: a NEG\n"
           "bias module is set to -40 V and reads -40 V.\n"
           "\n"
           "commands:\n"
           "  list                  devices: address, name, kind, number, firmware, sources,\n"
           "                        limits, polarity\n"
           "  params DEV            every parameter with its type, value, access and meaning\n"
           "  get DEV NAME          read one parameter (names match in any case)\n"
           "  put DEV NAME VALUE    write one parameter\n"
           "  set DEV SRC VOLTS [--limits LOW:HIGH]\n"
           "                        set a source's voltage (HV sources take whole volts, bias\n"
           "                        modules tenths of a volt; the rest is cut off toward 0 V)\n"
           "  read DEV [SRC]        measured voltage and current\n"
           "  ramp DEV SRC VOLTS [--rate V/s] [--step V] [--tolerance V] [--settle-timeout S]\n"
           "                     [--limits LOW:HIGH]\n"
           "                        move a source to VOLTS in steps (default 10 V/s, steps of\n"
           "                        what the rate covers in 0.2 s), reading voltage and current\n"
           "                        after each; then waits until the output reads within the\n"
           "                        tolerance (default 1 V or 1 % of VOLTS) or the settle\n"
           "                        time-out passes (default the ramp's duration, at least\n"
           "                        30 s), and says where it is. Going away from 0 V it stops\n"
           "                        on a refusal, a failure or a reading going the wrong way;\n"
           "                        going toward 0 V it goes on with every source it can\n"
           "  ramp all 0 [options as above]\n"
           "                        every source of every device down to 0 V at once\n"
           "  monitor [--interval S] [--count N | --duration S] [--csv FILE [--append |\n"
           "          --overwrite]] [--svg FILE]\n"
           "                        every source over time (default: a sample a second until\n"
           "                        stopped); the CSV gets each row as it is taken, with UTC\n"
           "                        time and a status column per source; an existing CSV\n"
           "                        needs --append (same columns) or --overwrite\n"
           "  session               load once, then run requests read as JSON lines on standard\n"
           "                        input ({\"id\": 1, \"argv\": [\"read\", \"0\"]}), answering "
           "in\n"
           "                        JSON lines tagged with the id; \"stop\" stops the running\n"
           "                        request, \"rescan\" finds the devices again "
           "(docs/scripting.md)\n"
           "\n"
           "--limits bounds the targets of one command. The plug-in keeps no limits for\n"
           "sources 2 and up of an HV source: a target other than 0 V for one of them needs\n"
           "--limits.\n"
           "\n"
           "A reading that fails is never shown as a value: \"no answer: REASON\" in tables,\n"
           "empty cells and the reason in the CSV, null and \"error\" in JSON.\n"
           "\n"
           "currents: HV sources in uA (CurrentSense parameters: raw counts in nA), bias\n"
           "modules in mA; the legacy HV source (\"HV source AVR\") measures none.\n"
           "\n"
           "exit status: 0 ok, 1 a device refused or failed (a reading, a set, a ramp that\n"
           "did not reach its target), 2 bad command line or a target beyond the limits\n"
           "(nothing was run), 3 plug-in or D2XX driver not found, 4 no device found,\n"
           "128 + signal when stopped: 130 Ctrl-C, 143 SIGTERM, 129 SIGHUP or a closed\n"
           "console\n";
}

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
