// The device interface the host drives by vtable position: 24 generic operations in IHwDev,
// then the high-voltage operations and the virtual destructor in IHwDevHvSrc.
//
// As for the library object (jd/IHwLib.h), the plug-in's compiler (g++) and the host's
// (Microsoft's) agree on every operation's slot, and differ only in the destructor that stands
// last: two entries under g++, one deleting destructor taking a flag under Microsoft's compiler.
// A host that deleted a device through the interface would therefore reach the entry that
// destroys without freeing, and leak the device. Hosts end a device's life with release(), never
// with delete, which keeps this safe. IHwDev's own destructor is protected and not virtual, so it
// takes no slot. Never add an operation after the destructor and never overload one (Microsoft's
// compiler puts overloads side by side): tests/test_vtable.cpp pins the g++ layout, and msvc_host,
// a host built in Microsoft's ABI, calls every operation a host may call on the plug-in built by
// g++.
#pragma once

#include <cstdint>

#include "jd/HostInterfaces.h"

namespace jd {

class IHwDev {
public:
    virtual int typeCode() = 0;
    virtual int getInfo(HwDevInfo* info) = 0;
    virtual int initialize() = 0;
    virtual int deinitialize() = 0;
    virtual bool reserved1() = 0;
    virtual bool reserved2() = 0;
    virtual void setCallback(uint64_t callback, uint64_t context) = 0;
    virtual int reserved3() = 0;
    virtual IParamList* parameters() = 0;
    virtual IParamList* auxParameters() = 0;
    virtual const char* lastError() = 0;
    virtual void reserved4() = 0;
    virtual const char* deviceName() = 0;
    virtual int reserved5() = 0;
    virtual const char* reserved6() = 0;
    virtual int reserved7() = 0;
    virtual void reserved8() = 0;
    virtual int reserved9() = 0;
    virtual int reserved10() = 0;
    virtual void release() = 0;
    virtual int reserved11() = 0;
    virtual IParamList* parametersAlt() = 0;
    virtual int reserved12() = 0;
    virtual void reserved13() = 0;

protected:
    ~IHwDev() = default;
};

class IHwDevHvSrc : public IHwDev {
public:
    virtual int setVoltage(uint32_t index, double volts) = 0;
    virtual double getVoltage(uint32_t index) = 0;
    virtual int64_t sourceCount() = 0;
    virtual double readVoltage(uint32_t index) = 0;
    virtual double readCurrent(uint32_t index) = 0;
    virtual double minVoltage(int32_t index) = 0;
    virtual double maxVoltage(int32_t index) = 0;
    virtual bool reserved14() = 0;
    virtual int reserved15() = 0;
    virtual int reserved16() = 0;
    virtual int reserved17() = 0;
    virtual int polarity() = 0;
    virtual ~IHwDevHvSrc() = default;
};

}  // namespace jd
