// The legacy source's line protocol: "o" asks for a status line of ten tab-separated
// hexadecimal fields (fields 4 and 5 carry the two outputs, the low three bits free); "%da" and
// "%db" set source 0 and source 1 in quarter volts. No framing, no checksum, no answer to a set.
#include <cmath>
#include <cstdlib>

#include "HvDevOld.h"
#include "TextUtil.h"
#include "platform.h"

namespace HwHvSrc {

namespace {

constexpr double kStatusWriteTimeout = 2.0;
constexpr unsigned kStatusPauseMs = 50;
constexpr double kStatusReadTimeout = 2.0;
constexpr double kSetWriteTimeout = 1.0;

}  // namespace

bool HvDevOld::parseStatusLine(const std::string& line, int32_t fields[10]) {
    // The fields are read as "%x" each, separated by tabs; all ten must be there.
    const char* p = line.c_str();
    for (int i = 0; i < 10; ++i) {
        if (i > 0) {
            while (*p == ' ' || *p == '\r' || *p == '\n') {
                ++p;
            }
            if (*p != '\t') {
                return false;
            }
            ++p;
        }
        while (*p == ' ') {
            ++p;
        }
        char* end = nullptr;
        const unsigned long value = std::strtoul(p, &end, 16);
        if (end == p || *p == '-' || *p == '+' || value > 0xFFFFFFFFul) {
            return false;
        }
        fields[i] = static_cast<int32_t>(static_cast<uint32_t>(value));
        p = end;
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

int HvDevOld::readMeasurement(uint32_t index, int32_t& volts, int32_t& current) {
    ThreadSyncGuard guard(&deviceLock_);
    volts = 0;
    current = 0;
    if (!channel_) {
        return 0;
    }
    channel_->write("o", 1, kStatusWriteTimeout);
    plat::sleepMs(kStatusPauseMs);
    std::string line;
    const int rc = channel_->readLine(line, '\n', kStatusReadTimeout);
    int32_t fields[10] = {0};
    if (rc == 0 && parseStatusLine(line, fields)) {
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
    if (channel_) {
        const std::string text = setText(index, volts);
        channel_->write(text.data(), text.size(), kSetWriteTimeout);
    }
    return 0;
}

}  // namespace HwHvSrc
