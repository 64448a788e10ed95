// One run of hvsrc-host against the plug-in: loads the stand-in driver (when simulating) and the
// plug-in, initialises the library, keeps the devices it registered with what hvsrc-host knows
// of each, and deinitialises and unloads everything when it ends.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "ops/DeviceKind.h"
#include "refhost/HostFramework.h"
#include "refhost/PluginLoader.h"
#include "scenario/Scenario.h"

namespace host {

// Sources per device that hvsrc-host reads and lists at most.
constexpr uint32_t kMaxSources = 256;

// How a source's voltage was last set in this run. The library's getVoltage knows only what
// went through setVoltage (and also keeps a refused request), so hvsrc-host keeps its own record.
struct SetRecord {
    enum class Via { Nothing, SetVoltage, Parameter };
    Via via = Via::Nothing;
    double volts = 0.0;  // what was sent
    std::string param;   // Via::Parameter: "Voltage1" or "Voltage2"
};

struct Device {
    jd::IHwDevHvSrc* dev = nullptr;
    SourceKind kind = SourceKind::HvSource;
    std::string firmware;
    uint32_t number = 0;         // the suffix of the bridge's description
    std::string address;         // "hv:1", "legacy:1", "bias:3": the kind and number
    int polarity = -1;           // bias module: 1 POS, 0 NEG, -1 unknown; others -1
    double outSign = 1.0;        // output voltage = library request x outSign (see Sources.h)
    uint32_t sources = 0;        // the source count, at most kMaxSources
    std::vector<SetRecord> set;  // one per source
};

class Session {
public:
    Session(const Options& options, std::ostream& out, std::ostream& err);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Loads what is needed and finds the devices; EXIT_OK or the exit code to end with.
    int start(const std::vector<ScenarioSource>& scenario, const std::string& logDirectory);
    void shutDown();
    // Deinitialises the library and finds the devices again (a supply plugged in anew), logging
    // to `logDirectory`; the plug-in and the simulated sources stay loaded. EXIT_OK or the exit
    // code of start.
    int rescan(const std::string& logDirectory);

    std::vector<Device>& devices() { return devices_; }
    ParamList* params(const Device& device) const;
    // Results; messages; confirmations (results, or messages when results are JSON).
    std::ostream& out() { return out_; }
    std::ostream& err() { return err_; }
    std::ostream& text() { return options_.json ? err_ : out_; }
    bool json() const { return options_.json; }
    // Says why something was not done: "hvsrc-host: MESSAGE" on the error stream and, under
    // --json, {"error": MESSAGE, "exit": EXIT} with `context` on the output. Returns `exit`.
    int fail(int exit, const std::string& message,
             const nlohmann::json& context = nlohmann::json::object());

private:
    // Initialises the loaded library and keeps the devices it registers.
    int discover(const std::string& logDirectory);
    bool driverLoadable() const;

    const Options& options_;
    std::ostream& out_;
    std::ostream& err_;
    Framework framework_;
    DeviceList deviceList_;
    Simulator simulator_;  // declared before the plug-in: unloaded after it
    PluginLoader plugin_;
    jd::IHwLib* library_ = nullptr;
    std::vector<Device> devices_;
};

}  // namespace host
