#include "HvDevOld.h"

namespace HwHvSrc {

HvDevOld::HvDevOld(std::string description, jd::IFramework* framework, std::string logDirectory)
    : DevBase(std::move(description), framework, std::move(logDirectory), "HV Source", "hvsrcold_",
              "1", kBaudRate) {}

int HvDevOld::setVoltage(uint32_t index, double volts) {
    if (index < 2) {
        setVoltage_[index] = volts;
    }
    // Every recorded error is recorded under the device lock: initialize replaces the device log
    // under it.
    ThreadSyncGuard guard(&deviceLock_);
    int32_t whole = 0;
    if (!wholeVolts(volts, whole)) {
        return reportError(ERR_OUT_OF_RANGE, "Voltage out of range %d", whole);
    }
    return sendVoltage(index, whole);
}

double HvDevOld::getVoltage(uint32_t index) {
    return index < 2 ? setVoltage_[index].load() : 0.0;
}

void HvDevOld::registerParameters() {
    registerHvParameters(2, lower_[0], lower_[1], upper_[0], upper_[1]);
}

int HvDevOld::measure(uint32_t index, int32_t& volts, int32_t& current) {
    return readMeasurement(index, volts, current);
}

}  // namespace HwHvSrc
