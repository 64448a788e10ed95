#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <thread>

#include "TextUtil.h"

namespace {

std::string formatWith(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatStringV(format, args);
    va_end(args);
    return text;
}

}  // namespace

TEST(FormatString, LengthsAroundTheFirstBufferAndFormatterErrors) {
    // 511 characters fit the first 512 bytes with their terminator; 512 and more need a second
    // attempt, so the text after them also proves the arguments were read again from the start.
    for (size_t length : {size_t(0), size_t(511), size_t(512), size_t(513), size_t(5000)}) {
        const std::string body(length, 'x');
        EXPECT_EQ(body + "|77|end", formatString("%s|%d|%s", body.c_str(), 77, "end")) << length;
    }
    // The text is cut to the reported length, so an embedded zero byte is kept.
    EXPECT_EQ(std::string("a\0b", 3), formatString("a%cb", 0));
    EXPECT_EQ("", formatWith(nullptr, 1, 2));
    // A wide character the "C" locale cannot convert makes a C99 formatter fail outright: the
    // text is empty instead of a buffer growing for good.
    const wchar_t euro[] = {0x20ac, 0};
    char probe[16];
    if (std::snprintf(probe, sizeof(probe), "%ls", euro) < 0) {
        EXPECT_EQ("", formatString("x%lsy", euro));
    }
}

TEST(ToInt, StreamExtractionRules) {
    struct Case {
        const char* text;
        int expected;  // 5 is the default
    };
    // clang-format off
    const Case cases[] = {
        {"7", 7}, {" 12abc", 12}, {"abc", 5}, {"-3", -3}, {"+8", 8}, {"\t\n\v\f\r -0012 34", -12},
        {"2147483647", INT_MAX}, {"2147483648", 5}, {"-2147483648", INT_MIN}, {"-2147483649", 5},
        {"99999999999999999999999999", 5}, {"", 5}, {"-", 5}, {"- 5", 5}, {"+-5", 5}};
    // clang-format on
    for (const Case& c : cases) {
        EXPECT_EQ(c.expected, toInt(c.text, 5)) << '"' << c.text << '"';
    }
}

// Calibrations taken while the second changes, where a reading of the seconds and another of
// the milliseconds can disagree by a whole second, all agree with the system clock.
TEST(PreciseTime, CalibrationAgreesWithTheSystemClock) {
    const auto system = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    preciseTime();  // its anchor is taken now; it must still agree after the wait below
    // Calibrations on both sides of a whole second; a sleep that overshoots on a busy machine
    // tries the next second instead of passing without any.
    bool straddled = false;
    for (int attempt = 0; attempt < 5 && !straddled; ++attempt) {
        const double start = system();
        const double boundary = std::floor(start) + 1.0;
        if (boundary - start > 0.02) {
            std::this_thread::sleep_for(std::chrono::duration<double>(boundary - start - 0.02));
        }
        bool early = false, late = false;
        for (double before = system(); before < boundary + 0.02; before = system()) {
            const double now = calibrateClock().now();
            const double after = system();
            ASSERT_GT(now - before, -0.05);
            ASSERT_LT(now - after, 0.05);
            early |= after < boundary;
            late |= before >= boundary;
        }
        straddled = early && late;
    }
    EXPECT_TRUE(straddled);
    const double before = system();
    const double precise = preciseTime();
    EXPECT_GT(precise - before, -0.05);
    EXPECT_LT(precise - system(), 0.05);
}
