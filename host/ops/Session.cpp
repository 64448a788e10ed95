#include "ops/Session.h"

#include <algorithm>

#include "cli/HostPlatform.h"
#include "ops/Sources.h"
#include "output/Json.h"
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
            return fail(EXIT_LOAD, simulator_.error());
        }
    }
    const std::string library =
        options_.libraryPath.empty()
            ? plat::joinPath(plat::executableDirectory(), plat::sharedLibraryFileName("hvsrc"))
            : options_.libraryPath;
    if (!plugin_.load(library)) {
        // The system's reason, taken before anything else can replace it.
        const std::string reason = hostplat::lastLoadError();
        return fail(EXIT_LOAD, "cannot load the plug-in: " + plugin_.error() +
                                   (reason.empty() ? "" : " (" + reason + ")") +
                                   "; --lib names another plug-in");
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
        jd::HwDevInfo info{};
        entry.dev->getInfo(&info);
        entry.number = info.number;
        entry.address = addressOf(entry.kind, entry.number);
        if (entry.kind == SourceKind::BiasModule) {
            // The module takes a magnitude and puts its polarity's sign on the output. Voltages
            // are the output's everywhere in hvsrc-host, so a request whose sign the limits do
            // not allow is the output's voltage turned over.
            entry.polarity = entry.dev->polarity();
            const bool positiveRequests = entry.dev->maxVoltage(0) > 0.0;
            entry.outSign =
                entry.polarity >= 0 && (entry.polarity == 0) == positiveRequests ? -1.0 : 1.0;
        }
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
        std::string names = plat::d2xxLibraryName();
        if (plat::d2xxFallbackLibraryName() != nullptr) {
            names += std::string(" or ") + plat::d2xxFallbackLibraryName();
        }
        return fail(EXIT_LOAD, "the D2XX driver (" + names +
                                   ") was not found: install FTDI's D2XX driver; the library log "
                                   "is " +
                                   log);
    }
    return fail(EXIT_NO_DEVICE,
                std::string("no devices found") +
                    (options_.simulate ? "" : " (is a source attached and powered?)") +
                    "; the library log is " + log);
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

int Session::fail(int exit, const std::string& message, const nlohmann::json& context) {
    err_ << "hvsrc-host: " << message << "\n";
    if (options_.json) {
        nlohmann::json object = context;
        object["error"] = message;
        object["exit"] = exit;
        emitJson(out_, object);
        out_.flush();
    }
    return exit;
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
