// The common implementation of the host's library interface: the device list and the default
// operations. A plug-in derives its library object from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "jd/IHwDev.h"
#include "jd/IHwLib.h"

class AHwLib : public jd::IHwLib {
public:
    AHwLib() = default;
    ~AHwLib() override;
    AHwLib(const AHwLib&) = delete;
    AHwLib& operator=(const AHwLib&) = delete;

    int initialize(jd::IFramework* framework) override;
    // Each device's deinitialize, then its release; empties the list.
    int deinitialize() override;
    int registerDevices(jd::IHwDevList* list) override;
    int reserved1() override { return 0; }
    void setCallback(uint64_t callback, uint64_t context) override;
    uint64_t reserved2() override { return reservedValue; }

    // For the tests only.
    size_t deviceCount() const { return devices.size(); }

protected:
    jd::IFramework* host = nullptr;
    // Owned: each device's life ends only through its release().
    std::vector<jd::IHwDev*> devices;
    uint64_t reservedValue = 0;
    uint64_t callback = 0;
    uint64_t callbackContext = 0;
};
