#include "HwLib.h"

#include <set>

#include "BiasSrcDev.h"
#include "FtdiDev.h"
#include "HvDev.h"
#include "HvDevOld.h"
#include "platform.h"

namespace HwHvSrc {

const char* const kDeviceDescriptions[3] = {"Tessaro HV Source", "HV source AVR", "BiasModule"};

HwLib::~HwLib() {
    log.reset();
}

int HwLib::initialize(jd::IFramework* framework) {
    host = framework;
    if (framework == nullptr) {
        return 0;
    }
    // A second initialize without deinitialize: the first one's devices go first, so no bridge is
    // ever held by two device objects.
    releaseDevices();

    const std::string path = plat::joinPath(hostLogDirectory(), "hvsrc.log");
    log.reset(new FileLog(path.c_str(), true, false, false, true));
    log->setLevel(LOG_DBG);
    log->logAndReturn(0, LOG_MSG, "Listing Devices ...");

    createDevices(discoverDevices());
    return 0;
}

int HwLib::deinitialize() {
    releaseDevices();
    return 0;
}

std::string HwLib::hostLogDirectory() const {
    const char* directory = host != nullptr ? host->logDirectory() : nullptr;
    return directory != nullptr ? std::string(directory) : std::string();
}

void HwLib::releaseDevices() {
    for (size_t i = 0; i < devices.size(); ++i) {
        devices[i]->release();
    }
    devices.clear();
}

std::vector<std::string> HwLib::discoverDevices() {
    std::vector<FtdiDevInfo> found;
    const int status = FtdiDev::listDevices(kDeviceDescriptions, 3, found, true, false);
    if (status != 0) {
        log->logAndReturn(status, LOG_ERR, "Listing FTDI devices failed (%d)", status);
    }
    std::vector<std::string> candidates;
    for (const FtdiDevInfo& info : found) {
        log->logAndReturn(0, LOG_MSG, "Device: %s", info.description.c_str());
        candidates.push_back(info.description);
    }
    return candidates;
}

void HwLib::createDevices(const std::vector<std::string>& candidates) {
    std::set<std::string> seen;
    for (const std::string& description : candidates) {
        if (description.empty()) {
            continue;
        }
        // A bridge is opened by its description, which finds the first bridge of that text; once
        // a device holds it, a second one could never be opened, and its device would take over
        // the first one's log file (same suffix, same name). Until then (the first failed to
        // open, say because another program holds it) the next bridge of that text is tried.
        if (seen.count(description) != 0) {
            log->logAndReturn(0, LOG_ERR, "Duplicate description, not opened: %s",
                              description.c_str());
            continue;
        }
        // Each device is told the log directory afresh.
        const std::string logDirectory = hostLogDirectory();
        DevBase* device = nullptr;
        if (description.find(kDeviceDescriptions[1]) != std::string::npos) {
            device = new HvDevOld(description, host, logDirectory);
        } else if (description.find(kDeviceDescriptions[2]) != std::string::npos) {
            device = new BiasSrcDev(description, host, logDirectory);
        } else {
            device = new HvDev(description, host, logDirectory);
        }
        // A device that does not initialise has recorded why in its own log.
        if (device->initialize() != 0) {
            device->release();
            continue;
        }
        seen.insert(description);
        devices.push_back(device);
    }
}

}  // namespace HwHvSrc
