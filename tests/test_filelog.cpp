#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FileLog.h"
#include "ThreadSync.h"
#include "platform.h"
#include "test_files.h"

namespace fs = std::filesystem;

namespace {

// The header as it reads once its dated time stamp is replaced by "(D)".
const std::string kHeader = "################# LOG OPENED (D) ###################### \n";

bool matchesShape(const std::string& text, size_t pos, const char* shape) {
    for (size_t i = 0; shape[i] != '\0'; ++i) {
        if (pos + i >= text.size()) {
            return false;
        }
        const char c = text[pos + i];
        if (shape[i] == 'D' ? (c < '0' || c > '9') : c != shape[i]) {
            return false;
        }
    }
    return true;
}

// Replaces every well-formed time stamp by "(T)" (without date) or "(D)" (with date), so the rest
// of a log can be compared literally. A malformed stamp stays and makes the comparison fail.
std::string normalize(const std::string& text) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '(' && matchesShape(text, i + 1, "DD_DD:DD:DD.DDD)")) {
            out += "(T)";
            i += 17;
        } else if (text[i] == '(' && matchesShape(text, i + 1, "DD/DD/DDDD DD:DD:DD.DDD)")) {
            out += "(D)";
            i += 25;
        } else {
            out += text[i++];
        }
    }
    return out;
}

// One dump line from the layout rule: 70 columns of spaces, the group of byte k at column 3k,
// "|" at column 51 and the printable character of byte k at column 52 + k; cut after column 50
// without the printable column; then "   %s \n".
std::string expectedLine(const unsigned char* bytes, size_t count, bool printable) {
    std::string columns(70, ' ');
    const char* digits = "0123456789abcdef";
    for (size_t k = 0; k < count; ++k) {
        columns[3 * k] = digits[bytes[k] / 16];
        columns[3 * k + 1] = digits[bytes[k] % 16];
    }
    if (printable) {
        columns[51] = '|';
        for (size_t k = 0; k < count; ++k) {
            const bool shown = bytes[k] >= 0x21 && bytes[k] <= 0x7f;
            columns[52 + k] = shown ? static_cast<char>(bytes[k]) : '.';
        }
    } else {
        columns.resize(51);
    }
    return "   " + columns + " \n";
}

// The lines of a dump starting at each of the given positions.
std::string expectedLines(const std::vector<unsigned char>& data, std::vector<size_t> starts,
                          bool printable = true) {
    std::string text;
    for (size_t start : starts) {
        const size_t count = data.size() - start < 16 ? data.size() - start : 16;
        text += expectedLine(data.data() + start, count, printable);
    }
    return text;
}

std::vector<size_t> range(size_t from, size_t to, size_t step = 16) {
    std::vector<size_t> values;
    for (size_t v = from; v < to; v += step) {
        values.push_back(v);
    }
    return values;
}

std::vector<unsigned char> countingBytes(size_t length) {
    std::vector<unsigned char> data(length);
    for (size_t i = 0; i < length; ++i) {
        data[i] = static_cast<unsigned char>(i);
    }
    return data;
}

using hvtest::readFile;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, end - start + 1));
        start = end + 1;
    }
    return lines;
}

std::string calendarSuffix(int64_t seconds) {
    std::tm t{};
    plat::localTime(seconds, &t);
    char text[64];
    std::snprintf(text, sizeof(text), "%02d%02d%04d_%02d%02d%02d", t.tm_mday, t.tm_mon + 1,
                  t.tm_year + 1900, t.tm_hour, t.tm_min, t.tm_sec);
    return text;
}

// Waits up to ten seconds for a condition that a correct program reaches at once; a program
// that never reaches it is ended instead of hanging (a blocked thread cannot be cancelled).
void awaitOrDie(const std::function<bool()>& condition, const char* what) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            std::fprintf(stderr, "FAILED: never happened: %s\n", what);
            std::fflush(stderr);
            std::_Exit(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

class FileLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::string("filelog_tmp_") +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(fs::u8path(dir_));
        fs::create_directories(fs::u8path(dir_));
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(fs::u8path(dir_), ignored);
    }
    std::string path(const std::string& name) const { return plat::joinPath(dir_, name); }

    std::string dir_;
};

}  // namespace

TEST_F(FileLogTest, EntryLinesLevelsAndResults) {
    const std::string file = path("entries.log");
    FileLog log(file.c_str(), true, false, false, true);
    EXPECT_EQ(LOG_ERR, log.level());
    EXPECT_EQ(kHeader, normalize(readFile(file)));

    // Threshold 1: a DBG entry is dropped; logAndReturn still hands back its code.
    EXPECT_EQ(0, log.log(5, LOG_DBG, "hidden"));
    EXPECT_EQ(0, log.log(5, LOG_MSG, "hidden"));
    EXPECT_EQ(-7, log.logAndReturn(-7, LOG_DBG, "hidden %d", 1));
    EXPECT_EQ(kHeader, normalize(readFile(file)));
    EXPECT_EQ("", log.lastMessage());

    EXPECT_EQ(5, log.log(5, LOG_ERR, "hello"));
    EXPECT_EQ("hello", log.lastMessage());
    log.logf(LOG_FATAL, "v=%d %s", 42, "abc");
    EXPECT_EQ(-7, log.logAndReturn(-7, LOG_ERR, "failed: %s (%d)", "timeout", -3));
    EXPECT_EQ("failed: timeout (-3)", log.lastMessage());
    EXPECT_EQ(0, log.log(9, LOG_DBG, "still hidden"));
    EXPECT_EQ("failed: timeout (-3)", log.lastMessage());

    log.setLevel(LOG_DBG);
    EXPECT_EQ(1, log.log(1, LOG_DBG, "debug"));
    EXPECT_EQ(2, log.log(2, LOG_MSG, "progress"));
    // A null message is an empty one; levels outside the table get the name "???".
    EXPECT_EQ(3, log.log(3, LOG_ERR, nullptr));
    EXPECT_EQ("", log.lastMessage());
    EXPECT_EQ(4, log.log(4, -1, "negative level"));
    EXPECT_EQ(0, log.log(4, 7, "above threshold"));
    log.setLevel(7);
    EXPECT_EQ(4, log.log(4, 7, "level seven"));
    const std::string longText(700, 'L');
    log.logf(LOG_MSG, "<%s>", longText.c_str());
    EXPECT_EQ("<" + longText + ">", log.lastMessage());

    EXPECT_EQ(kHeader +
                  "(T) [ERR]: hello\n"
                  "(T) [FATAL]: v=42 abc\n"
                  "(T) [ERR]: failed: timeout (-3)\n"
                  "(T) [DBG]: debug\n"
                  "(T) [MSG]: progress\n"
                  "(T) [ERR]: \n"
                  "(T) [???]: negative level\n"
                  "(T) [???]: level seven\n"
                  "(T) [MSG]: <" +
                  longText + ">\n",
              normalize(readFile(file)));

    // The file is closed after every entry: once removed, the next entry creates it again.
    EXPECT_EQ(0, std::remove(file.c_str()));
    log.log(1, LOG_ERR, "after removal");
    EXPECT_EQ("(T) [ERR]: after removal\n", normalize(readFile(file)));
}

TEST_F(FileLogTest, LogTextWritesLabelThenText) {
    const std::string file = path("text.log");
    FileLog log(file.c_str(), true, false, false, true);
    EXPECT_EQ(4, log.logText(4, LOG_ERR, "the text", "the label"));
    EXPECT_EQ("the label", log.lastMessage());
    EXPECT_EQ(6, log.logText(6, LOG_FATAL, "no label", nullptr));
    // The label is text, not a format: its '%' conversions are written as they stand.
    EXPECT_EQ(7, log.logText(7, LOG_ERR, "percent", "50%d%s%n"));
    EXPECT_EQ("50%d%s%n", log.lastMessage());
    EXPECT_EQ(8, log.logText(8, LOG_ERR, nullptr, "null text"));
    EXPECT_EQ(0, log.logText(9, LOG_DBG, "filtered", "filtered label"));
    EXPECT_EQ("null text", log.lastMessage());

    EXPECT_EQ(kHeader +
                  "(T) [ERR]: the label\n"
                  "(T) [ERR]: the text\n"
                  "(T) [FATAL]: Buffer:\n"
                  "(T) [FATAL]: no label\n"
                  "(T) [ERR]: 50%d%s%n\n"
                  "(T) [ERR]: percent\n"
                  "(T) [ERR]: null text\n"
                  "(T) [ERR]: \n",
              normalize(readFile(file)));
}

TEST_F(FileLogTest, DumpLineLayout) {
    const unsigned char bytes[16] = {0x48, 0x65, 0x6c, 0x6c, 0x6f, 0x20, 0x80, 0x7f,
                                     0x21, 0x00, 0xff, 0x41, 0x42, 0x43, 0x7e, 0x1f};
    // Written out in full: 0x20, 0x80, 0x00, 0xff and 0x1f show as ".", 0x7f and 0x21 as
    // themselves.
    const std::string printableLine =
        "   48 65 6c 6c 6f 20 80 7f 21 00 ff 41 42 43 7e 1f    |Hello..\x7f!..ABC~.   \n";
    const std::string plainLine = "   48 65 6c 6c 6f 20 80 7f 21 00 ff 41 42 43 7e 1f     \n";
    ASSERT_EQ(3u + 48 + 3 + 1 + 16 + 2 + 1 + 1, printableLine.size());
    EXPECT_EQ(printableLine, expectedLine(bytes, 16, true));
    EXPECT_EQ(plainLine, expectedLine(bytes, 16, false));

    const unsigned char five[5] = {0x20, 0x80, 0x7f, 0x21, 0x00};
    const std::string fiveLine =
        "   20 80 7f 21 00 " + std::string(36, ' ') + "|..\x7f!." + std::string(13, ' ') + " \n";
    EXPECT_EQ(fiveLine, expectedLine(five, 5, true));

    const std::string file = path("layout.log");
    FileLog log(file.c_str(), true, false, false, true);
    EXPECT_EQ(2, log.logBuffer(2, LOG_ERR, bytes, 16, "Rx:", true, 0, false));
    EXPECT_EQ(3, log.logBuffer(3, LOG_ERR, bytes, 16, "Tx:", false, 0, false));
    EXPECT_EQ(4, log.logBuffer(4, LOG_ERR, five, 5, "Five:", true, 0, false));
    EXPECT_EQ(kHeader + "(T) [ERR]: Rx:\n" + printableLine + "(T) [ERR]: Tx:\n" + plainLine +
                  "(T) [ERR]: Five:\n" + fiveLine,
              normalize(readFile(file)));
    // logBuffer leaves the last message alone.
    EXPECT_EQ("", log.lastMessage());
}

TEST_F(FileLogTest, DumpLimitsSkipLineAndByteCount) {
    const std::string file = path("limits.log");
    FileLog log(file.c_str(), true, false, false, true);
    const std::vector<unsigned char> d32 = countingBytes(32);
    const std::vector<unsigned char> d33 = countingBytes(33);
    const std::vector<unsigned char> d250 = countingBytes(250);
    const std::vector<unsigned char> d251 = countingBytes(251);
    const std::vector<unsigned char> d1000 = countingBytes(1000);
    const std::vector<unsigned char> d100 = countingBytes(100);
    const std::string skip = "          ----- SKIPPED DATA -----\n";

    log.logBuffer(1, LOG_ERR, d32.data(), d32.size(), "32", true, 0, false);
    log.logBuffer(1, LOG_ERR, d33.data(), d33.size(), "33", true, 0, false);
    log.logBuffer(1, LOG_ERR, d250.data(), d250.size(), "250", true, 0, false);
    log.logBuffer(1, LOG_ERR, d251.data(), d251.size(), "251", true, 0, false);
    log.logBuffer(1, LOG_ERR, d1000.data(), d1000.size(), "1000", false, 0, false);
    // keep = 40 / 2 = 20: lines at 0 and 16, then the skip jumps to 100 - 20 = 80.
    log.logBuffer(1, LOG_ERR, d100.data(), d100.size(), "limit 40", true, 40, false);
    log.setDumpLimit(40);
    log.logBuffer(1, LOG_ERR, d100.data(), d100.size(), "default 40", true, 0, false);
    log.logBuffer(1, LOG_ERR, d100.data(), d100.size(), "limit 100", true, 100, false);
    // keep = 32 falls on a line start: the line at 32 is still shown, the skip comes at 48.
    log.logBuffer(1, LOG_ERR, d100.data(), d100.size(), "limit 64", false, 64, false);

    std::string expected = kHeader;
    expected += "(T) [ERR]: 32\n" + expectedLines(d32, {0, 16});
    expected += "(T) [ERR]: 33\n" + expectedLines(d33, {0, 16, 32}) + "   Bytes: 33\n";
    expected += "(T) [ERR]: 250\n" + expectedLines(d250, range(0, 250)) + "   Bytes: 250\n";
    // 251 bytes: keep 125; the first eight lines (the last at 112), the skip at 128, and the
    // lines resume at max(128, 251 - 125) = 128.
    expected += "(T) [ERR]: 251\n" + expectedLines(d251, range(0, 128)) + skip +
                expectedLines(d251, range(128, 251)) + "   Bytes: 251\n";
    // 1000 bytes: after the skip the lines start at 1000 - 125 = 875, off the 16-byte grid.
    expected += "(T) [ERR]: 1000\n" + expectedLines(d1000, range(0, 128), false) + skip +
                expectedLines(d1000, {875, 891, 907, 923, 939, 955, 971, 987}, false) +
                "   Bytes: 1000\n";
    const std::string cut40 =
        expectedLines(d100, {0, 16}) + skip + expectedLines(d100, {80, 96}) + "   Bytes: 100\n";
    expected += "(T) [ERR]: limit 40\n" + cut40;
    expected += "(T) [ERR]: default 40\n" + cut40;
    expected += "(T) [ERR]: limit 100\n" + expectedLines(d100, range(0, 100)) + "   Bytes: 100\n";
    expected += "(T) [ERR]: limit 64\n" + expectedLines(d100, {0, 16, 32}, false) + skip +
                expectedLines(d100, {68, 84}, false) + "   Bytes: 100\n";
    EXPECT_EQ(expected, normalize(readFile(file)));
}

TEST_F(FileLogTest, HugeBufferWritesOnlyTheKeptLines) {
    const std::string file = path("huge.log");
    FileLog log(file.c_str(), true, false, false, true);
    const std::vector<unsigned char> data = countingBytes(8u << 20);
    EXPECT_EQ(1, log.logBuffer(1, LOG_ERR, data.data(), data.size(), "big", true, 0, false));
    const size_t tail = data.size() - 125;
    EXPECT_EQ(kHeader + "(T) [ERR]: big\n" + expectedLines(data, range(0, 128)) +
                  "          ----- SKIPPED DATA -----\n" +
                  expectedLines(data, range(tail, data.size())) + "   Bytes: 8388608\n",
              normalize(readFile(file)));
}

TEST_F(FileLogTest, LabelsNoNewlineHexDumpOffAndNullData) {
    const std::string file = path("flags.log");
    FileLog log(file.c_str(), true, false, false, true);
    const unsigned char five[5] = {1, 2, 3, 0x41, 0xfe};
    EXPECT_EQ(0, log.logBuffer(1, LOG_DBG, five, 5, "filtered", true, 0, false));
    log.setLevel(LOG_DBG);
    EXPECT_EQ(1, log.logBuffer(1, LOG_DBG, five, 5, "Rx:", true, 0, true));
    EXPECT_EQ(2, log.logBuffer(2, LOG_MSG, five, 5, nullptr, false, 0, false));
    // A null pointer has no bytes to show, whatever length comes with it.
    EXPECT_EQ(3, log.logBuffer(3, LOG_ERR, nullptr, 9, "null", true, 0, false));
    log.setHexDump(false);
    EXPECT_EQ(4, log.logBuffer(4, LOG_ERR, five, 5, "off", true, 0, false));
    EXPECT_EQ(5, log.logBuffer(5, LOG_ERR, nullptr, 9, "off null", true, 0, false));
    const std::vector<unsigned char> d40 = countingBytes(40);
    EXPECT_EQ(6, log.logBuffer(6, LOG_ERR, d40.data(), 40, "off 40", true, 0, false));

    EXPECT_EQ(kHeader + "(T) [DBG]: Rx:   01 02 03 41 fe " + std::string(36, ' ') + "|...A." +
                  std::string(14, ' ') + "\n" +
                  "(T) [MSG]: Buffer:\n"
                  "   01 02 03 41 fe " +
                  std::string(37, ' ') + "\n" +
                  "(T) [ERR]: null\n"
                  "(T) [ERR]: off\n"
                  "   Bytes: 5\n"
                  "(T) [ERR]: off null\n"
                  "   Bytes: 0\n"
                  "(T) [ERR]: off 40\n"
                  "   Bytes: 40\n",
              normalize(readFile(file)));
}

TEST_F(FileLogTest, TruncationAppendAndRotation) {
    // UTF-8 name: the file system must see "é", not two Latin-1 characters.
    const std::string file = path("rot\xc3\xa9.log");
    {
        FileLog first(file.c_str(), true, false, false, true);
        first.log(1, LOG_ERR, "first run");
    }
    EXPECT_TRUE(fs::exists(fs::u8path(dir_) / fs::u8path("rot\xc3\xa9.log")));
    EXPECT_EQ(kHeader + "(T) [ERR]: first run\n", normalize(readFile(file)));
    {
        FileLog second(file.c_str(), true, false, false, true);
        second.log(1, LOG_ERR, "second run");
    }
    EXPECT_EQ(kHeader + "(T) [ERR]: second run\n", normalize(readFile(file)));
    // Without truncation the header follows the earlier entries; rotation alone does nothing.
    { FileLog appended(file.c_str(), true, false, false, false); }
    { FileLog rotateOnly(file.c_str(), true, false, true, false); }
    const std::string beforeRotation = kHeader + "(T) [ERR]: second run\n" + kHeader + kHeader;
    EXPECT_EQ(beforeRotation, normalize(readFile(file)));
    EXPECT_EQ(1, std::distance(fs::directory_iterator(fs::u8path(dir_)), {}));

    const int64_t before = plat::calendarSeconds();
    { FileLog rotated(file.c_str(), true, false, true, true); }
    const int64_t after = plat::calendarSeconds();
    EXPECT_EQ(kHeader, normalize(readFile(file)));
    std::vector<std::string> backups;
    for (const auto& entry : fs::directory_iterator(fs::u8path(dir_))) {
        const std::string name = entry.path().filename().u8string();
        if (name != "rot\xc3\xa9.log") {
            backups.push_back(name);
        }
    }
    ASSERT_EQ(1u, backups.size());
    bool named = false;
    for (int64_t second = before; second <= after; ++second) {
        named = named || backups[0] == "rot\xc3\xa9.log_" + calendarSuffix(second) + ".log";
    }
    EXPECT_TRUE(named) << backups[0];
    EXPECT_EQ(beforeRotation, normalize(readFile(plat::joinPath(dir_, backups[0]))));

    // A rename that fails (directories stand where the backup would go) is ignored: the file is
    // started afresh all the same.
    const std::string blocked = path("blocked.log");
    {
        FileLog earlier(blocked.c_str(), true, false, false, true);
        earlier.log(1, LOG_ERR, "before");
    }
    const int64_t now = plat::calendarSeconds();
    for (int64_t second = now - 1; second <= now + 3; ++second) {
        fs::create_directories(fs::u8path(dir_) /
                               ("blocked.log_" + calendarSuffix(second) + ".log") / "taken");
    }
    {
        FileLog rotatedAgain(blocked.c_str(), true, false, true, true);
        rotatedAgain.log(1, LOG_ERR, "after a failed rename");
    }
    EXPECT_EQ(kHeader + "(T) [ERR]: after a failed rename\n", normalize(readFile(blocked)));
}

TEST_F(FileLogTest, UncreatableFileLosesEntriesButKeepsResults) {
    const std::string file = plat::joinPath(path("missing"), "x.log");
    FileLog log(file.c_str(), true, false, true, true);
    EXPECT_EQ(1, log.openFile(false, false));
    EXPECT_EQ(5, log.log(5, LOG_ERR, "lost"));
    EXPECT_EQ("lost", log.lastMessage());
    EXPECT_EQ(-7, log.logAndReturn(-7, LOG_ERR, "lost %d", 2));
    EXPECT_EQ(6, log.logText(6, LOG_ERR, "text", "label"));
    const unsigned char byte = 1;
    EXPECT_EQ(7, log.logBuffer(7, LOG_ERR, &byte, 1, "buffer", true, 0, false));
    EXPECT_FALSE(plat::fileExists(file));
    EXPECT_FALSE(plat::fileExists(path("missing")));
}

TEST_F(FileLogTest, EchoGoesToStandardOutput) {
    const std::string file = path("echo.log");
    const unsigned char two[2] = {0x30, 0x31};
    testing::internal::CaptureStdout();
    {
        FileLog log(file.c_str(), false, true, false, true);
        log.setLevel(LOG_DBG);
        log.log(1, LOG_MSG, "to the console");
        log.logText(1, LOG_DBG, "text", "label");
        log.logBuffer(1, LOG_ERR, two, 2, "Rx:", true, 0, false);
        log.log(1, 3 + 1, "filtered");
    }
    const std::string console = testing::internal::GetCapturedStdout();
    // The header goes only to the file; with write-to-file off the entries only to the console.
    EXPECT_EQ(kHeader, normalize(readFile(file)));
    EXPECT_EQ(
        "(T) [MSG]: to the console\n"
        "(T) [DBG]: label\n"
        "(T) [DBG]: text\n"
        "(T) [ERR]: Rx:\n" +
            expectedLine(two, 2, true),
        normalize(console));
}

TEST_F(FileLogTest, TimeStampFormats) {
    FileLog log(path("stamp.log").c_str(), true, false, false, true);
    std::string dated;
    std::string plain;
    log.timeStamp(dated, true);
    log.timeStamp(plain, false);
    ASSERT_TRUE(matchesShape(dated, 0, "DD/DD/DDDD DD:DD:DD.DDD")) << dated;
    ASSERT_EQ(23u, dated.size());
    ASSERT_TRUE(matchesShape(plain, 0, "DD_DD:DD:DD.DDD")) << plain;
    ASSERT_EQ(15u, plain.size());

    std::tm t{};
    t.tm_mday = std::atoi(dated.substr(0, 2).c_str());
    t.tm_mon = std::atoi(dated.substr(3, 2).c_str()) - 1;
    t.tm_year = std::atoi(dated.substr(6, 4).c_str()) - 1900;
    t.tm_hour = std::atoi(dated.substr(11, 2).c_str());
    t.tm_min = std::atoi(dated.substr(14, 2).c_str());
    t.tm_sec = std::atoi(dated.substr(17, 2).c_str());
    t.tm_isdst = -1;
    EXPECT_LT(t.tm_hour, 24);
    EXPECT_LT(t.tm_min, 60);
    EXPECT_LT(t.tm_sec, 60);
    const double difference = std::difftime(std::time(nullptr), std::mktime(&t));
    EXPECT_LE(difference, 2.0) << dated;
    EXPECT_GE(difference, -2.0) << dated;
    const int day = std::atoi(plain.substr(0, 2).c_str());
    EXPECT_GE(day, 1);
    EXPECT_LE(day, 31);
    EXPECT_LT(std::atoi(plain.substr(3, 2).c_str()), 24);
}

TEST_F(FileLogTest, ThreadsNeverSplitLabelAndDump) {
    const std::string file = path("threads.log");
    FileLog log(file.c_str(), true, false, false, true);
    const std::vector<unsigned char> data = countingBytes(20);
    const int rounds = 60;
    std::atomic<int> ready{0};
    auto start = [&ready] {
        ready.fetch_add(1);
        while (ready.load() < 3) {
            std::this_thread::yield();
        }
    };
    std::thread texts([&] {
        start();
        for (int i = 0; i < rounds; ++i) {
            log.logText(1, LOG_ERR, "text A", "label A");
        }
    });
    std::thread buffers([&] {
        start();
        for (int i = 0; i < rounds; ++i) {
            log.logBuffer(1, LOG_ERR, data.data(), data.size(), "label B", true, 0, false);
        }
    });
    std::thread singles([&] {
        start();
        for (int i = 0; i < rounds; ++i) {
            log.logf(LOG_ERR, "single %d", i);
        }
    });
    texts.join();
    buffers.join();
    singles.join();

    const std::vector<std::string> lines = splitLines(normalize(readFile(file)));
    const std::string dump1 = expectedLine(data.data(), 16, true);
    const std::string dump2 = expectedLine(data.data() + 16, 4, true);
    int labelsA = 0;
    int labelsB = 0;
    int singlesSeen = 0;
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(kHeader, lines[0]);
    for (size_t i = 1; i < lines.size(); ++i) {
        if (lines[i] == "(T) [ERR]: label A\n") {
            ++labelsA;
            ASSERT_LT(i + 1, lines.size());
            ASSERT_EQ("(T) [ERR]: text A\n", lines[i + 1]) << "line " << i;
            i += 1;
        } else if (lines[i] == "(T) [ERR]: label B\n") {
            ++labelsB;
            ASSERT_LT(i + 2, lines.size());
            ASSERT_EQ(dump1, lines[i + 1]) << "line " << i;
            ASSERT_EQ(dump2, lines[i + 2]) << "line " << i;
            i += 2;
        } else {
            ASSERT_EQ(0u, lines[i].rfind("(T) [ERR]: single ", 0)) << "line " << i << lines[i];
            ++singlesSeen;
        }
    }
    EXPECT_EQ(rounds, labelsA);
    EXPECT_EQ(rounds, labelsB);
    EXPECT_EQ(rounds, singlesSeen);
}

TEST(ThreadSyncObject, UnlockByAnotherThreadDoesNothing) {
    ThreadSyncObject sync;
    // Not held at all: an unlock is harmless.
    sync.unlock();
    EXPECT_FALSE(sync.ownedByCaller());

    sync.lock();
    EXPECT_TRUE(sync.ownedByCaller());
    bool strangerOwned = true;
    std::thread stranger([&] {
        strangerOwned = sync.ownedByCaller();
        sync.unlock();
        sync.unlock();
    });
    stranger.join();
    EXPECT_FALSE(strangerOwned);
    EXPECT_TRUE(sync.ownedByCaller());

    // A third thread still finds the lock held, and gets it once the owner leaves.
    std::atomic<bool> trying{false};
    std::atomic<bool> acquired{false};
    std::thread third([&] {
        trying = true;
        sync.lock();
        acquired = true;
        sync.unlock();
    });
    awaitOrDie([&] { return trying.load(); }, "third thread started");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(acquired.load());
    sync.unlock();
    awaitOrDie([&] { return acquired.load(); }, "lock released by its owner");
    third.join();
    EXPECT_FALSE(sync.ownedByCaller());
}

TEST(ThreadSyncObject, RecursionAndGuard) {
    ThreadSyncObject sync;
    sync.lock();
    sync.lock();
    sync.unlock();
    EXPECT_TRUE(sync.ownedByCaller());

    std::atomic<bool> trying{false};
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        trying = true;
        ThreadSyncGuard guard(&sync);
        acquired = true;
    });
    awaitOrDie([&] { return trying.load(); }, "other thread started");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(acquired.load()) << "one of two entries is still held";
    sync.unlock();
    awaitOrDie([&] { return acquired.load(); }, "both entries left");
    other.join();

    // An extra unlock by the former owner does not unbalance the count.
    sync.unlock();
    EXPECT_FALSE(sync.ownedByCaller());
    {
        ThreadSyncGuard outer(&sync);
        ThreadSyncGuard inner(&sync);
        EXPECT_TRUE(sync.ownedByCaller());
    }
    EXPECT_FALSE(sync.ownedByCaller());

    // The guard also lets go when an exception passes through it.
    try {
        ThreadSyncGuard guard(&sync);
        EXPECT_TRUE(sync.ownedByCaller());
        throw std::runtime_error("passing through");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(sync.ownedByCaller());
    std::atomic<bool> later{false};
    std::thread after([&] {
        ThreadSyncGuard guard(&sync);
        later = true;
    });
    awaitOrDie([&] { return later.load(); }, "lock free after the exception");
    after.join();
}
