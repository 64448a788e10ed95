// Loads a plug-in by path and asks its jdGetHwLib for the library object.
#pragma once

#include <string>

#include "jd/IHwLib.h"

namespace host {

class PluginLoader {
public:
    PluginLoader() = default;
    ~PluginLoader();  // unloads
    PluginLoader(const PluginLoader&) = delete;
    PluginLoader& operator=(const PluginLoader&) = delete;

    // False with a message in error() when the file cannot be loaded or has no jdGetHwLib.
    bool load(const std::string& path);
    void unload();
    jd::IHwLib* library() const { return library_; }
    const std::string& error() const { return error_; }

private:
    void* module_ = nullptr;
    jd::IHwLib* library_ = nullptr;
    std::string error_;
};

}  // namespace host
