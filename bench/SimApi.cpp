#include "SimApi.h"

#include "platform.h"

namespace bench {

bool SimApi::bind(const std::string& path, std::string& error) {
    module = plat::loadLibrary(path.c_str());
    if (module == nullptr) {
        error = "cannot load the stand-in D2XX driver " + path;
        return false;
    }
#define BENCH_SIM_BIND(name)                                                               \
    name = reinterpret_cast<decltype(name)>(plat::findSymbol(module, #name));              \
    if (name == nullptr) {                                                                 \
        error = path + " is not the stand-in D2XX driver (no " + std::string(#name) + ")"; \
        return false;                                                                      \
    }
    BENCH_SIM_FUNCTIONS(BENCH_SIM_BIND)
#undef BENCH_SIM_BIND
    return true;
}

SimApi::~SimApi() {
    if (module != nullptr) {
        plat::freeLibrary(module);
    }
}

}  // namespace bench
