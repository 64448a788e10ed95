// The library object the host receives from jdGetHwLib, driven by vtable position.
//
// The plug-in is built by g++ (MinGW-w64 on Windows), the host by Microsoft's compiler. Their
// vtable layouts agree operation by operation, except for a virtual destructor: g++ gives it two
// entries (one that destroys, one that destroys and frees), Microsoft's compiler one (a deleting
// destructor taking a flag). So the destructor stands last, after every operation, where the
// difference moves nothing: a host that deleted the object through this interface would reach
// the entry that destroys without freeing. The host never deletes the library object, which has
// static storage duration, so this is safe. Never add an operation after the destructor, and
// never overload an operation: Microsoft's compiler puts overloads side by side, which moves the
// slots that follow. tests/test_vtable.cpp pins the g++ slots, and msvc_host, a host built in
// Microsoft's ABI, calls every operation a host may call on the plug-in built by g++.
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
