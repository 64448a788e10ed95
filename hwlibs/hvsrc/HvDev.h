// The current HV source model: up to two sources behind an FTDI bridge at 115200 baud, driven
// through the binary command frames of CmdMgr. The device asks for its firmware text, its number
// of sources and each source's voltage range, sets voltages and reads back voltage and current.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "CmdMgr.h"
#include "DevBase.h"

namespace HwHvSrc {

class HvDev : public DevBase {
public:
    static constexpr uint32_t kBaudRate = 115200;
    static constexpr double kTestTimeout = 2.0;
    static constexpr double kQueryTimeout = 0.2;
    static constexpr uint32_t kFirmwareLength = 30;
    // readCurrent gives the current word divided by this.
    static constexpr double kCurrentCounts = 1000.0;
    // The device's bookkeeping covers sources 0 and 1.
    static constexpr uint32_t kKeptSources = 2;

    HvDev(std::string description, jd::IFramework* framework, std::string logDirectory);

    int64_t sourceCount() override;
    double minVoltage(int32_t index) override;
    double maxVoltage(int32_t index) override;

    // The exchanges behind the operations; each takes the device lock for its own duration.
    int testConnection();
    int readRanges(uint32_t index);
    // ReadVoltCurr; a failure is recorded as "Reading source N failed".
    int readMeasurement(uint32_t index, int32_t& volts, int32_t& current) override;
    // Range check (sources 0 and 1, by the index byte on the wire; every index against the 16
    // bits the frame carries), then SetVoltage; a failure is recorded as "Setting source N
    // failed".
    int sendVoltage(uint32_t index, int32_t volts) override;

protected:
    void queryDevice() override;
    void registerParameters() override;
    void closeProtocol() override;

private:
    // The command manager, or null when the device is not open.
    CmdMgr* protocol() { return cmdMgr_.get(); }

    std::unique_ptr<CmdMgr> cmdMgr_;
    // Written under the device lock, read by the lock-free getters.
    std::atomic<int32_t> sourceCount_{0};
    std::atomic<int32_t> lower_[kKeptSources] = {{0}, {0}};
    std::atomic<int32_t> upper_[kKeptSources] = {{0}, {0}};
};

}  // namespace HwHvSrc
