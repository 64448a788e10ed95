#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <numeric>
#include <regex>
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
const std::string kSkip = "          ----- SKIPPED DATA -----\n";

// Replaces well-formed time stamps by "(T)", or "(D)" with a date; a malformed one stays.
std::string normalize(const std::string& text) {
    static const std::regex plain("\\(\\d\\d_\\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\)");
    static const std::regex dated("\\(\\d\\d/\\d\\d/\\d{4} \\d\\d:\\d\\d:\\d\\d\\.\\d{3}\\)");
    return std::regex_replace(std::regex_replace(text, plain, "(T)"), dated, "(D)");
}

std::string logged(const std::string& path) {
    return normalize(hvtest::readFile(path));
}

std::string expectedLine(const unsigned char* bytes, size_t count, bool printable) {
    return hvtest::dumpLine(bytes, count, printable) + "\n";
}

// The dump lines of `data` starting at `from`, `from` + 16, ... below `to`.
std::string expectedLines(const std::vector<unsigned char>& data, size_t from, size_t to,
                          bool printable = true) {
    std::string text;
    for (size_t start = from; start < to; start += 16) {
        const size_t count = data.size() - start < 16 ? data.size() - start : 16;
        text += expectedLine(data.data() + start, count, printable);
    }
    return text;
}

std::vector<unsigned char> countingBytes(size_t length) {
    std::vector<unsigned char> data(length);
    std::iota(data.begin(), data.end(), 0);
    return data;
}

std::string calendarText(int64_t seconds, const char* format) {
    std::tm t{};
    plat::localTime(seconds, &t);
    char text[64];
    std::strftime(text, sizeof(text), format, &t);
    return text;
}

// The lowest free descriptor of the C library: an entry that left its file open takes it.
int lowestFreeDescriptor(const std::string& probe) {
    std::FILE* file = plat::openFile(probe, "r");
    const int descriptor = fileno(file);
    std::fclose(file);
    return descriptor;
}

class FileLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            hvtest::freshDirectory(std::string("filelog_") +
                                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    std::string path(const std::string& name) const { return plat::joinPath(dir_, name); }

    std::string dir_;
};

}  // namespace

TEST_F(FileLogTest, EntryLinesLevelsResultsAndStamps) {
    const std::string file = path("entries.log");
    FileLog log(file.c_str(), true, false, false, true);
    EXPECT_EQ(LOG_ERR, log.level());
    EXPECT_EQ(kHeader, logged(file));
    // Above the threshold an entry is dropped, leaving the last message; logAndReturn still hands
    // back its code.
    EXPECT_EQ(0, log.log(5, LOG_MSG, "hidden"));
    EXPECT_EQ(-7, log.logAndReturn(-7, LOG_DBG, "hidden %d", 1));
    EXPECT_EQ(0, log.logText(9, LOG_MSG, "filtered", "filtered label"));
    EXPECT_EQ("", log.lastMessage());

    EXPECT_EQ(5, log.log(5, LOG_ERR, "hello"));
    EXPECT_EQ("hello", log.lastMessage());
    log.logf(LOG_FATAL, "v=%d %s", 42, "abc");
    EXPECT_EQ(-7, log.logAndReturn(-7, LOG_ERR, "failed: %s (%d)", "timeout", -3));
    EXPECT_EQ("failed: timeout (-3)", log.lastMessage());
    // logText: the label (text, not a format: its '%' conversions stand), then the text.
    EXPECT_EQ(4, log.logText(4, LOG_ERR, "the text", "the label"));
    EXPECT_EQ(6, log.logText(6, LOG_FATAL, "no label", nullptr));
    EXPECT_EQ(7, log.logText(7, LOG_ERR, "percent", "50%d%s%n"));
    EXPECT_EQ(8, log.logText(8, LOG_ERR, nullptr, "null text"));
    EXPECT_EQ("null text", log.lastMessage());

    log.setLevel(LOG_DBG);
    EXPECT_EQ(1, log.log(1, LOG_DBG, "debug"));
    // A null message is an empty one; levels outside the table get the name "???".
    EXPECT_EQ(3, log.log(3, LOG_ERR, nullptr));
    EXPECT_EQ("", log.lastMessage());
    EXPECT_EQ(4, log.log(4, -1, "negative level"));
    EXPECT_EQ(0, log.log(4, LOG_DBG + 1, "above threshold"));
    log.setLevel(LOG_DBG + 1);
    EXPECT_EQ(4, log.log(4, LOG_DBG + 1, "level four"));

    EXPECT_EQ(kHeader +
                  "(T) [ERR]: hello\n(T) [FATAL]: v=42 abc\n(T) [ERR]: failed: timeout (-3)\n"
                  "(T) [ERR]: the label\n(T) [ERR]: the text\n(T) [FATAL]: Buffer:\n"
                  "(T) [FATAL]: no label\n(T) [ERR]: 50%d%s%n\n(T) [ERR]: percent\n"
                  "(T) [ERR]: null text\n(T) [ERR]: \n(T) [DBG]: debug\n(T) [ERR]: \n"
                  "(T) [???]: negative level\n(T) [???]: level four\n",
              logged(file));

    // Both stamps read the local time of now: "dd/mm/yyyy hh:mm:ss.mmm" and "dd_hh:mm:ss.mmm".
    const int64_t before = plat::calendarSeconds();
    std::string dated;
    std::string plain;
    log.timeStamp(dated, true);
    log.timeStamp(plain, false);
    bool datedOk = false;
    bool plainOk = false;
    for (int64_t s = before - 1; s <= plat::calendarSeconds(); ++s) {
        datedOk |=
            std::regex_match(dated, std::regex(calendarText(s, "%d/%m/%Y %H:%M:%S\\.\\d{3}")));
        plainOk |= std::regex_match(plain, std::regex(calendarText(s, "%d_%H:%M:%S\\.\\d{3}")));
    }
    EXPECT_TRUE(datedOk && plainOk) << dated << " " << plain;
}

// The file is opened for each entry and closed right after it: no descriptor stays taken, and
// the file can be removed (on Windows only when closed) and is created again by the next entry.
TEST_F(FileLogTest, FileIsClosedAfterEveryEntry) {
    const std::string file = path("closed.log");
    const std::string probe = path("probe.txt");
    std::fclose(plat::openFile(probe, "w"));
    const int free = lowestFreeDescriptor(probe);
    ASSERT_GE(free, 0);
    FileLog log(file.c_str(), true, false, false, true);
    EXPECT_EQ(free, lowestFreeDescriptor(probe)) << "after the header";
    const unsigned char byte = 0x41;
    const std::function<void()> entries[] = {
        [&] { log.log(1, LOG_ERR, "entry"); },
        [&] { log.logText(1, LOG_ERR, "text", "label"); },
        [&] { log.logBuffer(1, LOG_ERR, &byte, 1, "dump", true, 0, false); },
    };
    for (const auto& entry : entries) {
        EXPECT_EQ(0, std::remove(file.c_str()));
        entry();
        EXPECT_EQ(free, lowestFreeDescriptor(probe));
    }
    EXPECT_EQ("(T) [ERR]: dump\n" + expectedLine(&byte, 1, true), logged(file));
}

TEST_F(FileLogTest, DumpLinesLimitsAndSkip) {
    const std::string file = path("dump.log");
    FileLog log(file.c_str(), true, false, false, true);
    const unsigned char bytes[16] = {0x48, 0x65, 0x6c, 0x6c, 0x6f, 0x20, 0x80, 0x7f,
                                     0x21, 0x00, 0xff, 0x41, 0x42, 0x43, 0x7e, 0x1f};
    // Written out in full once (0x20, 0x80, 0x00, 0xff and 0x1f show as "."); the other lines
    // come from the same rule.
    const std::string printableLine =
        "   48 65 6c 6c 6f 20 80 7f 21 00 ff 41 42 43 7e 1f    |Hello..\x7f!..ABC~.   \n";
    ASSERT_EQ(printableLine, expectedLine(bytes, 16, true));
    EXPECT_EQ(2, log.logBuffer(2, LOG_ERR, bytes, 16, "Rx:", true, 0, false));
    EXPECT_EQ("", log.lastMessage());  // a dump leaves the last message alone
    std::string expected = kHeader + "(T) [ERR]: Rx:\n" + printableLine;

    // Up to 32 bytes without the count; a limit (0: the log's own, 250 unless set) keeps that many
    // bytes whole, and beyond it the first and last limit / 2 around the skip line.
    struct Case {
        size_t length, limit, logLimit;
        bool printable;
        size_t headEnd, tailStart;  // lines from 0 below headEnd; after the skip from tailStart
    };
    const Case cases[] = {
        {32, 0, 250, true, 32, 0},
        {33, 0, 250, true, 48, 0},
        {250, 0, 250, true, 256, 0},
        // 251 bytes: keep 125; lines up to 112, the skip at 128, the lines resume at max(128, 126).
        {251, 0, 250, true, 128, 128},
        // 1000 bytes: after the skip the lines start at 1000 - 125 = 875, off the 16-byte grid.
        {1000, 0, 250, false, 128, 875},
        // keep = 40 / 2 = 20: lines at 0 and 16, then the skip jumps to 100 - 20 = 80.
        {100, 40, 250, true, 32, 80},
        {100, 0, 40, true, 32, 80},
        {100, 100, 250, true, 112, 0},
        // keep = 32 falls on a line start: the line at 32 is still shown, the skip comes at 48.
        {100, 64, 250, false, 48, 68},
        // A limit of 0 keeps no tail: one line, the skip, nothing after it.
        {18, 0, 0, false, 16, 18},
    };
    for (const Case& c : cases) {
        const std::vector<unsigned char> data = countingBytes(c.length);
        const std::string label = std::to_string(c.length) + "/" + std::to_string(c.limit);
        log.setDumpLimit(c.logLimit);
        log.logBuffer(1, LOG_ERR, data.data(), data.size(), label.c_str(), c.printable, c.limit,
                      false);
        expected += "(T) [ERR]: " + label + "\n" + expectedLines(data, 0, c.headEnd, c.printable);
        if (c.tailStart != 0) {
            expected += kSkip + expectedLines(data, c.tailStart, c.length, c.printable);
        }
        expected += c.length > 32 ? "   Bytes: " + std::to_string(c.length) + "\n" : "";
    }

    // A label without its newline, the default label, a null pointer (no bytes to show, whatever
    // the length).
    const unsigned char five[5] = {1, 2, 3, 0x41, 0xfe};
    EXPECT_EQ(0, log.logBuffer(1, LOG_DBG, five, 5, "filtered", true, 0, false));
    log.setLevel(LOG_DBG);
    EXPECT_EQ(1, log.logBuffer(1, LOG_DBG, five, 5, "Rx:", true, 0, true));
    EXPECT_EQ(2, log.logBuffer(2, LOG_MSG, five, 5, nullptr, false, 0, false));
    EXPECT_EQ(3, log.logBuffer(3, LOG_ERR, nullptr, 9, "null", true, 0, false));
    EXPECT_EQ(expected + "(T) [DBG]: Rx:" + expectedLine(five, 5, true) + "(T) [MSG]: Buffer:\n" +
                  expectedLine(five, 5, false) + "(T) [ERR]: null\n",
              logged(file));
}

// Each run starts the file afresh; a UTF-8 name reaches the file system as "é", not two Latin-1
// characters.
TEST_F(FileLogTest, EachRunTruncatesTheFile) {
    const std::string name = "run\xc3\xa9.log";
    const std::string file = path(name);
    for (const char* run : {"first run", "second run"}) {
        FileLog log(file.c_str(), true, false, false, true);
        log.log(1, LOG_ERR, run);
    }
    EXPECT_TRUE(fs::exists(fs::u8path(dir_) / fs::u8path(name)));
    EXPECT_EQ(kHeader + "(T) [ERR]: second run\n", logged(file));
}

TEST_F(FileLogTest, UncreatableFileLosesEntriesButKeepsResults) {
    const std::string file = plat::joinPath(path("missing"), "x.log");
    FileLog log(file.c_str(), true, false, true, true);
    EXPECT_EQ(1, log.openFile(false, false));
    EXPECT_EQ(5, log.log(5, LOG_ERR, "lost"));
    EXPECT_EQ("lost", log.lastMessage());
    const unsigned char byte = 1;
    EXPECT_EQ(7, log.logBuffer(7, LOG_ERR, &byte, 1, "buffer", true, 0, false));
    EXPECT_FALSE(plat::fileExists(path("missing")));
}

TEST_F(FileLogTest, ThreadsNeverSplitLabelAndDump) {
    const std::string file = path("threads.log");
    FileLog log(file.c_str(), true, false, false, true);
    const std::vector<unsigned char> data = countingBytes(20);
    const std::function<void()> writers[] = {
        [&] { log.logText(1, LOG_ERR, "text A", "label A"); },
        [&] { log.logBuffer(1, LOG_ERR, data.data(), data.size(), "label B", true, 0, false); },
        [&] { log.logf(LOG_ERR, "single %d", 1); }};
    std::vector<std::thread> threads;
    for (const auto& writer : writers) {
        threads.emplace_back([&writer] {
            for (int i = 0; i < 60; ++i) {
                writer();
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    // Every entry is whole: a label is followed by its text or its dump lines.
    const std::string entries[] = {"(T) [ERR]: label A\n(T) [ERR]: text A\n",
                                   "(T) [ERR]: label B\n" + expectedLines(data, 0, 20),
                                   "(T) [ERR]: single 1\n"};
    const std::string text = logged(file);
    std::vector<int> seen(3, 0);
    for (size_t at = kHeader.size(), w = 0; at < text.size(); at += entries[w].size(), ++seen[w]) {
        for (w = 0; w < 3 && text.compare(at, entries[w].size(), entries[w]) != 0; ++w) {
        }
        ASSERT_LT(w, 3u) << "at " << at << ": " << text.substr(at, 80);
    }
    EXPECT_EQ(0u, text.rfind(kHeader, 0));
    EXPECT_EQ(std::vector<int>(3, 60), seen);
}

// A recursive lock whose unlock by any thread but its owner does nothing.
TEST(ThreadSyncObject, RecursionOwnershipAndUnlockByAnotherThread) {
    ThreadSyncObject sync;
    sync.unlock();  // not held at all: harmless
    sync.lock();
    sync.lock();
    sync.unlock();
    EXPECT_TRUE(sync.ownedByCaller());  // one of two entries is still held
    std::atomic<bool> acquired{false};
    std::thread other([&] {
        EXPECT_FALSE(sync.ownedByCaller());
        sync.unlock();
        ThreadSyncGuard guard(&sync);  // waits until the owner has left
        acquired = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(acquired.load());
    sync.unlock();
    other.join();
    EXPECT_TRUE(acquired.load());
    sync.unlock();  // an extra unlock by the former owner does not unbalance the count:
    sync.lock();    // taken once more, it is held again
    EXPECT_TRUE(sync.ownedByCaller());
    sync.unlock();
}
