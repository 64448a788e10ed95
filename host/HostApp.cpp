#include "HostApp.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "HostFramework.h"
#include "Monitor.h"
#include "PluginLoader.h"
#include "Scenario.h"
#include "platform.h"

namespace host {

namespace {

// The device type code every HV source answers.
constexpr int kHvSourceTypeCode = 14;

bool readFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    text = buffer.str();
    return true;
}

bool writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        return false;
    }
    out << text;
    return static_cast<bool>(out.flush());
}

// A whole decimal number, no sign, nothing after it.
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

std::string formatNumber(double value, const char* format) {
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), format, value);
    return buffer;
}

std::string pad(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

const char* kindName(ParamKind kind) {
    switch (kind) {
        case ParamKind::Int16:
            return "int16";
        case ParamKind::Int32:
            return "int32";
        case ParamKind::String:
            return "text";
    }
    return "?";
}

class Session {
public:
    Session(const Options& options, std::ostream& out, std::ostream& err)
        : options_(options),
          out_(out),
          err_(err),
          framework_(options.logDirectory.empty() ? "." : options.logDirectory) {}

    ~Session() { shutDown(); }

    int start() {
        if (options_.simulate) {
            const std::string driver =
                options_.driverPath.empty()
                    ? plat::joinPath(plat::joinPath(plat::executableDirectory(), "sim"),
                                     plat::d2xxLibraryName())
                    : options_.driverPath;
            if (!simulator_.load(driver)) {
                err_ << "hvsrc-host: " << simulator_.error() << "\n";
                return EXIT_LOAD;
            }
            std::vector<ScenarioSource> sources = defaultScenario();
            if (!options_.scenarioPath.empty()) {
                std::string text;
                std::string error;
                if (!readFile(options_.scenarioPath, text)) {
                    err_ << "hvsrc-host: cannot read scenario file " << options_.scenarioPath
                         << "\n";
                    return EXIT_USAGE;
                }
                sources.clear();
                if (!parseScenario(text, sources, error)) {
                    err_ << "hvsrc-host: " << options_.scenarioPath << ": " << error << "\n";
                    return EXIT_USAGE;
                }
            }
            if (!simulator_.apply(sources)) {
                err_ << "hvsrc-host: " << simulator_.error() << "\n";
                return EXIT_USAGE;
            }
        }
        const std::string library =
            options_.libraryPath.empty()
                ? plat::joinPath(plat::executableDirectory(), plat::sharedLibraryFileName("hvsrc"))
                : options_.libraryPath;
        if (!plugin_.load(library)) {
            err_ << "hvsrc-host: cannot load the plug-in: " << plugin_.error() << "\n";
            return EXIT_LOAD;
        }
        library_ = plugin_.library();
        library_->initialize(&framework_);
        library_->registerDevices(&deviceList_);
        for (jd::IHwDev* device : deviceList_.devices()) {
            if (device != nullptr && device->typeCode() == kHvSourceTypeCode) {
                devices_.push_back(static_cast<jd::IHwDevHvSrc*>(device));
            }
        }
        if (devices_.empty()) {
            err_ << "hvsrc-host: no devices found";
            if (!options_.simulate) {
                err_ << " (is the D2XX driver installed and a source attached?)";
            }
            err_ << "; the library log is " << logPath() << "\n";
            return EXIT_NO_DEVICE;
        }
        return EXIT_OK;
    }

    int run(const std::vector<std::string>& command) {
        const std::string& name = command[0];
        const std::vector<std::string> args(command.begin() + 1, command.end());
        if (name == "list") {
            return expectArgs(name, args, 0, 0) ? list() : EXIT_USAGE;
        }
        if (name == "params") {
            return expectArgs(name, args, 1, 1) ? params(args[0]) : EXIT_USAGE;
        }
        if (name == "get") {
            return expectArgs(name, args, 2, 2) ? get(args[0], args[1]) : EXIT_USAGE;
        }
        if (name == "put") {
            return expectArgs(name, args, 3, 3) ? put(args[0], args[1], args[2]) : EXIT_USAGE;
        }
        if (name == "set") {
            return expectArgs(name, args, 3, 3) ? set(args[0], args[1], args[2]) : EXIT_USAGE;
        }
        if (name == "read") {
            return expectArgs(name, args, 1, 2) ? read(args) : EXIT_USAGE;
        }
        if (name == "monitor") {
            return monitor(args);
        }
        err_ << "hvsrc-host: unknown command '" << name << "'\n";
        return EXIT_USAGE;
    }

    void shutDown() {
        if (library_ != nullptr) {
            library_->deinitialize();
            library_ = nullptr;
        }
        devices_.clear();
        deviceList_.clear();
        plugin_.unload();
    }

private:
    std::string logPath() const {
        return plat::joinPath(options_.logDirectory.empty() ? "." : options_.logDirectory,
                              "hvsrc.log");
    }

    bool expectArgs(const std::string& name, const std::vector<std::string>& args, size_t least,
                    size_t most) {
        if (args.size() < least || args.size() > most) {
            err_ << "hvsrc-host: '" << name << "' takes ";
            if (least == most) {
                err_ << least;
            } else {
                err_ << least << " to " << most;
            }
            err_ << " argument(s), got " << args.size() << "\n";
            return false;
        }
        return true;
    }

    jd::IHwDevHvSrc* device(const std::string& text) {
        size_t index = 0;
        if (!parseIndex(text, index) || index >= devices_.size()) {
            err_ << "hvsrc-host: no device '" << text << "' (devices 0 to " << devices_.size() - 1
                 << "; see 'list')\n";
            return nullptr;
        }
        return devices_[index];
    }

    bool source(jd::IHwDevHvSrc* dev, const std::string& text, uint32_t& out) {
        size_t index = 0;
        const int64_t count = dev->sourceCount();
        if (!parseIndex(text, index) || count <= 0 || static_cast<int64_t>(index) >= count) {
            err_ << "hvsrc-host: no source '" << text << "' on this device (it has " << count
                 << " source" << (count == 1 ? "" : "s") << ")\n";
            return false;
        }
        out = static_cast<uint32_t>(index);
        return true;
    }

    ParamList* paramList(jd::IHwDevHvSrc* dev) {
        // Every list the plug-in holds came from our framework's createParamList.
        return static_cast<ParamList*>(dev->parameters());
    }

    std::string firmwareOf(jd::IHwDevHvSrc* dev) {
        ParamList* params = paramList(dev);
        Param* firmware = params != nullptr ? params->find("Firmware") : nullptr;
        return firmware != nullptr ? firmware->text() : "";
    }

    int list() {
        out_ << pad("DEV", 5) << pad("NAME", 11) << pad("NUMBER", 8) << pad("FIRMWARE", 32)
             << pad("SOURCES", 9) << pad("LIMITS (V)", 28) << "POLARITY\n";
        for (size_t i = 0; i < devices_.size(); ++i) {
            jd::IHwDevHvSrc* dev = devices_[i];
            jd::HwDevInfo info{};
            dev->getInfo(&info);
            const int64_t count = dev->sourceCount();
            std::string limits;
            for (int64_t s = 0; s < count && s < 8; ++s) {
                limits += "[" + formatNumber(dev->minVoltage(static_cast<int32_t>(s)), "%g") +
                          ", " + formatNumber(dev->maxVoltage(static_cast<int32_t>(s)), "%g") +
                          "] ";
            }
            const int polarity = dev->polarity();
            const char* polarityText = polarity == 0   ? "0 (negative/none)"
                                       : polarity == 1 ? "1 (positive)"
                                                       : "-1 (unknown)";
            out_ << pad(std::to_string(i), 5) << pad(dev->deviceName(), 11)
                 << pad(std::to_string(info.number), 8) << pad("\"" + firmwareOf(dev) + "\"", 32)
                 << pad(std::to_string(count), 9) << pad(limits, 28) << polarityText << "\n";
        }
        return EXIT_OK;
    }

    int params(const std::string& devText) {
        jd::IHwDevHvSrc* dev = device(devText);
        if (dev == nullptr) {
            return EXIT_USAGE;
        }
        ParamList* params = paramList(dev);
        if (params == nullptr) {
            err_ << "hvsrc-host: device " << devText << " has no parameter list\n";
            return EXIT_REFUSED;
        }
        out_ << pad("NAME", 16) << pad("KIND", 7) << pad("VALUE", 24) << "ACCESS\n";
        for (size_t i = 0; i < params->size(); ++i) {
            Param* param = params->at(i);
            params->read(param->name());
            out_ << pad(param->name(), 16) << pad(kindName(param->kind()), 7)
                 << pad(param->valueText(), 24) << (param->readOnly() ? "read-only" : "writable")
                 << "\n";
        }
        return EXIT_OK;
    }

    int get(const std::string& devText, const std::string& name) {
        jd::IHwDevHvSrc* dev = device(devText);
        if (dev == nullptr) {
            return EXIT_USAGE;
        }
        ParamList* params = paramList(dev);
        Param* param = params != nullptr ? params->find(name) : nullptr;
        if (param == nullptr) {
            err_ << "hvsrc-host: device " << devText << " has no parameter '" << name
                 << "' (see 'params " << devText << "')\n";
            return EXIT_USAGE;
        }
        params->read(name);
        out_ << name << " = " << param->valueText() << "\n";
        return EXIT_OK;
    }

    int put(const std::string& devText, const std::string& name, const std::string& value) {
        jd::IHwDevHvSrc* dev = device(devText);
        if (dev == nullptr) {
            return EXIT_USAGE;
        }
        ParamList* params = paramList(dev);
        Param* param = params != nullptr ? params->find(name) : nullptr;
        if (param == nullptr) {
            err_ << "hvsrc-host: device " << devText << " has no parameter '" << name << "'\n";
            return EXIT_USAGE;
        }
        if (param->readOnly()) {
            err_ << "hvsrc-host: parameter '" << name << "' is read-only\n";
            return EXIT_USAGE;
        }
        const std::string errorBefore = dev->lastError();
        if (param->kind() == ParamKind::String) {
            params->writeText(name, value);
        } else {
            int32_t number = 0;
            const bool fits =
                parseInt32(value, number) &&
                (param->kind() != ParamKind::Int16 || (number >= INT16_MIN && number <= INT16_MAX));
            if (!fits) {
                err_ << "hvsrc-host: '" << value << "' is not a whole number that fits parameter '"
                     << name << "' (" << kindName(param->kind()) << ")\n";
                return EXIT_USAGE;
            }
            params->write(name, number);
        }
        // The handler always answers 0; a refusal shows as a new error text on the device.
        const std::string errorAfter = dev->lastError();
        if (errorAfter != errorBefore && !errorAfter.empty()) {
            err_ << "hvsrc-host: device " << devText << " refused: " << errorAfter << "\n";
            return EXIT_REFUSED;
        }
        out_ << name << " <- " << value << "\n";
        return EXIT_OK;
    }

    int set(const std::string& devText, const std::string& srcText, const std::string& voltsText) {
        jd::IHwDevHvSrc* dev = device(devText);
        uint32_t src = 0;
        if (dev == nullptr || !source(dev, srcText, src)) {
            return EXIT_USAGE;
        }
        double volts = 0.0;
        if (!parseDouble(voltsText, volts)) {
            err_ << "hvsrc-host: '" << voltsText << "' is not a voltage (a number of volts)\n";
            return EXIT_USAGE;
        }
        const int rc = dev->setVoltage(src, volts);
        if (rc != 0) {
            err_ << "hvsrc-host: device " << devText << " source " << src << " refused "
                 << voltsText << " V (" << rc << "): " << dev->lastError() << "\n";
            return EXIT_REFUSED;
        }
        out_ << "device " << devText << " source " << src << " set to " << formatNumber(volts, "%g")
             << " V\n";
        return EXIT_OK;
    }

    int read(const std::vector<std::string>& args) {
        jd::IHwDevHvSrc* dev = device(args[0]);
        if (dev == nullptr) {
            return EXIT_USAGE;
        }
        std::vector<uint32_t> sources;
        if (args.size() == 2) {
            uint32_t src = 0;
            if (!source(dev, args[1], src)) {
                return EXIT_USAGE;
            }
            sources.push_back(src);
        } else {
            for (int64_t s = 0; s < dev->sourceCount() && s < 256; ++s) {
                sources.push_back(static_cast<uint32_t>(s));
            }
        }
        for (uint32_t src : sources) {
            const double volts = dev->readVoltage(src);
            const double current = dev->readCurrent(src);
            out_ << "device " << args[0] << " source " << src << ": " << formatNumber(volts, "%.1f")
                 << " V, current " << formatNumber(current, "%.3f") << " (set "
                 << formatNumber(dev->getVoltage(src), "%g") << " V)\n";
        }
        return EXIT_OK;
    }

    int monitor(const std::vector<std::string>& args) {
        double interval = 1.0;
        double duration = -1.0;
        size_t count = 10;
        bool countGiven = false;
        std::string csvPath;
        std::string svgPath;
        for (size_t i = 0; i < args.size(); ++i) {
            const std::string& flag = args[i];
            if (i + 1 >= args.size()) {
                err_ << "hvsrc-host: monitor option '" << flag << "' needs a value\n";
                return EXIT_USAGE;
            }
            const std::string& value = args[++i];
            bool ok = true;
            if (flag == "--interval") {
                ok = parseDouble(value, interval) && interval > 0.0 && interval <= 3600.0;
            } else if (flag == "--duration") {
                ok = parseDouble(value, duration) && duration > 0.0;
            } else if (flag == "--count") {
                ok = parseIndex(value, count) && count > 0;
                countGiven = true;
            } else if (flag == "--csv") {
                csvPath = value;
            } else if (flag == "--svg") {
                svgPath = value;
            } else {
                err_ << "hvsrc-host: unknown monitor option '" << flag << "'\n";
                return EXIT_USAGE;
            }
            if (!ok) {
                err_ << "hvsrc-host: bad value '" << value << "' for " << flag << "\n";
                return EXIT_USAGE;
            }
        }
        if (duration > 0.0 && !countGiven) {
            count = static_cast<size_t>(std::floor(duration / interval)) + 1;
        }

        MonitorSeries series;
        std::vector<std::pair<jd::IHwDevHvSrc*, uint32_t>> channels;
        for (size_t d = 0; d < devices_.size(); ++d) {
            for (int64_t s = 0; s < devices_[d]->sourceCount() && s < 256; ++s) {
                channels.emplace_back(devices_[d], static_cast<uint32_t>(s));
                series.channels.push_back("dev" + std::to_string(d) + "/src" + std::to_string(s) +
                                          " " + devices_[d]->deviceName());
            }
        }
        out_ << pad("time_s", 9);
        for (size_t c = 0; c < channels.size(); ++c) {
            out_ << pad(series.channels[c].substr(0, series.channels[c].find(' ')) + " V", 14)
                 << pad("I", 9);
        }
        out_ << "\n";

        const auto start = std::chrono::steady_clock::now();
        for (size_t n = 0; n < count; ++n) {
            const auto due = start + std::chrono::duration<double>(interval * n);
            std::this_thread::sleep_until(due);
            MonitorSample sample;
            sample.time =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            out_ << pad(formatNumber(sample.time, "%.2f"), 9);
            for (const auto& channel : channels) {
                const double volts = channel.first->readVoltage(channel.second);
                const double current = channel.first->readCurrent(channel.second);
                sample.volts.push_back(volts);
                sample.current.push_back(current);
                out_ << pad(formatNumber(volts, "%.1f"), 14)
                     << pad(formatNumber(current, "%.3f"), 9);
            }
            out_ << "\n";
            out_.flush();
            series.samples.push_back(sample);
            if (duration > 0.0 && sample.time >= duration) {
                break;
            }
        }
        if (!csvPath.empty()) {
            if (!writeFile(csvPath, monitorCsv(series))) {
                err_ << "hvsrc-host: cannot write " << csvPath << "\n";
                return EXIT_USAGE;
            }
            out_ << "wrote " << csvPath << "\n";
        }
        if (!svgPath.empty()) {
            if (!writeFile(svgPath, monitorSvg(series))) {
                err_ << "hvsrc-host: cannot write " << svgPath << "\n";
                return EXIT_USAGE;
            }
            out_ << "wrote " << svgPath << "\n";
        }
        return EXIT_OK;
    }

    const Options& options_;
    std::ostream& out_;
    std::ostream& err_;
    Framework framework_;
    DeviceList deviceList_;
    Simulator simulator_;  // declared before the plug-in: unloaded after it
    PluginLoader plugin_;
    jd::IHwLib* library_ = nullptr;
    std::vector<jd::IHwDevHvSrc*> devices_;
};

}  // namespace

std::string usageText() {
    return "usage: hvsrc-host [options] COMMAND [ARGS] [+ COMMAND [ARGS] ...]\n"
           "\n"
           "Loads the hvsrc plug-in, finds the attached HV sources and runs the commands.\n"
           "\n"
           "options:\n"
           "  --lib PATH            the plug-in (default: the one beside this program)\n"
           "  --log-dir DIR         where the library and device logs go (default: .)\n"
           "  --simulate [FILE]     use the stand-in D2XX driver with simulated sources from\n"
           "                        a scenario file (default: one source of each kind)\n"
           "  --driver PATH         the stand-in driver for --simulate (default: sim/ beside\n"
           "                        this program)\n"
           "\n"
           "commands (DEV and SRC count from 0):\n"
           "  list                  devices: name, number, firmware, sources, limits, polarity\n"
           "  params DEV            every parameter with its kind, value and access\n"
           "  get DEV NAME          read one parameter\n"
           "  put DEV NAME VALUE    write one parameter\n"
           "  set DEV SRC VOLTS     set a source's voltage\n"
           "  read DEV [SRC]        measured voltage and current\n"
           "  monitor [--interval S] [--count N | --duration S] [--csv FILE] [--svg FILE]\n"
           "                        every source of every device over time\n"
           "\n"
           "exit status: 0 ok, 1 refused by a device, 2 bad command line, 3 plug-in or driver\n"
           "not loadable, 4 no device found\n";
}

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.size() < 2 || arg[0] != '-' || arg[1] != '-') {
            break;
        }
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                error = "option " + arg + " needs a value";
                return false;
            }
            into = args[++i];
            return true;
        };
        if (arg == "--lib") {
            if (!value(options.libraryPath)) {
                return false;
            }
        } else if (arg == "--log-dir") {
            if (!value(options.logDirectory)) {
                return false;
            }
        } else if (arg == "--driver") {
            if (!value(options.driverPath)) {
                return false;
            }
        } else if (arg == "--simulate") {
            options.simulate = true;
            // An optional scenario file: the next word, unless it is a command.
            static const char* const kCommands[] = {"list", "params", "get",    "put",
                                                    "set",  "read",   "monitor"};
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
                bool isCommand = false;
                for (const char* command : kCommands) {
                    isCommand = isCommand || args[i + 1] == command;
                }
                if (!isCommand) {
                    options.scenarioPath = args[++i];
                }
            }
        } else if (arg == "--help") {
            error = "help";
            return false;
        } else {
            error = "unknown option " + arg;
            return false;
        }
    }
    std::vector<std::string> command;
    for (; i < args.size(); ++i) {
        if (args[i] == "+") {
            if (command.empty()) {
                error = "'+' without a command before it";
                return false;
            }
            options.commands.push_back(command);
            command.clear();
        } else {
            command.push_back(args[i]);
        }
    }
    if (!command.empty()) {
        options.commands.push_back(command);
    } else if (!options.commands.empty()) {
        error = "'+' without a command after it";
        return false;
    }
    if (options.commands.empty()) {
        error = "no command given";
        return false;
    }
    return true;
}

int runHost(const Options& options, std::ostream& out, std::ostream& err) {
    Session session(options, out, err);
    const int started = session.start();
    if (started != EXIT_OK) {
        return started;
    }
    for (const std::vector<std::string>& command : options.commands) {
        const int rc = session.run(command);
        if (rc != EXIT_OK) {
            return rc;
        }
    }
    return EXIT_OK;
}

}  // namespace host
