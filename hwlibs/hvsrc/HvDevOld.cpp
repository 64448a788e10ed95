#include "HvDevOld.h"

namespace HwHvSrc {

HvDevOld::HvDevOld(std::string description, jd::IFramework* framework, std::string logDirectory)
    : DevBase(std::move(description), framework, std::move(logDirectory), "HV Source", "hvsrcold_",
              "1", kBaudRate) {}

void HvDevOld::registerParameters() {
    registerHvParameters(2, lower_[0], lower_[1], upper_[0], upper_[1]);
}

int HvDevOld::measure(uint32_t index, int32_t& volts, int32_t& current) {
    return readMeasurement(index, volts, current);
}

}  // namespace HwHvSrc
