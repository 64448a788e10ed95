#include "output/Files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform.h"

namespace host {

namespace {

namespace fs = std::filesystem;

// How many same-second folders a run tries before it gives up.
constexpr int kMaxFolderTries = 100;

std::string stamp() {
    std::tm t{};
    if (!plat::localTime(plat::calendarSeconds(), &t)) {
        return "run";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%04d%02d%02d-%02d%02d%02d", t.tm_year + 1900,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return buffer;
}

// Why `path` cannot be opened for writing: what the system says of it or of its folder.
std::string whyNotWritable(const std::string& path, int error) {
    std::error_code ec;
    const fs::path parent = fs::u8path(path).parent_path();
    if (!parent.empty() && !fs::exists(parent, ec)) {
        return "no such folder: " + parent.u8string();
    }
    if (!parent.empty() && !fs::is_directory(parent, ec)) {
        return parent.u8string() + " is not a folder";
    }
    return std::generic_category().message(error);
}

}  // namespace

std::string checkWritable(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::u8path(path);
    if (fs::is_directory(p, ec)) {
        return path + " is a folder";
    }
    const bool existed = fs::exists(p, ec);
    // Append mode leaves an existing file as it is.
    errno = 0;
    std::FILE* file = plat::openFile(path, "ab");
    if (file == nullptr) {
        return "cannot write " + path + ": " + whyNotWritable(path, errno);
    }
    std::fclose(file);
    if (!existed) {
        fs::remove(p, ec);
    }
    return "";
}

namespace {

// Moves the logs a run left in `folder` into previous/STAMP and drops the oldest runs there
// beyond kKeptRuns. Empty when nothing was there; else where they went, or why they could not.
std::string moveAsidePreviousLogs(const std::string& folder, bool& ok) {
    ok = true;
    std::error_code ec;
    std::vector<fs::path> logs;
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::u8path(folder), ec)) {
        if (entry.is_regular_file(ec) && entry.path().extension() == ".log") {
            logs.push_back(entry.path());
        }
    }
    if (logs.empty()) {
        return "";
    }
    const fs::path previous = fs::u8path(folder) / "previous";
    fs::path aside;
    for (int n = 1; n <= kMaxFolderTries && aside.empty(); ++n) {
        const fs::path candidate =
            previous / fs::u8path(n == 1 ? stamp() : stamp() + "-" + std::to_string(n));
        fs::create_directories(previous, ec);
        if (fs::create_directory(candidate, ec) && !ec) {
            aside = candidate;
        }
    }
    if (aside.empty()) {
        ok = false;
        return "cannot move the previous run's logs aside into " + previous.u8string() + ": " +
               (ec ? ec.message() : "no free name");
    }
    for (const fs::path& log : logs) {
        fs::rename(log, aside / log.filename(), ec);
        if (ec) {
            ok = false;
            return "cannot move " + log.u8string() + " aside: " + ec.message();
        }
    }
    std::vector<fs::path> runs;
    for (const fs::directory_entry& entry : fs::directory_iterator(previous, ec)) {
        if (entry.is_directory(ec)) {
            runs.push_back(entry.path());
        }
    }
    // The names are times, with -2, -3, ... for runs in the same second: the first in this
    // order are the oldest.
    const auto order = [](const fs::path& run) {
        const std::string name = run.filename().u8string();
        const size_t dash = name.find('-', name.find('-') + 1);
        return std::make_pair(name.substr(0, dash),
                              dash == std::string::npos ? 1L : std::atol(name.c_str() + dash + 1));
    };
    std::sort(runs.begin(), runs.end(),
              [&](const fs::path& a, const fs::path& b) { return order(a) < order(b); });
    for (size_t i = 0; i + kKeptRuns < runs.size(); ++i) {
        fs::remove_all(runs[i], ec);
    }
    return "the previous run's logs were moved to " + aside.u8string();
}

}  // namespace

bool prepareLogFolder(const std::string& given, const std::string& stateFolder, std::string& folder,
                      std::string& note, std::string& error) {
    std::error_code ec;
    if (!given.empty()) {
        folder = given;
        fs::create_directories(fs::u8path(given), ec);
        if (!fs::is_directory(fs::u8path(given), ec)) {
            error = "cannot create the log folder " + given + ": " +
                    (ec ? ec.message() : whyNotWritable(plat::joinPath(given, "x"), 0));
            return false;
        }
        bool moved = true;
        note = moveAsidePreviousLogs(folder, moved);
        if (!moved) {
            error = note + " (--log-dir names another folder)";
            return false;
        }
    } else {
        if (stateFolder.empty()) {
            error =
                "no folder for the logs: the environment names no state folder " +
                std::string("(XDG_STATE_HOME or HOME; LOCALAPPDATA on Windows); give --log-dir");
            return false;
        }
        const std::string base = plat::joinPath(stateFolder, "hvsrc");
        fs::create_directories(fs::u8path(base), ec);
        if (!fs::is_directory(fs::u8path(base), ec)) {
            error = "cannot create the log folder " + base + ": " +
                    (ec ? ec.message() : std::string("not a folder")) +
                    "; give --log-dir for another folder";
            return false;
        }
        const std::string name = stamp();
        bool made = false;
        for (int n = 1; n <= kMaxFolderTries && !made; ++n) {
            folder = plat::joinPath(base, n == 1 ? name : name + "-" + std::to_string(n));
            // create_directory is false when the folder is there already: another run has it.
            made = fs::create_directory(fs::u8path(folder), ec) && !ec;
        }
        if (!made) {
            error = "cannot create a log folder under " + base + ": " +
                    (ec ? ec.message() : std::string("every name is taken")) +
                    "; give --log-dir for another folder";
            return false;
        }
    }
    const std::string problem = checkWritable(plat::joinPath(folder, "hvsrc.log"));
    if (!problem.empty()) {
        error = "cannot write logs into " + folder + " (" + problem +
                "); give --log-dir for another folder";
        return false;
    }
    return true;
}

bool writeTextFile(const std::string& path, const std::string& text) {
    std::FILE* file = plat::openFile(path, "wb");
    if (file == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && ok;
}

std::string firstLine(const std::string& path) {
    std::FILE* file = plat::openFile(path, "rb");
    if (file == nullptr) {
        return "";
    }
    std::string line;
    for (int ch = std::fgetc(file); ch != EOF && ch != '\n'; ch = std::fgetc(file)) {
        line += static_cast<char>(ch);
    }
    std::fclose(file);
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

CsvWriter::~CsvWriter() {
    close();
}

bool CsvWriter::open(const std::string& path, bool append) {
    close();
    file_ = plat::openFile(path, append ? "ab" : "wb");
    return file_ != nullptr;
}

bool CsvWriter::writeRow(const std::vector<std::string>& fields) {
    if (file_ == nullptr) {
        return false;
    }
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        line += (i == 0 ? "" : ",") + csvField(fields[i]);
    }
    line += "\n";
    return std::fwrite(line.data(), 1, line.size(), file_) == line.size() &&
           std::fflush(file_) == 0;
}

void CsvWriter::close() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
    }
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') {
            quoted += '"';
        }
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace host
