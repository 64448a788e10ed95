// The plug-in's library object: opens the library log, lists the attached sources of the three
// known kinds and turns each into a device of the matching class.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "AHwLib.h"
#include "FileLog.h"

namespace HwHvSrc {

// The descriptions that identify the three kinds of source.
extern const char* const kDeviceDescriptions[3];

class HwLib : public AHwLib {
public:
    HwLib() = default;
    ~HwLib() override;

    int initialize(jd::IFramework* framework) override;
    // Releases every device (its release closes its channel); empties the list.
    int deinitialize() override;

    // For the tests only.
    FileLog* libraryLog() const { return log.get(); }

private:
    // The host's log directory; a null text counts as empty.
    std::string hostLogDirectory() const;
    // Lists the attached bridges of the three kinds; returns their descriptions in D2XX order.
    std::vector<std::string> discoverDevices();
    // Turns the listed descriptions into initialised devices.
    void createDevices(const std::vector<std::string>& candidates);
    void releaseDevices();

    std::unique_ptr<FileLog> log;
};

}  // namespace HwHvSrc
