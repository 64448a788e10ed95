// Simulated sources for hvsrc-host --simulate: loads the stand-in D2XX driver by path, before the
// plug-in loads the D2XX library by its bare name (which then finds the one already loaded), and
// attaches the bridges and source models a scenario file describes.
#pragma once

#include <string>
#include <vector>

namespace host {

// One simulated source: its kind ("hvsrc", "hvold" or "bias"), the bridge's description and
// serial, and model settings as key=value pairs, already checked. The setting wire=on (or off),
// allowed for every kind, switches the stand-in driver's line timing for all bridges at once.
struct ScenarioSource {
    int line = 0;  // its line in the scenario text
    std::string kind;
    std::string description;
    std::string serial;
    std::vector<std::pair<std::string, std::string>> settings;
};

// Parses a scenario text: one source a line, "kind | description | key=value ...", '#' starts a
// comment, double quotes keep blanks inside a value. Every key and value is checked here, so
// that a scenario that parses can be applied. False with a message naming the line.
bool parseScenario(const std::string& text, std::vector<ScenarioSource>& out, std::string& error);
// Reads and parses a scenario file; false with a message naming the file.
bool readScenarioFile(const std::string& path, std::vector<ScenarioSource>& out,
                      std::string& error);
// One source of each kind.
std::vector<ScenarioSource> defaultScenario();

class Simulator {
public:
    Simulator() = default;
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Loads the stand-in driver from `path`; false with a message in error().
    bool load(const std::string& path);
    // Attaches every source of the scenario; false with a message when the stand-in refuses.
    bool apply(const std::vector<ScenarioSource>& sources);
    const std::string& error() const { return error_; }

private:
    void* symbol(const char* name);
    bool applySensors(const ScenarioSource& source, int bridge);
    bool applySetting(const ScenarioSource& source, int bridge, const std::string& key,
                      const std::string& value);

    void* module_ = nullptr;
    std::string error_;
};

}  // namespace host
