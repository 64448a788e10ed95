// Interfaces of the host framework that the plug-in calls. Host and plug-in call each other by
// vtable position, so the order of the operations below must never change. Their destructors are
// protected and not virtual: neither side deletes the other's objects, and without a virtual
// destructor g++ and Microsoft's compiler lay these vtables out alike. An overloaded operation
// would break that (Microsoft's compiler puts overloads side by side); msvc_host, a host built in
// Microsoft's ABI, checks.
#pragma once

#include <cstdint>

namespace jd {

class IParam;
class IParamList;
class IHwDev;

// Called with isRead true when the host needs the value, false after it has set a new one.
using ParamHandler = int (*)(IParam* param, bool isRead, void* context);

class IParam {
public:
    virtual const char* name() = 0;
    virtual int16_t getInt16() = 0;
    virtual void setInt32(int32_t value) = 0;

protected:
    ~IParam() = default;
};

class IParamList {
public:
    virtual int addInt16(const char* name, const char* description, int16_t value,
                         ParamHandler handler, void* context, int readOnly) = 0;
    virtual int addInt32(const char* name, const char* description, int32_t value,
                         ParamHandler handler, void* context, int readOnly) = 0;
    virtual int addString(const char* name, const char* description, const char* value,
                          ParamHandler handler, void* context, int readOnly) = 0;
    virtual int count() = 0;
    virtual void release() = 0;

protected:
    ~IParamList() = default;
};

class IFramework {
public:
    // A new, empty list owned by the caller until it calls release().
    virtual IParamList* createParamList() = 0;
    // Never null; callers copy the text at once.
    virtual const char* logDirectory() = 0;

protected:
    ~IFramework() = default;
};

class IHwDevList {
public:
    virtual int addDevice(IHwDev* device) = 0;

protected:
    ~IHwDevList() = default;
};

struct HwDevInfo {
    const char* name;
    uint32_t category;
    uint32_t connection;
    uint32_t number;
    uint32_t reserved;
};

}  // namespace jd
