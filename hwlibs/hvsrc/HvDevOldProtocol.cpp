// The legacy source's line protocol: "o" asks for a status line of ten tab-separated
// hexadecimal fields (fields 4 and 5 carry the two outputs, the low three bits free); "%da" and
// "%db" set source 0 and source 1 in quarter volts. No framing, no checksum, no answer to a set.
#include <cmath>
#include <cstdint>

#include "HvDevOld.h"
#include "TextUtil.h"

namespace HwHvSrc {

namespace {

bool isBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// One field at `at`: white space, an optional sign, an optional 0x prefix, hex digits. A value
// above 0xFFFFFFFF is refused (scanf would leave it undefined); a minus sign negates modulo 2^32.
bool readHexField(const std::string& line, size_t& at, uint32_t& out) {
    while (at < line.size() && isBlank(line[at])) {
        ++at;
    }
    bool negative = false;
    if (at < line.size() && (line[at] == '+' || line[at] == '-')) {
        negative = line[at] == '-';
        ++at;
    }
    if (at + 2 < line.size() && line[at] == '0' && (line[at + 1] == 'x' || line[at + 1] == 'X') &&
        hexDigit(line[at + 2]) >= 0) {
        at += 2;
    }
    uint64_t value = 0;
    size_t digits = 0;
    for (; at < line.size() && hexDigit(line[at]) >= 0; ++at, ++digits) {
        value = (value << 4) | static_cast<uint64_t>(hexDigit(line[at]));
        if (value > 0xFFFFFFFFu) {
            return false;
        }
    }
    if (digits == 0) {
        return false;
    }
    const uint32_t magnitude = static_cast<uint32_t>(value);
    out = negative ? 0u - magnitude : magnitude;
    return true;
}

}  // namespace

bool HvDevOld::parseStatusLine(const std::string& line, int32_t fields[10]) {
    // Read as the format "%x\t%x..." reads it: each tab matches any run of white space (or none),
    // and each field takes its leading white space itself. All ten fields must be there.
    uint32_t values[10] = {};
    size_t at = 0;
    for (uint32_t& value : values) {
        if (!readHexField(line, at, value)) {
            return false;
        }
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

int HvDevOld::sendFailed(int code, const std::string& operation, const std::string& text) {
    const std::string message =
        formatString("Cannot send command: %s (%s)", text.c_str(), channel_->lastError().c_str());
    if (log_) {
        log_->log(code, LOG_ERR, message.c_str());
    }
    return recordFailure(code, operation, message);
}

int HvDevOld::readMeasurement(uint32_t index, int32_t& volts, int32_t& current) {
    ThreadSyncGuard guard(&deviceLock_);
    volts = 0;
    current = 0;
    const std::string operation = "Reading source " + std::to_string(index);
    if (!channel_ || !channel_->isOpen()) {
        recordFailure(ERR_NOT_OPEN, operation, kNotOpenText);
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
        sendFailed(written, operation, "o");
        return 0;
    }
    pauseMs(kStatusPauseMs);
    std::string line;
    const int rc = channel_->readLine(line, '\n', kStatusReadTimeout);
    if (rc != 0) {
        // -1: no line in time, which the log shows by the missing "Received" entry; anything
        // else is the driver's, logged.
        const std::string reason = formatString(
            "Cannot read status: %s", rc == -1 ? "Timeout" : channel_->lastError().c_str());
        if (rc < -1 && log_) {
            log_->log(rc, LOG_ERR, reason.c_str());
        }
        recordFailure(rc, operation, reason);
        return 0;
    }
    logExchange("Received", line);
    int32_t fields[10] = {0};
    if (!parseStatusLine(line, fields)) {
        recordFailure(-1, operation, "Cannot read status: not ten hexadecimal fields");
        return 0;
    }
    volts = fieldVolts(index, index == 0 ? fields[4] : fields[5]);
    return 0;
}

int HvDevOld::sendVoltage(uint32_t index, int32_t volts) {
    ThreadSyncGuard guard(&deviceLock_);
    const int source = index == 0 ? 0 : 1;
    if (volts < lower_[source] || volts > upper_[source]) {
        return reportError(ERR_OUT_OF_RANGE, "Voltage out of range %d", volts);
    }
    const std::string operation = "Setting source " + std::to_string(index);
    if (!channel_ || !channel_->isOpen()) {
        return recordFailure(ERR_NOT_OPEN, operation, kNotOpenText);
    }
    const std::string text = setText(index, volts);
    const int written = channel_->write(text.data(), text.size(), kSetWriteTimeout);
    logExchange("Sent", text);
    if (written < 0) {
        return sendFailed(written, operation, text);
    }
    return 0;
}

}  // namespace HwHvSrc
