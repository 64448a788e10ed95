#include "TextUtil.h"

#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "platform.h"

namespace {

// A C99 formatter reports a negative result only for a real error (an unconvertible character,
// a result beyond INT_MAX), which no larger buffer cures; older formatters also report truncation
// that way. Doubling therefore stops here instead of growing without end.
const size_t kMaxFormatBufferOnError = size_t(1) << 20;

std::atomic<const ClockHooks*> clockHooks{nullptr};

}  // namespace

std::string formatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatStringV(format, args);
    va_end(args);
    return text;
}

std::string formatStringV(const char* format, va_list args) {
    if (format == nullptr) {
        return std::string();
    }
    size_t size = 512;
    std::vector<char> buffer;
    for (;;) {
        buffer.assign(size, '\0');
        // Each attempt consumes its own copy: the caller's list stays usable for the next one.
        va_list attempt;
        va_copy(attempt, args);
        const int length = std::vsnprintf(buffer.data(), size, format, attempt);
        va_end(attempt);
        if (length < 0) {
            if (size >= kMaxFormatBufferOnError) {
                return std::string();
            }
            size *= 2;
            continue;
        }
        if (static_cast<size_t>(length) >= size) {
            size = static_cast<size_t>(length) + 1;
            continue;
        }
        // The reported length, not the first zero byte: a "%c" of 0 stays in the text.
        return std::string(buffer.data(), static_cast<size_t>(length));
    }
}

int toInt(const std::string& text, int defaultValue) {
    size_t pos = 0;
    const size_t end = text.size();
    while (pos < end && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' ||
                         text[pos] == '\v' || text[pos] == '\f' || text[pos] == '\r')) {
        ++pos;
    }
    bool negative = false;
    if (pos < end && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos >= end || text[pos] < '0' || text[pos] > '9') {
        return defaultValue;
    }
    // Magnitude limit of the result: INT_MAX, or INT_MAX + 1 for a negative number.
    const int64_t limit = negative ? -static_cast<int64_t>(INT_MIN) : static_cast<int64_t>(INT_MAX);
    int64_t magnitude = 0;
    while (pos < end && text[pos] >= '0' && text[pos] <= '9') {
        magnitude = magnitude * 10 + (text[pos] - '0');
        if (magnitude > limit) {
            return defaultValue;
        }
        ++pos;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

ClockAnchor calibrateClock() {
    ClockAnchor clock;
    const int64_t frequency = plat::perfFrequency();
    clock.frequency = frequency > 0 ? static_cast<double>(frequency) : 1.0;
    int64_t seconds = 0;
    int milliseconds = 0;
    plat::wallClock(seconds, milliseconds);
    const int64_t counter = plat::perfCounter();
    clock.anchor = static_cast<double>(seconds) + milliseconds * 0.001 -
                   static_cast<double>(counter) / clock.frequency;
    return clock;
}

double ClockAnchor::now() const {
    return anchor + static_cast<double>(plat::perfCounter()) / frequency;
}

double preciseTime() {
    const ClockHooks* hooks = clockHooks.load(std::memory_order_acquire);
    if (hooks != nullptr) {
        return hooks->now(hooks->context);
    }
    static const ClockAnchor clock = calibrateClock();
    return clock.now();
}

void pauseMs(unsigned milliseconds) {
    const ClockHooks* hooks = clockHooks.load(std::memory_order_acquire);
    if (hooks != nullptr) {
        hooks->pause(milliseconds, hooks->context);
        return;
    }
    plat::sleepMs(milliseconds);
}

void setClockHooks(const ClockHooks* hooks) {
    clockHooks.store(hooks, std::memory_order_release);
}
