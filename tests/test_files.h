// Files read back by the tests whole, in text mode as the log writes them (on Windows the line
// ends come back as "\n"); "<missing>" when a file cannot be opened. Each test's own directory;
// the log's dump lines.
#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>

#include "platform.h"

namespace hvtest {

inline std::string readFile(const std::string& path) {
    std::FILE* file = plat::openFile(path, "r");
    if (file == nullptr) {
        return "<missing>";
    }
    std::string text;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) {
        text.append(buffer, got);
    }
    std::fclose(file);
    return text;
}

// An empty directory of the given name beside the test programs.
inline std::string freshDirectory(const std::string& name) {
    const std::string dir = plat::joinPath(plat::executableDirectory(), name);
    std::filesystem::remove_all(std::filesystem::u8path(dir));
    std::filesystem::create_directories(std::filesystem::u8path(dir));
    return dir;
}

// One dump line as the log writes it, without its line end: byte k's hex digits at column 3k,
// "|" at 51 and its character at 52 + k (0x21 to 0x7f as itself, others ".") in 70 columns, or
// only the first 51 without the characters; after the three leading spaces, one trailing one.
inline std::string dumpLine(const unsigned char* bytes, size_t count, bool printable = true) {
    std::string columns(70, ' ');
    const char* digits = "0123456789abcdef";
    for (size_t k = 0; k < count; ++k) {
        columns[3 * k] = digits[bytes[k] / 16];
        columns[3 * k + 1] = digits[bytes[k] % 16];
        columns[52 + k] = bytes[k] >= 0x21 && bytes[k] <= 0x7f ? static_cast<char>(bytes[k]) : '.';
    }
    columns[51] = '|';
    columns.resize(printable ? 70 : 51);
    return "   " + columns + " ";
}

}  // namespace hvtest
