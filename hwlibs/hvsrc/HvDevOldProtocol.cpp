// The legacy source's line protocol: "o" asks for a status line of ten tab-separated
// hexadecimal fields (fields 4 and 5 carry the two outputs, the low three bits free); "%da" and
// "%db" set source 0 and source 1 in quarter volts. No framing, no checksum, no answer to a set.
#include <cmath>
#include <cstdio>

#include "HvDevOld.h"
#include "TextUtil.h"

namespace HwHvSrc {

namespace {

constexpr int kNotOpen = -1;

}  // namespace

bool HvDevOld::parseStatusLine(const std::string& line, int32_t fields[10]) {
    // The line is read as the format says: each tab matches any run of white space (or none),
    // each %x takes an optional sign and 0x prefix. All ten fields must be there.
    unsigned values[10] = {};
    const int converted = std::sscanf(line.c_str(), "%x\t%x\t%x\t%x\t%x\t%x\t%x\t%x\t%x\t%x",
                                      &values[0], &values[1], &values[2], &values[3], &values[4],
                                      &values[5], &values[6], &values[7], &values[8], &values[9]);
    if (converted != 10) {
        return false;
    }
    for (int i = 0; i < 10; ++i) {
        fields[i] = static_cast<int32_t>(values[i]);
    }
    return true;
}

int32_t HvDevOld::fieldVolts(uint32_t index, int32_t field) {
    const int32_t steps = field >> 3;
    const double volts = index == 0 ? steps * 0.125 : steps * 0.125 - 1020.0;
    return static_cast<int32_t>(std::trunc(volts));
}

std::string HvDevOld::setText(uint32_t index, int32_t volts) {
    // Within the limits (|volts| <= 1000) the products fit easily; 64-bit arithmetic keeps any
    // other value defined as well.
    const long long quarter = index == 0 ? volts * 4LL : -static_cast<long long>(volts) * 4LL;
    return formatString(index == 0 ? "%llda" : "%lldb", quarter);
}

void HvDevOld::logExchange(const char* label, const std::string& text) {
    if (log_) {
        log_->logText(0, LOG_DBG, text.c_str(), label);
    }
}

int HvDevOld::readMeasurement(uint32_t index, int32_t& volts, int32_t& current) {
    ThreadSyncGuard guard(&deviceLock_);
    volts = 0;
    current = 0;
    if (!channel_ || !channel_->isOpen()) {
        return 0;
    }
    // A status line that came after an earlier request's read gave up answers that request,
    // not this one.
    channel_->clearInput();
    channel_->dropPending();
    const int written = channel_->write("o", 1, kStatusWriteTimeout);
    logExchange("Sent", "o");
    // A request that did not go out has no answer to wait for; a reading is still 0 V, but the
    // failure is recorded.
    if (written < 0) {
        reportError(written, "Cannot send command: %s", channel_->lastError().c_str());
        return 0;
    }
    pauseMs(kStatusPauseMs);
    std::string line;
    const int rc = channel_->readLine(line, '\n', kStatusReadTimeout);
    if (rc != 0) {
        // -1: no line in time, which the reading shows as 0 V; anything else is the driver's.
        if (rc < -1) {
            reportError(rc, "Cannot read status: %s", channel_->lastError().c_str());
        }
        return 0;
    }
    logExchange("Received", line);
    int32_t fields[10] = {0};
    if (parseStatusLine(line, fields)) {
        volts = fieldVolts(index, index == 0 ? fields[4] : fields[5]);
    }
    return 0;
}

int HvDevOld::sendVoltage(uint32_t index, int32_t volts) {
    ThreadSyncGuard guard(&deviceLock_);
    const int source = index == 0 ? 0 : 1;
    if (volts < lower_[source] || volts > upper_[source]) {
        return reportError(ERR_OUT_OF_RANGE, "Voltage out of range %d", volts);
    }
    if (!channel_ || !channel_->isOpen()) {
        return reportError(kNotOpen, "Device not open");
    }
    const std::string text = setText(index, volts);
    const int written = channel_->write(text.data(), text.size(), kSetWriteTimeout);
    logExchange("Sent", text);
    if (written < 0) {
        return reportError(written, "Cannot send command: %s", channel_->lastError().c_str());
    }
    return 0;
}

}  // namespace HwHvSrc
