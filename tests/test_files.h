// Files read back by the tests whole, in text mode as the log writes them (on Windows the line
// ends come back as "\n"); "<missing>" when a file cannot be opened. Each test's own directory.
#pragma once

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

}  // namespace hvtest
