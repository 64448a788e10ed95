#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>

#include "TextUtil.h"
#include "platform.h"

namespace {

std::string repeated(size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    return text;
}

std::string formatWith(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatStringV(format, args);
    va_end(args);
    return text;
}

}  // namespace

TEST(FormatString, LengthsAroundTheFirstBuffer) {
    EXPECT_EQ("v=42 abc -7", formatString("v=%d %s %d", 42, "abc", -7));
    EXPECT_EQ("", formatString("%s", ""));
    // 511 characters fit the first 512 bytes with their terminator; 512 and 513 need a second
    // attempt, so the text after them also proves the arguments were read again from the start.
    for (size_t length : {size_t(511), size_t(512), size_t(513), size_t(5000)}) {
        const std::string body = repeated(length);
        const std::string text = formatString("%s|%d|%s", body.c_str(), 77, "end");
        ASSERT_EQ(length + 7, text.size()) << length;
        EXPECT_EQ(body + "|77|end", text) << length;
    }
    // Exactly 511/512/513 produced by the format itself rather than by one argument.
    EXPECT_EQ(std::string(511, '0') + "5", formatString("%0512d", 5));
    EXPECT_EQ(std::string(510, '0') + "5", formatString("%0511d", 5));
    EXPECT_EQ(std::string(512, '0') + "5", formatString("%0513d", 5));
    // The text is cut to the reported length, so an embedded zero byte is kept.
    const std::string withZero = formatString("a%cb", 0);
    ASSERT_EQ(3u, withZero.size());
    EXPECT_EQ('a', withZero[0]);
    EXPECT_EQ('\0', withZero[1]);
    EXPECT_EQ('b', withZero[2]);
    EXPECT_EQ("", formatWith(nullptr, 1, 2));
}

TEST(FormatString, FormatterErrorGivesEmptyTextInsteadOfGrowingForever) {
    // A wide character the "C" locale cannot convert makes a C99 formatter fail outright.
    const wchar_t euro[] = {0x20ac, 0};
    char probe[16];
    if (std::snprintf(probe, sizeof(probe), "%ls", euro) >= 0) {
        GTEST_SKIP() << "this formatter converts the character";
    }
    EXPECT_EQ("", formatString("x%lsy", euro));
}

TEST(ToInt, StreamExtractionRules) {
    EXPECT_EQ(7, toInt("7", -1));
    EXPECT_EQ(12, toInt(" 12abc", -1));
    EXPECT_EQ(-1, toInt("abc", -1));
    EXPECT_EQ(-3, toInt("-3", 99));
    EXPECT_EQ(5, toInt("99999999999", 5));
    EXPECT_EQ(5, toInt("99999999999999999999999999", 5));
    EXPECT_EQ(INT_MAX, toInt("2147483647", 5));
    EXPECT_EQ(5, toInt("2147483648", 5));
    EXPECT_EQ(INT_MIN, toInt("-2147483648", 5));
    EXPECT_EQ(5, toInt("-2147483649", 5));
    EXPECT_EQ(8, toInt("+8", 5));
    EXPECT_EQ(-12, toInt("\t\n\v\f\r -0012 34", 5));
    EXPECT_EQ(0, toInt("0x1A", 5));
    EXPECT_EQ(5, toInt("", 5));
    EXPECT_EQ(5, toInt("   ", 5));
    EXPECT_EQ(5, toInt("-", 5));
    EXPECT_EQ(5, toInt("- 5", 5));
    EXPECT_EQ(5, toInt("+-5", 5));
    EXPECT_EQ(5, toInt(".5", 5));
    EXPECT_EQ(12, toInt("12.9", 5));

    // The same inputs through an actual stream extraction agree with the helper.
    const char* const inputs[] = {"7",  " 12abc",      "abc", "-3",  "99999999999", "2147483647",
                                  "-",  "-2147483648", "+8",  " -0", "\n42\n",      "1e5",
                                  "00", "2147483648",  "",    "x1"};
    for (const char* input : inputs) {
        std::istringstream stream(input);
        int value = 0;
        const int expected = (stream >> value) ? value : -999;
        EXPECT_EQ(expected, toInt(input, -999)) << '"' << input << '"';
    }
}

// Calibrations taken while the second changes, where a reading of the seconds and another of
// the milliseconds can disagree by a whole second, all agree with the system clock.
TEST(PreciseTime, CalibrationAgreesWithTheSystemClock) {
    const auto system = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    const double start = system();
    const double boundary = std::floor(start) + 1.0;
    if (boundary - start > 0.02) {
        std::this_thread::sleep_for(std::chrono::duration<double>(boundary - start - 0.02));
    }
    for (double before = system(); before < boundary + 0.02; before = system()) {
        const double now = calibrateClock().now();
        const double after = system();
        ASSERT_GT(now - before, -0.05);
        ASSERT_LT(now - after, 0.05);
    }
    const double before = system();
    const double precise = preciseTime();
    EXPECT_GT(precise - before, -0.05);
    EXPECT_LT(precise - system(), 0.05);
}

TEST(PreciseTime, Advances) {
    const double first = preciseTime();
    double previous = first;
    for (int i = 0; i < 1000; ++i) {
        const double now = preciseTime();
        ASSERT_GE(now, previous);
        previous = now;
    }
    plat::sleepMs(50);
    EXPECT_GE(preciseTime() - first, 0.03);
}
