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
// when missing; the library starts its logs afresh, so logs of an earlier run found there are
// moved aside first into previous/YYYYMMDD-HHMMSS (`note` says where), keeping the latest
// kKeptRuns runs. Without: a new folder YYYYMMDD-HHMMSS (with -2, -3, ... when that exists)
// under `stateFolder`/hvsrc. False with a message naming the reason when it cannot be made or
// written.
bool prepareLogFolder(const std::string& given, const std::string& stateFolder, std::string& folder,
                      std::string& note, std::string& error);
constexpr size_t kKeptRuns = 10;

// Writes a whole file afresh; false when it could not be written.
bool writeTextFile(const std::string& path, const std::string& text);

// The first line of a file without its line end; empty when it has none or cannot be read.
std::string firstLine(const std::string& path);

// Writes CSV a row at a time; each row is flushed to the file as soon as it is written.
class CsvWriter {
public:
    CsvWriter() = default;
    ~CsvWriter();
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    // Starts the file afresh, or adds to its end.
    bool open(const std::string& path, bool append);
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
