#include "Rig.h"

#include "D2xxTypes.h"
#include "jd/IHwDev.h"

namespace bench {

namespace {

constexpr int kHvSourceTypeCode = 14;

}  // namespace

const char* kindName(Kind kind) {
    switch (kind) {
        case Kind::HvSrc:
            return "HV source";
        case Kind::Bias:
            return "bias module";
        case Kind::HvOld:
            return "legacy source";
    }
    return "?";
}

uint32_t baudOf(Kind kind) {
    return kind == Kind::HvOld ? 9600 : 115200;
}

bool Rig::load(const std::string& plugin, const std::string& driver, const std::string& logDir,
               std::string& error) {
    // The driver first, by path, so the plug-in's bare-name load finds it already there.
    if (!simulator_.load(driver)) {
        error = simulator_.error();
        return false;
    }
    if (!sim.bind(driver, error)) {
        return false;
    }
    if (!plugin_.load(plugin)) {
        error = "cannot load the plug-in: " + plugin_.error();
        return false;
    }
    library_ = plugin_.library();
    framework_.setLogDirectory(logDir);
    return true;
}

bool Rig::start(const std::vector<Kind>& kinds, bool wire, std::string& error) {
    stop();
    sim.sim_reset();
    std::string text;
    for (size_t i = 0; i < kinds.size(); ++i) {
        const std::string number = std::to_string(i + 1);
        switch (kinds[i]) {
            case Kind::HvSrc:
                text += "hvsrc | Tessaro HV Source: " + number + " | range0=-500:500";
                break;
            case Kind::Bias:
                text += "bias | BiasModule: " + number + " |";
                break;
            case Kind::HvOld:
                text += "hvold | HV source AVR |";
                break;
        }
        text += wire ? " wire=on\n" : "\n";
    }
    std::vector<host::ScenarioSource> sources;
    if (!host::parseScenario(text, sources, error) || !simulator_.apply(sources)) {
        error = error.empty() ? simulator_.error() : error;
        return false;
    }
    library_->initialize(&framework_);
    library_->registerDevices(&list_);
    for (jd::IHwDev* device : list_.devices()) {
        if (device != nullptr && device->typeCode() == kHvSourceTypeCode) {
            devices_.push_back(static_cast<jd::IHwDevHvSrc*>(device));
        }
    }
    if (devices_.size() != kinds.size()) {
        error = "the library made " + std::to_string(devices_.size()) + " devices of " +
                std::to_string(kinds.size()) + " sources";
        stop();
        return false;
    }
    return true;
}

void Rig::stop() {
    if (library_ != nullptr) {
        library_->deinitialize();
    }
    list_.clear();
    devices_.clear();
}

void* Rig::openBare(Kind kind) {
    const std::string number = std::to_string(90 + ++bareCount_);
    std::string description;
    switch (kind) {
        case Kind::HvSrc:
            description = "Tessaro HV Source: " + number;
            sim.sim_hvsrc_attach(description.c_str(), "BARE");
            break;
        case Kind::Bias:
            description = "BiasModule: " + number;
            sim.sim_bias_attach(description.c_str(), "BARE");
            break;
        case Kind::HvOld:
            description = "HV source AVR " + number;
            sim.sim_hvold_attach(description.c_str(), "BARE");
            break;
    }
    void* handle = nullptr;
    if (sim.FT_OpenEx(&description[0], FT_OPEN_BY_DESCRIPTION, &handle) != FT_OK) {
        return nullptr;
    }
    sim.FT_SetTimeouts(handle, 500, 500);
    sim.FT_SetLatencyTimer(handle, kLatencyMs);
    sim.FT_SetBaudRate(handle, baudOf(kind));
    sim.FT_SetDataCharacteristics(handle, 8, 0, 0);
    if (kind == Kind::Bias) {
        sim.FT_SetBitMode(handle, 0xFF, 0x40);
    }
    return handle;
}

void Rig::closeBare(void* handle) {
    if (handle != nullptr) {
        sim.FT_Close(handle);
    }
}

void Rig::clearRecords(size_t device, Kind kind) {
    const int bridge = bridgeOf(device);
    sim.sim_clear_written(bridge);
    switch (kind) {
        case Kind::HvSrc:
            sim.sim_hvsrc_clear_frames(bridge);
            break;
        case Kind::Bias:
            sim.sim_bias_clear_commands(bridge);
            break;
        case Kind::HvOld:
            sim.sim_hvold_clear_commands(bridge);
            break;
    }
}

}  // namespace bench
