// The commands that list, read and set: list, params, get, put, set, read; the checks of every
// command against the devices found; and the dispatch.
#include "ops/Commands.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <thread>

#include "cli/HostPlatform.h"
#include "ops/Sources.h"
#include "output/Json.h"
#include "output/Output.h"
#include "platform.h"

namespace host {

namespace {

// How long waitUntil sleeps at most between looks at the Ctrl-C flag.
constexpr double kWakeSeconds = 0.05;

const char* typeName(ParamKind kind) {
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

// The source a numbered parameter ("Voltage1", "CurrentSense2") is about: 0 or 1; -1 for none.
int sourceOfParam(const std::string& name) {
    const char last = name.empty() ? '\0' : name.back();
    return last == '1' ? 0 : last == '2' ? 1 : -1;
}

std::string paramMeaning(const Device& device, const std::string& name) {
    const int src = sourceOfParam(name);
    const std::string of = "SRC " + std::to_string(src) + ": ";
    if (src >= 0 && static_cast<uint32_t>(src) >= device.sources) {
        return of + "not on this device (it has " + std::to_string(device.sources) + " source" +
               (device.sources == 1 ? "" : "s") + "); the library keeps the parameter anyway";
    }
    const std::string base = src < 0 ? name : name.substr(0, name.size() - 1);
    if (base == "Voltage") {
        return of + "V sent when written, not read back (read shows the set voltage)";
    }
    if (base == "MinVoltage" || base == "MaxVoltage") {
        return of + (base == "MinVoltage" ? "lower" : "upper") + " limit in V";
    }
    if (base == "VoltageSense") {
        return of + "measured voltage in V";
    }
    const char* current = traits(device.kind).senseCurrentText;
    return base == "CurrentSense" && current != nullptr ? of + current : "";
}

SetText setTextOf(const SetRecord& record) {
    SetText text;
    text.known = record.via != SetRecord::Via::Nothing;
    text.volts = record.volts;
    text.via = record.via == SetRecord::Via::Parameter ? record.param : "set";
    return text;
}

int list(Session& s) {
    std::vector<DeviceRow> rows;
    for (size_t i = 0; i < s.devices().size(); ++i) {
        const Device& d = s.devices()[i];
        DeviceRow row;
        row.index = i;
        row.address = d.address;
        row.name = d.dev->deviceName();
        row.kind = traits(d.kind).label;
        row.number = d.number;
        row.firmware = d.firmware;
        row.sources = d.dev->sourceCount();
        for (uint32_t src = 0; src < d.sources; ++src) {
            const SourceLimits limits = outputLimits(d, src);
            row.limits.emplace_back(limits.low, limits.high);
            row.limitsKept.push_back(limits.known);
        }
        // Only the bias module has a polarity (asked at discovery); the HV sources answer a
        // constant.
        const int polarity = d.kind == SourceKind::BiasModule ? d.polarity : 0;
        if (d.kind == SourceKind::BiasModule) {
            row.polarityWord = polarity == 1 ? "POS" : polarity == 0 ? "NEG" : "unknown";
        }
        row.polarityText = polarityText(d.kind, polarity);
        rows.push_back(row);
    }
    if (s.json()) {
        printDevicesJson(s.out(), rows);
    } else {
        printDevices(s.out(), rows);
    }
    return EXIT_OK;
}

int params(Session& s, const Command& c) {
    const Device& d = s.devices()[c.dev];
    ParamList* list = s.params(d);
    std::vector<ParamRow> rows;
    for (size_t i = 0; list != nullptr && i < list->size(); ++i) {
        Param* param = list->at(i);
        list->read(param->name());
        ParamRow row;
        row.name = param->name();
        row.type = typeName(param->kind());
        row.numeric = param->kind() != ParamKind::String;
        row.number = param->intValue();
        row.text = param->text();
        row.readOnly = param->readOnly();
        row.meaning = paramMeaning(d, row.name);
        rows.push_back(row);
    }
    if (s.json()) {
        printParamsJson(s.out(), c.dev, rows);
    } else {
        printParams(s.out(), rows);
    }
    return EXIT_OK;
}

int get(Session& s, const Command& c) {
    const Device& d = s.devices()[c.dev];
    ParamList* list = s.params(d);
    list->read(c.param);
    const std::string meaning = paramMeaning(d, c.param);
    Param* param = list->find(c.param);
    if (s.json()) {
        emitJson(s.out(),
                 {{"command", "get"},
                  {"dev", c.dev},
                  {"address", d.address},
                  {"name", c.param},
                  {"value", param->kind() == ParamKind::String ? nlohmann::json(param->text())
                                                               : nlohmann::json(param->intValue())},
                  {"meaning", meaning}});
        return EXIT_OK;
    }
    s.out() << c.param << " = " << param->valueText()
            << (meaning.empty() ? "" : " (" + meaning + ")") << "\n";
    return EXIT_OK;
}

int put(Session& s, const Command& c) {
    Device& d = s.devices()[c.dev];
    ParamList* list = s.params(d);
    Param* param = list->find(c.param);
    const std::string errorBefore = d.dev->lastError();
    int32_t number = 0;
    if (param->kind() == ParamKind::String) {
        list->writeText(c.param, c.value);
    } else {
        parseInt32(c.value, number);
        list->write(c.param, number);
    }
    // The handler always answers 0; a refusal shows as a new error text on the device.
    const std::string errorAfter = d.dev->lastError();
    if (errorAfter != errorBefore && !errorAfter.empty()) {
        return s.fail(EXIT_REFUSED, "device " + std::to_string(c.dev) + " refused: " + errorAfter,
                      {{"command", "put"}, {"dev", c.dev}, {"name", c.param}});
    }
    const int src = sourceOfParam(c.param);
    if (c.param.rfind("Voltage", 0) == 0 && c.param.size() == 8 && src >= 0 &&
        static_cast<uint32_t>(src) < d.sources) {
        d.set[static_cast<size_t>(src)] = {SetRecord::Via::Parameter, static_cast<double>(number),
                                           c.param};
    }
    s.text() << c.param << " <- " << c.value << "\n";
    if (s.json()) {
        emitJson(s.out(), {{"command", "put"},
                           {"dev", c.dev},
                           {"address", d.address},
                           {"name", c.param},
                           {"value", param->kind() == ParamKind::String ? nlohmann::json(c.value)
                                                                        : nlohmann::json(number)}});
    }
    return EXIT_OK;
}

int set(Session& s, const Command& c) {
    Device& d = s.devices()[c.dev];
    const nlohmann::json where = {
        {"command", "set"}, {"dev", c.dev}, {"address", d.address}, {"src", c.src}};
    const SetOutcome outcome = setSource(d, c.src, c.volts);
    if (!outcome.ok()) {
        nlohmann::json context = where;
        context["asked_volts"] = c.volts;
        return s.fail(EXIT_REFUSED,
                      "device " + std::to_string(c.dev) + " source " + std::to_string(c.src) + " " +
                          outcome.word() + " " + voltsText(c.volts) + " V (" +
                          std::to_string(outcome.rc) + "): " + outcome.reason,
                      context);
    }
    const KindTraits& kind = traits(d.kind);
    const double sent = sentVoltage(d.kind, c.volts);
    d.set[c.src] = {SetRecord::Via::SetVoltage, sent, ""};
    s.text() << "device " << c.dev << " source " << c.src << " set to " << voltsText(sent) << " V";
    if (sent != c.volts) {
        s.text() << " (asked " << voltsText(c.volts) << " V; this source takes " << kind.stepText
                 << ")";
    }
    s.text() << "\n";
    if (s.json()) {
        nlohmann::json object = where;
        object["asked_volts"] = c.volts;
        object["sent_volts"] = sent;
        emitJson(s.out(), object);
    }
    return EXIT_OK;
}

int read(Session& s, const Command& c) {
    Device& d = s.devices()[c.dev];
    const char* unit = traits(d.kind).currentUnit;
    std::vector<ReadingRow> rows;
    const uint32_t first = c.hasSource ? c.src : 0;
    const uint32_t end = c.hasSource ? c.src + 1 : d.sources;
    bool allOk = true;
    for (uint32_t src = first; src < end; ++src) {
        const SourceReading reading = readSource(d, src);
        ReadingRow row;
        row.dev = c.dev;
        row.address = d.address;
        row.src = src;
        row.ok = reading.ok;
        row.error = reading.error;
        row.volts = reading.volts;
        row.currentUnit = unit;
        row.current = reading.current;
        row.set = setTextOf(d.set[src]);
        rows.push_back(row);
        allOk = allOk && reading.ok;
    }
    if (s.json()) {
        printReadingsJson(s.out(), c.dev, rows);
    } else {
        printReadings(s.out(), rows);
    }
    return allOk ? EXIT_OK : EXIT_REFUSED;
}

// The device a command names: its position, or the one device with its address.
std::string resolveDevice(Session& session, Command& c) {
    const std::vector<Device>& devices = session.devices();
    if (devices.empty()) {
        return "no devices were found (rescan when one is attached)";
    }
    if (c.address.empty()) {
        if (c.dev >= devices.size()) {
            return "no device '" + std::to_string(c.dev) + "' (devices 0 to " +
                   std::to_string(devices.size() - 1) + "; see 'list')";
        }
        return "";
    }
    size_t found = 0;
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].address == c.address) {
            c.dev = i;
            ++found;
        }
    }
    if (found == 1) {
        return "";
    }
    return found == 0 ? "no device has the address " + c.address + " (see 'list')"
                      : std::to_string(found) + " devices have the address " + c.address +
                            ": name one by its position (see 'list')";
}

// The parameter a command names, its case as the device spells it.
Param* findParam(ParamList* list, std::string& name) {
    Param* exact = list != nullptr ? list->find(name) : nullptr;
    if (exact != nullptr || list == nullptr) {
        return exact;
    }
    const auto lower = [](std::string text) {
        for (char& ch : text) {
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        }
        return text;
    };
    for (size_t i = 0; i < list->size(); ++i) {
        if (lower(list->at(i)->name()) == lower(name)) {
            name = list->at(i)->name();
            return list->at(i);
        }
    }
    return nullptr;
}

SourceLimits boundOf(const UserLimits& limits) {
    SourceLimits bound;
    bound.known = limits.given;
    bound.low = limits.low;
    bound.high = limits.high;
    return bound;
}

}  // namespace

std::string checkCommand(Session& session, Command& c) {
    std::vector<Device>& devices = session.devices();
    if (c.name == CommandName::Ramp && c.allSources) {
        for (size_t dev = 0; dev < devices.size(); ++dev) {
            for (uint32_t src = 0; src < devices[dev].sources; ++src) {
                const std::string problem =
                    checkTarget(devices[dev], dev, src, c.volts, boundOf(c.limits));
                if (!problem.empty()) {
                    return problem;
                }
            }
        }
        return "";
    }
    const bool needsDevice = c.name != CommandName::List && c.name != CommandName::Monitor &&
                             c.name != CommandName::Session;
    if (!needsDevice) {
        return c.name == CommandName::Monitor ? checkMonitor(session, c.monitor) : "";
    }
    const std::string unknown = resolveDevice(session, c);
    if (!unknown.empty()) {
        return unknown;
    }
    const Device& d = devices[c.dev];
    if (c.hasSource && c.src >= d.sources) {
        return "no source '" + std::to_string(c.src) + "' on device " + std::to_string(c.dev) +
               " (it has " + std::to_string(d.sources) + " source" + (d.sources == 1 ? "" : "s") +
               ")";
    }
    if (c.name == CommandName::Set || c.name == CommandName::Ramp) {
        return checkTarget(d, c.dev, c.src, c.volts, boundOf(c.limits));
    }
    if (c.name == CommandName::Iv) {
        const std::string problem = checkIv(d, c.iv);
        if (!problem.empty()) {
            return problem;
        }
        // Every step and the voltage it returns to, before anything moves.
        std::vector<double> targets = ivTargets(c.iv);
        targets.push_back(c.iv.back);
        for (double volts : targets) {
            const std::string beyond = checkTarget(d, c.dev, c.src, volts, boundOf(c.limits));
            if (!beyond.empty()) {
                return beyond;
            }
        }
        return "";
    }
    if (c.name != CommandName::Get && c.name != CommandName::Put) {
        return "";
    }
    ParamList* list = session.params(d);
    Param* param = findParam(list, c.param);
    if (param == nullptr) {
        return "device " + std::to_string(c.dev) + " has no parameter '" + c.param +
               "' (see 'params " + std::to_string(c.dev) + "')";
    }
    if (c.name == CommandName::Put && param->readOnly()) {
        return "parameter '" + c.param + "' is read-only";
    }
    int32_t number = 0;
    if (c.name == CommandName::Put && param->kind() != ParamKind::String &&
        !(parseInt32(c.value, number) &&
          (param->kind() != ParamKind::Int16 || (number >= INT16_MIN && number <= INT16_MAX)))) {
        return "'" + c.value + "' is not a whole number that fits parameter '" + c.param + "' (" +
               typeName(param->kind()) + ")";
    }
    return "";
}

int runCommand(Session& session, const Command& c) {
    switch (c.name) {
        case CommandName::List:
            return list(session);
        case CommandName::Params:
            return params(session, c);
        case CommandName::Get:
            return get(session, c);
        case CommandName::Put:
            return put(session, c);
        case CommandName::Set:
            return set(session, c);
        case CommandName::Read:
            return read(session, c);
        case CommandName::Monitor:
            return runMonitor(session, c.monitor);
        case CommandName::Ramp:
            return runRamp(session, c);
        case CommandName::Iv:
            return runIv(session, c);
        case CommandName::Session:
            break;  // never a command of a chain: the command line and a session refuse it
    }
    return EXIT_USAGE;
}

double steadyNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool waitUntil(double start, double seconds) {
    for (;;) {
        if (hostplat::stopRequested()) {
            return false;
        }
        const double left = start + seconds - steadyNow();
        if (left <= 0.0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(std::min(left, kWakeSeconds)));
    }
}

}  // namespace host
