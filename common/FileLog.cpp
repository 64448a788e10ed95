#include "FileLog.h"

#include <cmath>
#include <cstring>
#include <ctime>

#include "TextUtil.h"
#include "platform.h"

namespace {

const char* const kLevelNames[] = {"FATAL", "ERR", "MSG", "DBG"};

// Levels outside the table still get a name of the same shape, so such an entry is visible
// as what it is instead of reading past the table.
const char* levelName(int level) {
    if (level < LOG_FATAL || level > LOG_DBG) {
        return "???";
    }
    return kLevelNames[level];
}

// The log's wall clock: its own anchor, taken on first use, advanced by the performance counter.
double logTime() {
    static const ClockAnchor clock = calibrateClock();
    return clock.now();
}

std::tm localCalendar(int64_t seconds) {
    std::tm calendar;
    std::memset(&calendar, 0, sizeof(calendar));
    if (!plat::localTime(seconds, &calendar)) {
        std::memset(&calendar, 0, sizeof(calendar));
    }
    return calendar;
}

const char kHexDigits[] = "0123456789abcdef";

// One dump line: 70 columns, "%02x " groups at 3k, "|" at 51 and the printable column at 52 + k.
const size_t kLineWidth = 70;
const size_t kBarColumn = 51;

}  // namespace

FileLog::FileLog(const char* path, bool writeToFile, bool echo, bool rotate, bool truncate)
    : path_(path != nullptr ? path : ""), writeToFile_(writeToFile), echo_(echo) {
    ThreadSyncGuard guard(&lock_);
    if (openFile(truncate, rotate) == 0) {
        std::string stamp;
        timeStamp(stamp, true);
        std::fprintf(file_, "################# LOG OPENED (%s) ###################### \n",
                     stamp.c_str());
    }
    closeFile();
}

FileLog::~FileLog() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

int FileLog::openFile(bool truncate, bool rotate) {
    ThreadSyncGuard guard(&lock_);
    // A stream still open from an earlier call would otherwise be lost with its handle.
    closeFile();
    if (truncate && rotate && plat::fileExists(path_)) {
        const std::tm now = localCalendar(plat::calendarSeconds());
        char suffix[128];
        std::snprintf(suffix, sizeof(suffix), "%02d%02d%04d_%02d%02d%02d", now.tm_mday,
                      now.tm_mon + 1, now.tm_year + 1900, now.tm_hour, now.tm_min, now.tm_sec);
        // A failed rename leaves the old file in place; the open below then truncates it.
        plat::renameFile(path_, path_ + "_" + suffix + ".log");
    }
    file_ = plat::openFile(path_, truncate ? "w" : "a");
    return file_ != nullptr ? 0 : 1;
}

void FileLog::closeFile() {
    ThreadSyncGuard guard(&lock_);
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

void FileLog::writeLine(int level, const char* message) {
    std::string stamp;
    timeStamp(stamp, false);
    const char* name = levelName(level);
    if (echo_) {
        std::printf("(%s) [%s]: %s\n", stamp.c_str(), name, message);
        std::fflush(stdout);
    }
    if (writeToFile_ && openFile(false, false) == 0) {
        std::fprintf(file_, "(%s) [%s]: %s\n", stamp.c_str(), name, message);
        std::fflush(file_);
    }
    closeFile();
}

int FileLog::log(int code, int level, const char* message) {
    ThreadSyncGuard guard(&lock_);
    if (level > level_) {
        return 0;
    }
    const char* text = message != nullptr ? message : "";
    writeLine(level, text);
    lastMessage_ = text;
    return code;
}

void FileLog::logv(int level, const char* format, va_list args) {
    ThreadSyncGuard guard(&lock_);
    const std::string message = formatStringV(format, args);
    log(0, level, message.c_str());
}

void FileLog::logf(int level, const char* format, ...) {
    ThreadSyncGuard guard(&lock_);
    va_list args;
    va_start(args, format);
    logv(level, format, args);
    va_end(args);
}

int FileLog::logAndReturn(int code, int level, const char* format, ...) {
    ThreadSyncGuard guard(&lock_);
    va_list args;
    va_start(args, format);
    logv(level, format, args);
    va_end(args);
    return code;
}

int FileLog::logText(int code, int level, const char* text, const char* label) {
    ThreadSyncGuard guard(&lock_);
    // The label is written as it stands: a '%' in it is text, never a conversion that would
    // read arguments nobody passed.
    logAndReturn(code, level, "%s", label != nullptr ? label : "Buffer:");
    if (level > level_) {
        return 0;
    }
    writeLine(level, text != nullptr ? text : "");
    return code;
}

int FileLog::logBuffer(int code, int level, const void* data, size_t length, const char* label,
                       bool printable, size_t limit, bool noNewline) {
    ThreadSyncGuard guard(&lock_);
    if (level > level_) {
        return 0;
    }
    std::string stamp;
    timeStamp(stamp, false);
    const char* name = levelName(level);
    const char* labelText = label != nullptr ? label : "Buffer:";
    const char* lineEnd = noNewline ? "" : "\n";
    if (echo_) {
        std::printf("(%s) [%s]: %s%s", stamp.c_str(), name, labelText, lineEnd);
        std::fflush(stdout);
    }
    if (writeToFile_ && openFile(false, false) == 0) {
        std::fprintf(file_, "(%s) [%s]: %s%s", stamp.c_str(), name, labelText, lineEnd);
        std::fflush(file_);
    }
    closeFile();

    // No bytes behind a null pointer, whatever length came with it.
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    const size_t count = bytes != nullptr ? length : 0;
    const size_t dumpLimit = limit != 0 ? limit : dumpLimit_;
    if (echo_) {
        dumpHex(stdout, bytes, count, dumpLimit, printable);
        std::fflush(stdout);
    }
    if (writeToFile_ && openFile(false, false) == 0) {
        dumpHex(file_, bytes, count, dumpLimit, printable);
        std::fflush(file_);
    }
    closeFile();
    return code;
}

void FileLog::dumpHex(std::FILE* stream, const unsigned char* data, size_t length, size_t limit,
                      bool printable) {
    if (!hexDump_) {
        std::fprintf(stream, "   Bytes: %llu\n", static_cast<unsigned long long>(length));
        return;
    }
    const size_t keep = limit >= length ? limit : limit / 2;
    bool skipped = false;
    size_t position = 0;
    while (position < length) {
        if (position > keep && !skipped) {
            std::fputs("          ----- SKIPPED DATA -----\n", stream);
            skipped = true;
            if (length - keep > position) {
                position = length - keep;
            }
            // A limit below 2 keeps no tail: no line follows the skip.
            if (position >= length) {
                break;
            }
        }
        char line[kLineWidth + 1];
        std::memset(line, ' ', kLineWidth);
        const size_t count = length - position < 16 ? length - position : 16;
        for (size_t k = 0; k < count; ++k) {
            const unsigned char byte = data[position + k];
            line[3 * k] = kHexDigits[byte >> 4];
            line[3 * k + 1] = kHexDigits[byte & 0x0f];
        }
        if (printable) {
            line[kBarColumn] = '|';
            for (size_t k = 0; k < count; ++k) {
                const unsigned char byte = data[position + k];
                line[kBarColumn + 1 + k] =
                    byte >= 0x21 && byte <= 0x7f ? static_cast<char>(byte) : '.';
            }
            line[kLineWidth] = '\0';
        } else {
            line[kBarColumn] = '\0';
        }
        std::fprintf(stream, "   %s \n", line);
        position += 16;
    }
    if (length > 32) {
        std::fprintf(stream, "   Bytes: %llu\n", static_cast<unsigned long long>(length));
    }
}

void FileLog::timeStamp(std::string& out, bool withDate) {
    ThreadSyncGuard guard(&lock_);
    const double now = logTime();
    const double whole = std::floor(now);
    int milliseconds = static_cast<int>((now - whole) * 1000.0);
    if (milliseconds < 0) {
        milliseconds = 0;
    } else if (milliseconds > 999) {
        milliseconds = 999;
    }
    const std::tm calendar = localCalendar(static_cast<int64_t>(whole));
    char text[128];
    if (withDate) {
        std::snprintf(text, sizeof(text), "%02d/%02d/%04d %02d:%02d:%02d.%03d", calendar.tm_mday,
                      calendar.tm_mon + 1, calendar.tm_year + 1900, calendar.tm_hour % 24,
                      calendar.tm_min % 60, calendar.tm_sec % 60, milliseconds);
    } else {
        std::snprintf(text, sizeof(text), "%02d_%02d:%02d:%02d.%03d", calendar.tm_mday,
                      calendar.tm_hour % 24, calendar.tm_min % 60, calendar.tm_sec % 60,
                      milliseconds);
    }
    out = text;
}

std::string FileLog::lastMessage() {
    ThreadSyncGuard guard(&lock_);
    return lastMessage_;
}
