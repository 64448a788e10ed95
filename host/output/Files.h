// The files hvsrc-host writes: its log folder, the monitor's CSV (a row at a time) and checks
// that an output file can be written before anything is loaded.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace host {

// Empty when a file can be written at `path` (it is not a folder, its folder exists and takes
// new files, an existing file can be opened for writing), else why not. The file is left as it
// was: an existing one untouched, a new one removed again.
std::string checkWritable(const std::string& path);

// The folder this run's logs go to. With a folder given: that folder, created with its parents
// when missing. Without: a new folder hvsrc-logs/YYYYMMDD-HHMMSS (with -2, -3, ... when that
// exists) under the current folder. False with a message when it cannot be made or written.
bool prepareLogFolder(const std::string& given, std::string& folder, std::string& error);

// Writes CSV a row at a time; each row is flushed to the file as soon as it is written.
class CsvWriter {
public:
    CsvWriter() = default;
    ~CsvWriter();
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    bool open(const std::string& path);
    bool isOpen() const { return file_ != nullptr; }
    // False when the row could not be written.
    bool writeRow(const std::vector<std::string>& fields);
    void close();

private:
    std::FILE* file_ = nullptr;
};

// A field quoted as CSV needs it.
std::string csvField(const std::string& text);

}  // namespace host
