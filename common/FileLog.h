// Time-stamped, levelled log file with hex dumps. The file is opened for each entry and closed
// right after it; every operation holds the log's own recursive lock.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ThreadSync.h"

enum LogLevel : int32_t {
    LOG_FATAL = 0,
    LOG_ERR = 1,
    LOG_MSG = 2,
    LOG_DBG = 3,
};

class FileLog {
public:
    FileLog(const char* path, bool writeToFile, bool echo, bool rotate, bool truncate);
    virtual ~FileLog();
    FileLog(const FileLog&) = delete;
    FileLog& operator=(const FileLog&) = delete;

    // 0 when the stream is open afterwards, 1 when not.
    int openFile(bool truncate, bool rotate);
    void closeFile();

    // The code when the entry was written, 0 when its level was filtered out.
    int log(int code, int level, const char* message);
    void logv(int level, const char* format, va_list args);
    void logf(int level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Always returns the code.
    int logAndReturn(int code, int level, const char* format, ...)
        __attribute__((format(printf, 4, 5)));
    int logText(int code, int level, const char* text, const char* label);
    int logBuffer(int code, int level, const void* data, size_t length, const char* label,
                  bool printable, size_t limit, bool noNewline);

    void timeStamp(std::string& out, bool withDate);
    std::string lastMessage();

    int level() const { return level_; }
    void setLevel(int level) { level_ = level; }
    bool hexDump() const { return hexDump_; }
    void setHexDump(bool on) { hexDump_ = on; }
    size_t dumpLimit() const { return dumpLimit_; }
    void setDumpLimit(size_t limit) { dumpLimit_ = limit; }
    const std::string& path() const { return path_; }

private:
    void dumpHex(std::FILE* stream, const unsigned char* data, size_t length, size_t limit,
                 bool printable);
    void writeLine(int level, const char* message);

    std::FILE* file_ = nullptr;
    std::string path_;
    std::string lastMessage_;
    bool writeToFile_;
    bool echo_;
    bool hexDump_ = true;
    int32_t level_ = LOG_ERR;
    size_t dumpLimit_ = 250;
    ThreadSyncObject lock_;
};
