// The plug-in loaded by path over the stand-in driver, as hvsrc-host --simulate runs it, with one
// set of simulated sources at a time.
#pragma once

#include <string>
#include <vector>

#include "SimApi.h"
#include "jd/IHwLib.h"
#include "refhost/HostFramework.h"
#include "refhost/PluginLoader.h"
#include "scenario/Scenario.h"

namespace bench {

enum class Kind { HvSrc, Bias, HvOld };

// "HV source", "bias module", "legacy source".
const char* kindName(Kind kind);
uint32_t baudOf(Kind kind);
constexpr unsigned kLatencyMs = 2;  // what the channel sets at every open

class Rig {
public:
    // Paths of the plug-in and the stand-in driver, and the directory for the logs.
    bool load(const std::string& plugin, const std::string& driver, const std::string& logDir,
              std::string& error);
    // Attaches one source of each kind listed, in order (so device i sits on bridge i + 1), with
    // the lines' timing on or off, and starts the library. False unless every source became a
    // device. The legacy model, whose description has no number, can be listed only once.
    bool start(const std::vector<Kind>& kinds, bool wire, std::string& error);
    void stop();

    size_t size() const { return devices_.size(); }
    jd::IHwDevHvSrc* device(size_t i) const { return devices_[i]; }
    static int bridgeOf(size_t device) { return static_cast<int>(device) + 1; }
    // Opens a further bridge of the kind, unseen by the library, configured as the device class
    // configures its own: for exchanges made directly through the D2XX calls. Null on failure.
    void* openBare(Kind kind);
    void closeBare(void* handle);
    // Empties the records the stand-in keeps of a device's traffic (they grow with every
    // exchange; the library's own memory is what is measured).
    void clearRecords(size_t device, Kind kind);

    SimApi sim;

private:
    host::Simulator simulator_;
    host::PluginLoader plugin_;
    host::Framework framework_{""};
    host::DeviceList list_;
    jd::IHwLib* library_ = nullptr;
    std::vector<jd::IHwDevHvSrc*> devices_;
    int bareCount_ = 0;
};

}  // namespace bench
