// The current HV source model's device operations: start-up queries, voltage setting with its
// range check, and the readings. Every exchange goes through CmdMgr::transact under the device
// lock; the frames themselves are CmdMgr's business (CmdMgr.cpp).
#include "HvDev.h"

#include <cstring>
#include <limits>
#include <utility>

namespace HwHvSrc {

namespace {

// A signed big-endian 16-bit value, widened with its sign.
int32_t signed16(const unsigned char* bytes) {
    return static_cast<int16_t>(static_cast<uint16_t>((bytes[0] << 8) | bytes[1]));
}

// The source index as the frames carry it: its low byte.
unsigned char indexByte(uint32_t index) {
    return static_cast<unsigned char>(index & 0xFFu);
}

}  // namespace

HvDev::HvDev(std::string description, jd::IFramework* framework, std::string logDirectory)
    : DevBase(description, framework, std::move(logDirectory), "HV Source", "hvsrc_",
              DevBase::suffixOf(description), kBaudRate, 1.0, kCurrentCounts) {}

void HvDev::queryDevice() {
    ThreadSyncGuard guard(&deviceLock_);
    cmdMgr_ =
        std::make_unique<CmdMgr>(channel_.get(), log_.get(), kHvCommandNames, kHvCommandCount);
    // Two tests; a failure is recorded, but the queries below run whatever they gave.
    testConnection();
    testConnection();

    char text[kFirmwareLength + 1] = {};
    cmdMgr_->transact(HV_CMD_FW_INFO, nullptr, 0, text, kFirmwareLength, kQueryTimeout);
    const void* end = std::memchr(text, 0, kFirmwareLength);
    firmware_.assign(text, end == nullptr
                               ? kFirmwareLength
                               : static_cast<size_t>(static_cast<const char*>(end) - text));
    if (log_ != nullptr) {
        log_->logf(LOG_MSG, "Firmware is: %s", firmware_.c_str());
    }

    unsigned char count = 0;
    const int status =
        cmdMgr_->transact(HV_CMD_SOURCES_COUNT, nullptr, 0, &count, 1, kQueryTimeout);
    // A failed exchange tells nothing about the count.
    sourceCount_ = status == 0 ? count : 0;

    readRanges(0);
    readRanges(1);
}

void HvDev::registerParameters() {
    registerHvParameters(static_cast<int16_t>(sourceCount_.load()), lower_[0].load(),
                         lower_[1].load(), upper_[0].load(), upper_[1].load());
}

void HvDev::closeProtocol() {
    cmdMgr_.reset();
}

int HvDev::testConnection() {
    ThreadSyncGuard guard(&deviceLock_);
    CmdMgr* cmd = protocol();
    if (cmd == nullptr) {
        return recordFailure(ERR_NOT_OPEN, "Testing the connection", kNotOpenText);
    }
    const int status = cmd->transact(HV_CMD_TEST, nullptr, 0, nullptr, 0, kTestTimeout);
    if (status != 0) {
        return reportError(status, "Cannot test (%s)", cmd->lastError().c_str());
    }
    return 0;
}

int HvDev::readRanges(uint32_t index) {
    ThreadSyncGuard guard(&deviceLock_);
    CmdMgr* cmd = protocol();
    if (cmd == nullptr) {
        return recordFailure(ERR_NOT_OPEN, "Reading the ranges", kNotOpenText);
    }
    const unsigned char request = indexByte(index);
    unsigned char answer[8] = {};
    const int status =
        cmd->transact(HV_CMD_GET_RANGES, &request, 1, answer, sizeof(answer), kQueryTimeout);
    int32_t lower = 0;
    int32_t upper = 0;
    // The bytes of an answer that failed its checks (a flagged error, a wrong code, a short
    // payload) are no limits: 0 and 0 let only 0 V through.
    if (status == 0) {
        lower = signed16(answer);
        upper = signed16(answer + 2);
        if (lower > upper) {
            std::swap(lower, upper);
        }
    }
    if (index < kKeptSources) {
        lower_[index] = lower;
        upper_[index] = upper;
    }
    return status;
}

int HvDev::readMeasurement(uint32_t index, int32_t& volts, int32_t& current) {
    ThreadSyncGuard guard(&deviceLock_);
    volts = 0;
    current = 0;
    const std::string operation = "Reading source " + std::to_string(index);
    CmdMgr* cmd = protocol();
    if (cmd == nullptr) {
        return recordFailure(ERR_NOT_OPEN, operation, kNotOpenText);
    }
    const unsigned char request = indexByte(index);
    unsigned char answer[6] = {};
    const int status =
        cmd->transact(HV_CMD_READ_VOLT_CURR, &request, 1, answer, sizeof(answer), kQueryTimeout);
    // A failed exchange reads as 0 V and 0 current, whatever bytes it brought; the command
    // manager has logged it, the device records it for the host.
    if (status != 0) {
        return recordFailure(status, operation, cmd->lastError());
    }
    volts = signed16(answer);
    const uint32_t word = (static_cast<uint32_t>(answer[2]) << 24) |
                          (static_cast<uint32_t>(answer[3]) << 16) |
                          (static_cast<uint32_t>(answer[4]) << 8) | answer[5];
    current = static_cast<int32_t>(word);
    return status;
}

int HvDev::sendVoltage(uint32_t index, int32_t volts) {
    ThreadSyncGuard guard(&deviceLock_);
    // The frame names the source by the index's low byte, so that byte decides which limits
    // apply: index 256 reaches source 0 and must pass source 0's check.
    // Every source takes a signed 16-bit value: one beyond it would go out wrapped, as another
    // voltage of perhaps the other sign.
    const unsigned char source = indexByte(index);
    const bool fits = volts >= std::numeric_limits<int16_t>::min() &&
                      volts <= std::numeric_limits<int16_t>::max();
    if (!fits || (source < kKeptSources &&
                  (volts < lower_[source].load() || volts > upper_[source].load()))) {
        return reportError(ERR_OUT_OF_RANGE, "Voltage out of range %d", volts);
    }
    const std::string operation = "Setting source " + std::to_string(index);
    CmdMgr* cmd = protocol();
    if (cmd == nullptr) {
        return recordFailure(ERR_NOT_OPEN, operation, kNotOpenText);
    }
    const uint32_t bits = static_cast<uint32_t>(volts);
    const unsigned char request[3] = {source, static_cast<unsigned char>((bits >> 8) & 0xFFu),
                                      static_cast<unsigned char>(bits & 0xFFu)};
    const int status =
        cmd->transact(HV_CMD_SET_VOLTAGE, request, sizeof(request), nullptr, 0, kQueryTimeout);
    if (status != 0) {
        return recordFailure(status, operation, cmd->lastError());
    }
    return 0;
}

int64_t HvDev::sourceCount() {
    return static_cast<int64_t>(sourceCount_.load());
}

double HvDev::minVoltage(int32_t index) {
    return static_cast<double>(index == 0 ? lower_[0].load() : lower_[1].load());
}

double HvDev::maxVoltage(int32_t index) {
    return static_cast<double>(index == 0 ? upper_[0].load() : upper_[1].load());
}

}  // namespace HwHvSrc
