#include "cli/CommandLine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace host {

namespace {

// Largest ramp rate and step accepted, in volts per second and volts.
constexpr double kMaxRate = 10000.0;
constexpr double kMaxStep = 10000.0;
// Longest monitor interval, in seconds.
constexpr double kMaxInterval = 3600.0;

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

bool readDevice(const std::string& text, size_t& dev, std::string& error) {
    if (!parseIndex(text, dev)) {
        error = "'" + text + "' is not a device number (0, 1, ...; see 'list')";
        return false;
    }
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

// "--flag value" pairs after a command's fixed arguments; `take` reads one pair.
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
        if (!take(words[i], words[i + 1], known)) {
            error = known ? "bad value '" + words[i + 1] + "' for " + words[i]
                          : "unknown '" + name + "' option '" + words[i] + "'";
            return false;
        }
    }
    return true;
}

bool parseMonitor(const std::vector<std::string>& words, MonitorOptions& o, std::string& error) {
    const bool ok = readFlags("monitor", words, 1, error,
                              [&](const std::string& flag, const std::string& value, bool& known) {
                                  if (flag == "--interval") {
                                      return parseDouble(value, o.interval) && o.interval > 0.0 &&
                                             o.interval <= kMaxInterval;
                                  }
                                  if (flag == "--count") {
                                      return parseIndex(value, o.count) && o.count > 0;
                                  }
                                  if (flag == "--duration") {
                                      return parseDouble(value, o.duration) && o.duration > 0.0;
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
        if (!readDevice(words[1], c.dev, error) || !readSource(words[2], c.src, error) ||
            !readVolts(words[3], c.volts, error)) {
            return false;
        }
    }
    return readFlags("ramp", words, fixed + 1, error,
                     [&](const std::string& flag, const std::string& value, bool& known) {
                         if (flag == "--rate") {
                             return parseDouble(value, c.ramp.rate) && c.ramp.rate > 0.0 &&
                                    c.ramp.rate <= kMaxRate;
                         }
                         if (flag == "--step") {
                             return parseDouble(value, c.ramp.step) && c.ramp.step > 0.0 &&
                                    c.ramp.step <= kMaxStep;
                         }
                         known = false;
                         return false;
                     });
}

bool parseCommand(const std::vector<std::string>& words, Command& c, std::string& error) {
    const std::string& name = words[0];
    const size_t n = words.size() - 1;
    c.text = joined(words);
    if (name == "list") {
        c.name = CommandName::List;
        return expectArgs(name, n, 0, 0, error);
    }
    if (name == "params") {
        c.name = CommandName::Params;
        return expectArgs(name, n, 1, 1, error) && readDevice(words[1], c.dev, error);
    }
    if (name == "get" || name == "put") {
        c.name = name == "get" ? CommandName::Get : CommandName::Put;
        const size_t want = name == "get" ? 2 : 3;
        if (!expectArgs(name, n, want, want, error) || !readDevice(words[1], c.dev, error)) {
            return false;
        }
        c.param = words[2];
        c.value = n == 3 ? words[3] : "";
        return true;
    }
    if (name == "set") {
        c.name = CommandName::Set;
        c.hasSource = true;
        return expectArgs(name, n, 3, 3, error) && readDevice(words[1], c.dev, error) &&
               readSource(words[2], c.src, error) && readVolts(words[3], c.volts, error);
    }
    if (name == "read") {
        c.name = CommandName::Read;
        c.hasSource = n == 2;
        return expectArgs(name, n, 1, 2, error) && readDevice(words[1], c.dev, error) &&
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
    if (text.empty()) {
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
           "order. The whole command line is checked before anything is loaded or set.\n"
           "\n"
           "options:\n"
           "  --lib PATH            the plug-in (default: the one beside this program)\n"
           "  --log-dir DIR         where the library and device logs go, created if need be\n"
           "                        (default: a new folder hvsrc-logs/DATE-TIME for each run)\n"
           "  --simulate            use the stand-in D2XX driver with one simulated source of\n"
           "                        each kind instead of real sources\n"
           "  --scenario FILE       simulated sources from a scenario file (implies --simulate)\n"
           "  --driver PATH         the stand-in driver (default: sim/ beside this program)\n"
           "  --json                list, params, read and monitor print JSON, one object a\n"
           "                        line; other messages go to the error stream\n"
           "  -h, --help, help      this text          --version   the version\n"
           "\n"
           "commands (DEV and SRC count from 0; parameter names count sources from 1,\n"
           "so Voltage1 is SRC 0):\n"
           "  list                  devices: name, kind, number, firmware, sources, limits,\n"
           "                        polarity\n"
           "  params DEV            every parameter with its type, value, access and meaning\n"
           "  get DEV NAME          read one parameter\n"
           "  put DEV NAME VALUE    write one parameter\n"
           "  set DEV SRC VOLTS     set a source's voltage (HV sources take whole volts, bias\n"
           "                        modules tenths of a volt; the rest is cut off)\n"
           "  read DEV [SRC]        measured voltage and current\n"
           "  ramp DEV SRC VOLTS [--rate V/s] [--step V]\n"
           "                        move a source to VOLTS in steps (default 10 V/s, steps of\n"
           "                        what the rate covers in 0.2 s), reading back after each;\n"
           "                        stops on a refusal, a reading going the wrong way, or Ctrl-C\n"
           "  ramp all 0 [--rate V/s] [--step V]\n"
           "                        the same for every source of every device at once\n"
           "  monitor [--interval S] [--count N | --duration S] [--csv FILE] [--svg FILE]\n"
           "                        every source over time (default: a sample a second until\n"
           "                        Ctrl-C); the CSV gets each row as it is taken\n"
           "  session               load once, then run requests read as JSON lines on standard\n"
           "                        input ({\"id\": 1, \"argv\": [\"read\", \"0\"]}), answering "
           "in\n"
           "                        JSON lines tagged with the id; \"stop\" stops the running\n"
           "                        request, \"rescan\" finds the devices again "
           "(docs/scripting.md)\n"
           "\n"
           "currents: HV sources in uA (CurrentSense parameters: raw counts in nA), bias\n"
           "modules in mA; the legacy HV source (\"HV source AVR\") measures none.\n"
           "\n"
           "exit status: 0 ok, 1 a device refused or failed, 2 bad command line (nothing was\n"
           "touched), 3 plug-in or D2XX driver not found, 4 no device found, 130 Ctrl-C\n";
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
