#include "refhost/PluginLoader.h"

#include "platform.h"

namespace host {

PluginLoader::~PluginLoader() {
    unload();
}

bool PluginLoader::load(const std::string& path) {
    unload();
    module_ = plat::loadLibrary(path.c_str());
    if (module_ == nullptr) {
        error_ = "cannot load " + path;
        return false;
    }
    using Entry = jd::IHwLib* (*)();
    Entry entry = reinterpret_cast<Entry>(plat::findSymbol(module_, "jdGetHwLib"));
    if (entry == nullptr) {
        error_ = path + " has no jdGetHwLib";
        unload();
        return false;
    }
    library_ = entry();
    if (library_ == nullptr) {
        error_ = path + ": jdGetHwLib returned no library object";
        unload();
        return false;
    }
    error_.clear();
    return true;
}

void PluginLoader::unload() {
    library_ = nullptr;
    if (module_ != nullptr) {
        plat::freeLibrary(module_);
        module_ = nullptr;
    }
}

}  // namespace host
