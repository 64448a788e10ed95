#include "ops/Session.h"

#include <algorithm>

#include "platform.h"

namespace host {

namespace {

// The device type code every HV source answers.
constexpr int kHvSourceTypeCode = 14;

std::string firmwareOf(ParamList* params) {
    Param* firmware = params != nullptr ? params->find("Firmware") : nullptr;
    return firmware != nullptr ? firmware->text() : "";
}

}  // namespace

Session::Session(const Options& options, std::ostream& out, std::ostream& err)
    : options_(options), out_(out), err_(err), framework_("") {}

Session::~Session() {
    shutDown();
}

int Session::start(const std::vector<ScenarioSource>& scenario, const std::string& logDirectory) {
    framework_.setLogDirectory(logDirectory);
    if (options_.simulate) {
        const std::string driver =
            options_.driverPath.empty()
                ? plat::joinPath(plat::joinPath(plat::executableDirectory(), "sim"),
                                 plat::d2xxLibraryName())
                : options_.driverPath;
        if (!simulator_.load(driver) || !simulator_.apply(scenario)) {
            err_ << "hvsrc-host: " << simulator_.error() << "\n";
            return EXIT_LOAD;
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
    return discover(logDirectory);
}

int Session::rescan(const std::string& logDirectory) {
    if (library_ == nullptr) {
        return EXIT_LOAD;
    }
    library_->deinitialize();
    devices_.clear();
    deviceList_.clear();
    framework_.setLogDirectory(logDirectory);
    return discover(logDirectory);
}

int Session::discover(const std::string& logDirectory) {
    library_->initialize(&framework_);
    library_->registerDevices(&deviceList_);
    for (jd::IHwDev* device : deviceList_.devices()) {
        if (device == nullptr || device->typeCode() != kHvSourceTypeCode) {
            continue;
        }
        Device entry;
        entry.dev = static_cast<jd::IHwDevHvSrc*>(device);
        entry.firmware = firmwareOf(params(entry));
        entry.kind = classify(entry.dev, entry.firmware);
        const int64_t count = entry.dev->sourceCount();
        entry.sources = static_cast<uint32_t>(std::clamp<int64_t>(count, 0, kMaxSources));
        entry.set.resize(entry.sources);
        devices_.push_back(entry);
    }
    if (!devices_.empty()) {
        return EXIT_OK;
    }
    const std::string log = plat::joinPath(logDirectory, "hvsrc.log");
    if (!options_.simulate && !driverLoadable()) {
        err_ << "hvsrc-host: the D2XX driver (" << plat::d2xxLibraryName();
        if (plat::d2xxFallbackLibraryName() != nullptr) {
            err_ << " or " << plat::d2xxFallbackLibraryName();
        }
        err_ << ") was not found: install FTDI's D2XX driver; the library log is " << log << "\n";
        return EXIT_LOAD;
    }
    err_ << "hvsrc-host: no devices found";
    if (!options_.simulate) {
        err_ << " (is a source attached and powered?)";
    }
    err_ << "; the library log is " << log << "\n";
    return EXIT_NO_DEVICE;
}

void Session::shutDown() {
    if (library_ != nullptr) {
        library_->deinitialize();
        library_ = nullptr;
    }
    devices_.clear();
    deviceList_.clear();
    plugin_.unload();
}

ParamList* Session::params(const Device& device) const {
    // Every list the plug-in holds came from our framework's createParamList.
    return static_cast<ParamList*>(device.dev->parameters());
}

bool Session::driverLoadable() const {
    // The plug-in loads the driver by its bare name, or by the second name where the platform has
    // one; a driver it found is already loaded.
    for (const char* name : {plat::d2xxLibraryName(), plat::d2xxFallbackLibraryName()}) {
        if (name == nullptr) {
            continue;
        }
        if (void* module = plat::loadLibrary(name)) {
            plat::freeLibrary(module);
            return true;
        }
    }
    return false;
}

}  // namespace host
