#include "HvDevOld.h"

namespace HwHvSrc {

HvDevOld::HvDevOld(std::string description, jd::IFramework* framework, std::string logDirectory)
    : DevBase(std::move(description), framework, std::move(logDirectory), "HV Source", "hvsrcold_",
              "1", kBaudRate, 1.0, kCurrentCounts) {}

void HvDevOld::registerParameters() {
    registerHvParameters(2, lower_[0], lower_[1], upper_[0], upper_[1]);
}

}  // namespace HwHvSrc
