// The built plug-in driven as a host drives it: loaded by path, initialized with a framework
// that logs into a directory of the test's own, its devices collected through registerDevices,
// and their parameters reached through the host's lists.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform.h"
#include "refhost/HostFramework.h"
#include "refhost/PluginLoader.h"
#include "test_files.h"

namespace hvtest {

// The plug-in sits in bin/, above the directory of the test programs (or of a program that runs
// in a directory of its own below it).
inline std::string pluginPath() {
    std::string dir = plat::executableDirectory();
    for (int up = 0; up < 3; ++up) {
        dir = plat::joinPath(dir, "..");
        const std::string path = plat::joinPath(dir, plat::sharedLibraryFileName("hvsrc"));
        if (plat::fileExists(path)) {
            return path;
        }
    }
    return "<plug-in not found>";
}

class PluginHost {
public:
    PluginHost() = default;
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;
    // The devices go before the framework whose lists they hold.
    ~PluginHost() {
        if (lib_ != nullptr) {
            lib_->deinitialize();
        }
        loader_.unload();
    }

    // Loads the plug-in and initializes it over the bridges attached now; the device logs go
    // into `directory`.
    ::testing::AssertionResult start(const std::string& directory) {
        if (!loader_.load(pluginPath())) {
            return ::testing::AssertionFailure() << loader_.error();
        }
        lib_ = loader_.library();
        framework_.setLogDirectory(directory);
        if (lib_->initialize(&framework_) != 0 || lib_->registerDevices(&devices_) != 0) {
            return ::testing::AssertionFailure() << "the library did not start";
        }
        return ::testing::AssertionSuccess();
    }

    size_t deviceCount() const { return devices_.devices().size(); }
    jd::IHwDevHvSrc* device(size_t index) const { return devices_.source(index); }
    static host::ParamList& params(jd::IHwDevHvSrc* device) {
        return *static_cast<host::ParamList*>(device->parameters());
    }

private:
    host::Framework framework_{""};
    host::PluginLoader loader_;
    jd::IHwLib* lib_ = nullptr;
    host::DeviceList devices_;
};

// A host with several threads keeps each thread's value apart: it takes the handler and context
// from the device's list and hands the handler a parameter object of the calling thread. Both
// return the handler's result; -1 for a name the list does not hold, -2 for writing a read-only
// parameter.
inline int readParam(host::ParamList& list, const char* name, int32_t& value) {
    host::Param* shared = list.find(name);
    if (shared == nullptr) {
        return -1;
    }
    host::Param mine(shared->kind(), name, shared->description(), shared->intValue(),
                     shared->text(), shared->handler(), shared->context(), shared->readOnly());
    const int rc = mine.handler() != nullptr ? mine.handler()(&mine, true, mine.context()) : 0;
    value = mine.intValue();
    return rc;
}

inline int writeParam(host::ParamList& list, const char* name, int32_t value) {
    host::Param* shared = list.find(name);
    if (shared == nullptr) {
        return -1;
    }
    if (shared->readOnly()) {
        return -2;
    }
    host::Param mine(shared->kind(), name, shared->description(), shared->intValue(),
                     shared->text(), shared->handler(), shared->context(), false);
    mine.store(value);
    return mine.handler() != nullptr ? mine.handler()(&mine, false, mine.context()) : 0;
}

}  // namespace hvtest
