#include "DevBase.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <limits>

#include "TextUtil.h"
#include "platform.h"

namespace HwHvSrc {

DevBase::DevBase(std::string description, jd::IFramework* framework, std::string logDirectory,
                 const char* nameText, const char* logPrefix, std::string suffix, uint32_t baudRate,
                 double voltageCounts, double currentCounts)
    : description_(std::move(description)),
      nameText_(nameText),
      suffix_(std::move(suffix)),
      logDirectory_(std::move(logDirectory)),
      logPrefix_(logPrefix),
      baudRate_(baudRate),
      voltageCounts_(voltageCounts),
      currentCounts_(currentCounts),
      framework_(framework),
      info_{} {
    if (framework_ != nullptr) {
        params_ = framework_->createParamList();
        auxParams_ = framework_->createParamList();
    }
    info_.name = nameText_.c_str();
    info_.category = 12;
    info_.connection = 2;
    info_.number = static_cast<uint32_t>(toInt(suffix_, 0));
    info_.reserved = 0;
}

DevBase::~DevBase() {
    if (params_ != nullptr) {
        params_->release();
        params_ = nullptr;
    }
    if (auxParams_ != nullptr) {
        auxParams_->release();
        auxParams_ = nullptr;
    }
    // The class's protocol on top of the channel went with the class's members, before this
    // destructor began; only the channel is left to close.
    ThreadSyncGuard guard(&deviceLock_);
    closeLink();
    log_.reset();
}

int DevBase::getInfo(jd::HwDevInfo* info) {
    if (info != nullptr) {
        *info = info_;
    }
    return 0;
}

void DevBase::setCallback(uint64_t callback, uint64_t context) {
    callback_ = callback;
    callbackContext_ = context;
}

int DevBase::setVoltage(uint32_t index, double volts) {
    if (index < kRequestedSources) {
        requested_[index] = volts;
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

double DevBase::getVoltage(uint32_t index) {
    return index < kRequestedSources ? requested_[index].load() : 0.0;
}

double DevBase::readVoltage(uint32_t index) {
    int32_t volts = 0;
    int32_t current = 0;
    readMeasurement(index, volts, current);
    return static_cast<double>(volts) / voltageCounts_;
}

double DevBase::readCurrent(uint32_t index) {
    int32_t volts = 0;
    int32_t current = 0;
    readMeasurement(index, volts, current);
    return static_cast<double>(current) / currentCounts_;
}

std::string DevBase::logPath() const {
    return log_ ? log_->path() : std::string();
}

int DevBase::initialize() {
    ThreadSyncGuard guard(&deviceLock_);
    // A channel left open by an earlier initialize is closed first, so a bridge is never held
    // twice, and before the log that the protocol on top of it writes to is replaced.
    closeChannel();

    // The suffix comes from the bridge's programmable USB description: only its file-name-safe
    // form goes into the file name, so the log always stays inside the log directory.
    const std::string path =
        plat::joinPath(logDirectory_, logPrefix_ + fileNameSafe(suffix_) + ".log");
    log_.reset();
    log_.reset(new FileLog(path.c_str(), true, false, false, true));
    log_->setLevel(LOG_DBG);

    channel_.reset(new FtdiDev(description_, false));
    const int rc = channel_->open(false);
    if (rc != 0) {
        return reportError(rc, "Cannot open device: %s", description_.c_str());
    }
    channel_->setBaudRate(baudRate_);
    channel_->clearInput();

    queryDevice();

    if (params_ != nullptr && params_->count() == 0) {
        registerParameters();
    }
    return 0;
}

int DevBase::deinitialize() {
    closeChannel();
    return 0;
}

void DevBase::closeChannel() {
    ThreadSyncGuard guard(&deviceLock_);
    closeProtocol();
    closeLink();
}

void DevBase::closeLink() {
    ThreadSyncGuard guard(&deviceLock_);
    if (channel_) {
        // The channel is forgotten either way, but a close the driver refused is recorded.
        const int rc = channel_->close();
        if (rc != 0) {
            reportError(rc, "Cannot close device: %s (%s)", description_.c_str(),
                        channel_->lastError().c_str());
        }
        channel_.reset();
    }
}

void DevBase::registerHvParameters(int16_t sourceCount, int32_t min1, int32_t min2, int32_t max1,
                                   int32_t max2) {
    jd::IParamList* list = params_;
    if (list == nullptr) {
        return;
    }
    jd::ParamHandler handler = &DevBase::parameterHandler;
    void* self = this;
    list->addString("Firmware", "Firmware", firmware_.c_str(), nullptr, nullptr, 1);
    list->addInt16("SourceCount", "SourceCount", sourceCount, handler, self, 1);
    list->addInt16("Voltage1", "Voltage1", 0, handler, self, 0);
    list->addInt16("Voltage2", "Voltage2", 0, handler, self, 0);
    list->addInt32("MinVoltage1", "MinVoltage1", min1, handler, self, 1);
    list->addInt32("MinVoltage2", "MinVoltage2", min2, handler, self, 1);
    list->addInt32("MaxVoltage1", "MaxVoltage1", max1, handler, self, 1);
    list->addInt32("MaxVoltage2", "MaxVoltage2", max2, handler, self, 1);
    list->addInt32("VoltageSense1", "VoltageSense1", 0, handler, self, 1);
    list->addInt32("VoltageSense2", "VoltageSense2", 0, handler, self, 1);
    list->addInt32("CurrentSense1", "CurrentSense1", 0, handler, self, 1);
    list->addInt32("CurrentSense2", "CurrentSense2", 0, handler, self, 1);
}

int DevBase::parameterHandler(jd::IParam* param, bool isRead, void* context) {
    if (param == nullptr || context == nullptr) {
        return 0;
    }
    const char* name = param->name();
    if (name == nullptr) {
        return 0;
    }
    DevBase* device = static_cast<DevBase*>(context);
    int32_t volts = 0;
    int32_t current = 0;
    if (isRead) {
        if (std::strcmp(name, "VoltageSense1") == 0) {
            device->readMeasurement(0, volts, current);
            param->setInt32(volts);
        } else if (std::strcmp(name, "VoltageSense2") == 0) {
            device->readMeasurement(1, volts, current);
            param->setInt32(volts);
        } else if (std::strcmp(name, "CurrentSense1") == 0) {
            device->readMeasurement(0, volts, current);
            param->setInt32(current);
        } else if (std::strcmp(name, "CurrentSense2") == 0) {
            device->readMeasurement(1, volts, current);
            param->setInt32(current);
        }
    } else {
        if (std::strcmp(name, "Voltage1") == 0) {
            device->sendVoltage(0, static_cast<int32_t>(param->getInt16()));
        } else if (std::strcmp(name, "Voltage2") == 0) {
            device->sendVoltage(1, static_cast<int32_t>(param->getInt16()));
        }
    }
    return 0;
}

int DevBase::reportError(int code, const char* format, ...) {
    ThreadSyncGuard guard(&errorLock_);
    va_list args;
    va_start(args, format);
    std::string message = formatStringV(format, args);
    va_end(args);
    if (log_) {
        log_->log(code, LOG_ERR, message.c_str());
    }
    storeLastError(message);
    return code;
}

int DevBase::recordFailure(int code, const std::string& operation, const std::string& reason) {
    ThreadSyncGuard guard(&errorLock_);
    ++failures_;
    storeLastError(operation + " failed (failure " + std::to_string(failures_) + "): " + reason);
    return code;
}

void DevBase::storeLastError(const std::string& message) {
    size_t length = std::min(message.size(), kLastErrorSize - 1);
    // A cut message ends before a character, not inside its UTF-8 sequence.
    if (length < message.size()) {
        while (length > 0 && (static_cast<unsigned char>(message[length]) & 0xC0u) == 0x80u) {
            --length;
        }
    }
    std::memcpy(lastError_, message.data(), length);
    lastError_[length] = '\0';
}

std::string DevBase::fileNameSafe(const std::string& text) {
    std::string safe = text;
    for (size_t i = 0; i < safe.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(safe[i]);
        const bool forbidden = c < 0x20 || c == 0x7F || std::strchr("<>:\"/\\|?*", c) != nullptr;
        if (forbidden) {
            safe[i] = '_';
        }
    }
    return safe;
}

bool DevBase::wholeVolts(double volts, int32_t& out) {
    if (std::isnan(volts)) {
        out = 0;
        return false;
    }
    const double whole = std::trunc(volts);
    if (whole < static_cast<double>(std::numeric_limits<int32_t>::min())) {
        out = std::numeric_limits<int32_t>::min();
        return false;
    }
    if (whole > static_cast<double>(std::numeric_limits<int32_t>::max())) {
        out = std::numeric_limits<int32_t>::max();
        return false;
    }
    out = static_cast<int32_t>(whole);
    return true;
}

std::string DevBase::suffixOf(const std::string& description) {
    const size_t at = description.find(": ");
    return at == std::string::npos ? std::string() : description.substr(at + 2);
}

}  // namespace HwHvSrc
