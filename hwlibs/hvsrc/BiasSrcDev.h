// The bias module: one output behind an FTDI bridge, driven by short ASCII commands that the
// module answers with one bracketed, ';'-separated list of hexadecimal fields. The exchange itself
// (sending, receiving, cutting into fields) lives in BiasSrcProtocol.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BiasSrcProtocol.h"
#include "DevBase.h"

namespace HwHvSrc {

class BiasSrcDev : public DevBase {
public:
    BiasSrcDev(const std::string& description, jd::IFramework* framework,
               const std::string& logDirectory);
    ~BiasSrcDev() override;

    int setVoltage(uint32_t index, double volts) override;
    double getVoltage(uint32_t index) override;
    int64_t sourceCount() override { return 1; }
    double minVoltage(int32_t index) override;
    double maxVoltage(int32_t index) override;
    int polarity() override;

    // One exchange: clears the input, sends the command and a line feed, and returns the reply
    // lines (none without a channel, after a failed write or when nothing arrived in time).
    std::vector<std::string> sendCommand(const std::string& command);
    // The reading half of an exchange: the answer cut into reply lines, each logged.
    std::vector<std::string> receiveLines();
    // One exchange turned into the fields of its bracketed reply line.
    std::vector<std::string> query(const std::string& command);

    // The firmware text, or empty when the module does not answer properly.
    std::string readFirmware();
    // Range check against the limits, then "setU(..)": 0, -1 for a malformed answer, -2 for a
    // failed status (both recorded as "Setting the output failed"), ERR_OUT_OF_RANGE for a
    // refused voltage.
    int applyVoltage(double volts);
    // One getUI(1) exchange: voltage and current in tenths as the module reports them (both 0
    // on a failure, recorded as "Reading the output failed"); 0, -1 for a malformed answer, -2
    // for a failed status.
    int readMeasurement(uint32_t index, int32_t& volts, int32_t& current) override;

    // For the tests only.
    int32_t lowerLimit() const { return lowerLimit_.load(); }
    int32_t upperLimit() const { return upperLimit_.load(); }

protected:
    void queryDevice() override;
    void registerParameters() override;

private:
    void readLimits();
    // One exchange whose answer must have `count` fields, the last one a status when `status` is
    // set: 0, -1 (no answer, or another number of fields) or -2 (a failed status), with `why`
    // telling what went wrong. Holds the device lock, so `why` is this exchange's.
    int exchange(const std::string& command, size_t count, bool status,
                 std::vector<std::string>& fields, std::string& why);

    // Why the last exchange brought no reply lines; written under the device lock.
    std::string exchangeFailure_;

    // Written by initialize and voltage setting, read by the lock-free getters.
    std::atomic<int32_t> lowerLimit_{0};
    std::atomic<int32_t> upperLimit_{100};
    std::atomic<double> setVoltage_{0.0};
    // The buffer every answer is read into (kBiasReceiveBufferSize bytes), made on the first
    // exchange and kept: only the bytes received are ever read from it, so it needs neither
    // zeroing nor a fresh allocation each time. Used under the device lock.
    std::unique_ptr<char[]> receiveBuffer_;
};

}  // namespace HwHvSrc
