#include "AHwLib.h"

AHwLib::~AHwLib() {
    // The devices are not released here: the host calls deinitialize before unloading.
}

int AHwLib::initialize(jd::IFramework* framework) {
    host = framework;
    return 0;
}

int AHwLib::deinitialize() {
    for (size_t i = 0; i < devices.size(); ++i) {
        devices[i]->deinitialize();
        devices[i]->release();
    }
    devices.clear();
    return 0;
}

int AHwLib::registerDevices(jd::IHwDevList* list) {
    if (list == nullptr) {
        return 0;
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        list->addDevice(devices[i]);
    }
    return 0;
}

void AHwLib::setCallback(uint64_t value, uint64_t context) {
    callback = value;
    callbackContext = context;
}
