// The hvsrc-host scenario parser on arbitrary text, through its public function: a text it
// accepts gives sources with a kind and a description, one it refuses gives a message.
#include "Scenario.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<host::ScenarioSource> sources;
    std::string error;
    if (host::parseScenario(text, sources, error)) {
        for (const host::ScenarioSource& source : sources) {
            FUZZ_CHECK(!source.kind.empty() && !source.description.empty());
        }
    } else {
        FUZZ_CHECK(!error.empty());
    }
    return 0;
}
