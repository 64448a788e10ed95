// The library object the host receives from jdGetHwLib, driven by vtable position.
#pragma once

#include <cstdint>

#include "jd/HostInterfaces.h"

namespace jd {

class IHwLib {
public:
    virtual int initialize(IFramework* framework) = 0;
    virtual int deinitialize() = 0;
    virtual int registerDevices(IHwDevList* list) = 0;
    virtual int reserved1() = 0;
    virtual void setCallback(uint64_t callback, uint64_t context) = 0;
    virtual uint64_t reserved2() = 0;
    virtual ~IHwLib() = default;
};

}  // namespace jd

// The plug-in's one export.
extern "C" jd::IHwLib* jdGetHwLib();
