// The reference host's side of the interfaces: a framework object, parameter lists and
// parameters, and a device list. Used by hvsrc-host and by the tests.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jd/HostInterfaces.h"
#include "jd/IHwDev.h"

namespace host {

enum class ParamKind { Int16, Int32, String };

// One typed parameter with its value, handler and context.
class Param : public jd::IParam {
public:
    Param(ParamKind kind, std::string name, std::string description, int32_t intValue,
          std::string textValue, jd::ParamHandler handler, void* context, bool readOnly);
    virtual ~Param() = default;

    const char* name() override;
    int16_t getInt16() override;
    void setInt32(int32_t value) override;

    ParamKind kind() const { return kind_; }
    const std::string& description() const { return description_; }
    int32_t intValue() const { return intValue_; }
    const std::string& text() const { return text_; }
    bool readOnly() const { return readOnly_; }
    jd::ParamHandler handler() const { return handler_; }
    void* context() const { return context_; }
    // The value as the host shows it: the number in decimal, or the text.
    std::string valueText() const;
    // Stores a new value without calling the handler.
    void store(int32_t value);
    void storeText(const std::string& value);

private:
    ParamKind kind_;
    std::string name_;
    std::string description_;
    int32_t intValue_;
    std::string text_;
    jd::ParamHandler handler_;
    void* context_;
    bool readOnly_;
};

class Framework;

// An ordered list of parameters; release() destroys it.
class ParamList : public jd::IParamList {
public:
    explicit ParamList(Framework* owner);
    virtual ~ParamList();

    int addInt16(const char* name, const char* description, int16_t value, jd::ParamHandler handler,
                 void* context, int readOnly) override;
    int addInt32(const char* name, const char* description, int32_t value, jd::ParamHandler handler,
                 void* context, int readOnly) override;
    int addString(const char* name, const char* description, const char* value,
                  jd::ParamHandler handler, void* context, int readOnly) override;
    int count() override;
    void release() override;

    size_t size() const { return params_.size(); }
    Param* at(size_t index) const;
    Param* find(const std::string& name) const;
    // Reads a parameter: calls its handler (if any) with isRead true and returns the handler's
    // result (0 without a handler); -1 for an unknown name. The value is then in the Param.
    int read(const std::string& name, Param** out = nullptr);
    // Writes a parameter: stores the value, then calls the handler with isRead false; returns the
    // handler's result (0 without a handler), -1 for an unknown name, -2 for a read-only one.
    int write(const std::string& name, int32_t value);
    int writeText(const std::string& name, const std::string& value);

private:
    int add(ParamKind kind, const char* name, const char* description, int32_t value,
            const char* text, jd::ParamHandler handler, void* context, int readOnly);

    Framework* owner_;
    std::vector<std::unique_ptr<Param>> params_;
};

// The framework object handed to the plug-in's initialize. A null log directory counts as empty.
class Framework : public jd::IFramework {
public:
    explicit Framework(std::string logDirectory);
    virtual ~Framework() = default;

    jd::IParamList* createParamList() override;
    const char* logDirectory() override;

    // How often the plug-in asked for each.
    int paramListsCreated() const { return created_; }
    int logDirectoryCalls() const { return logDirectoryCalls_; }
    // Lists created and not yet released.
    int paramListsAlive() const { return alive_; }
    void setLogDirectory(std::string directory) { logDirectory_ = std::move(directory); }

private:
    friend class ParamList;
    std::string logDirectory_;
    int created_ = 0;
    int alive_ = 0;
    int logDirectoryCalls_ = 0;
};

// The host's device list: collects what registerDevices hands over.
class DeviceList : public jd::IHwDevList {
public:
    virtual ~DeviceList() = default;
    int addDevice(jd::IHwDev* device) override;
    const std::vector<jd::IHwDev*>& devices() const { return devices_; }
    jd::IHwDevHvSrc* source(size_t index) const;
    void clear() { devices_.clear(); }

private:
    std::vector<jd::IHwDev*> devices_;
};

}  // namespace host
