#include "output/Files.h"

#include <ctime>
#include <filesystem>
#include <system_error>

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

}  // namespace

std::string checkWritable(const std::string& path) {
    std::error_code ec;
    const fs::path p = fs::u8path(path);
    if (fs::is_directory(p, ec)) {
        return path + " is a folder";
    }
    const bool existed = fs::exists(p, ec);
    // Append mode leaves an existing file as it is.
    std::FILE* file = plat::openFile(path, "ab");
    if (file == nullptr) {
        return "cannot write " + path;
    }
    std::fclose(file);
    if (!existed) {
        fs::remove(p, ec);
    }
    return "";
}

bool prepareLogFolder(const std::string& given, std::string& folder, std::string& error) {
    std::error_code ec;
    if (!given.empty()) {
        folder = given;
        fs::create_directories(fs::u8path(given), ec);
        if (!fs::is_directory(fs::u8path(given), ec)) {
            error = "cannot create the log folder " + given;
            return false;
        }
    } else {
        const std::string base = "hvsrc-logs";
        fs::create_directories(fs::u8path(base), ec);
        const std::string name = stamp();
        bool made = false;
        for (int n = 1; n <= kMaxFolderTries && !made; ++n) {
            folder = plat::joinPath(base, n == 1 ? name : name + "-" + std::to_string(n));
            // create_directory is false when the folder is there already: another run has it.
            made = fs::create_directory(fs::u8path(folder), ec) && !ec;
        }
        if (!made) {
            error = "cannot create a log folder under " + base;
            return false;
        }
    }
    const std::string problem = checkWritable(plat::joinPath(folder, "hvsrc.log"));
    if (!problem.empty()) {
        error = "cannot write logs into " + folder;
        return false;
    }
    return true;
}

CsvWriter::~CsvWriter() {
    close();
}

bool CsvWriter::open(const std::string& path) {
    close();
    file_ = plat::openFile(path, "wb");
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
