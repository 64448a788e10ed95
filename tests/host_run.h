// hvsrc-host run in-process as a user runs it: its entry with this build's plug-in on the
// stand-in driver this test links, a session's paced input, the user's state folder, scenario
// files, and whole outputs compared as text.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/HostApp.h"
#include "platform.h"
#include "simctl.h"

namespace hostrun {

namespace fs = std::filesystem;

struct Result {
    int rc;
    std::string out, err;
};

// A session's input: the text up to each '\f' at once, then a pause, so that what follows comes
// while the request before it runs.
class PausingInput : public std::streambuf {
public:
    explicit PausingInput(std::string text) : text_(std::move(text)) {}

protected:
    int_type underflow() override {
        if (next_ >= text_.size()) {
            return traits_type::eof();
        }
        if (text_[next_] == '\f') {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ++next_;
        }
        const size_t end = std::min(text_.find('\f', next_), text_.size());
        chunk_ = text_.substr(next_, end - next_);
        next_ = end;
        setg(&chunk_[0], &chunk_[0], &chunk_[0] + chunk_.size());
        return chunk_.empty() ? underflow() : traits_type::to_int_type(chunk_[0]);
    }

private:
    std::string text_, chunk_;
    size_t next_ = 0;
};

// This build's plug-in on the stand-in this test links (beside it on Windows, in sim/ on Linux);
// `input` is what a session reads.
inline Result host(const std::string& args, bool ownLogFolder = true, const char* input = "") {
    const std::string bin = plat::joinPath(plat::executableDirectory(), "..");
    const std::string beside = plat::joinPath(plat::executableDirectory(), plat::d2xxLibraryName());
    const std::string driver = plat::fileExists(beside) ? beside
                                                        : plat::joinPath(plat::joinPath(bin, "sim"),
                                                                         plat::d2xxLibraryName());
    std::vector<std::string> full = {
        "--lib", plat::joinPath(bin, plat::sharedLibraryFileName("hvsrc")), "--driver", driver};
    if (ownLogFolder) {
        full.insert(full.end(), {"--log-dir", "host_logs"});
    }
    std::istringstream words(args);
    for (std::string w; words >> w;) {
        full.push_back(w);
    }
    sim_reset();
    std::ostringstream out, err;
    PausingInput text(input);
    std::istream in(&text);
    const int rc = host::hostMain(full, in, out, err);
    return {rc, out.str(), err.str()};
}

// Makes ./state (absolute) the user's state folder on both platforms; returns it.
inline std::string useStateFolder() {
    static std::string xdg, local;
    const std::string folder = fs::absolute("state").u8string();
    xdg = "XDG_STATE_HOME=" + folder;
    local = "LOCALAPPDATA=" + folder;
    putenv(&xdg[0]);
    putenv(&local[0]);
    return folder;
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(fs::u8path(path), std::ios::binary) << text;
}

// Sources that follow their set voltage at once, so readings are exact.
inline const char* const kFast =
    "hvsrc | Tessaro HV Source: 1 | firmware=\"HVS 2.3 sim\" sources=2 range0=-500:500 "
    "range1=0:1000 load0=10 load1=20\nhvold | HV source AVR |\n"
    "bias | BiasModule: 3 | firmware=BM-1.04-sim limits=0:90 polarity=POS load=100\n";

// The whole output as a regex: what `text` says, character for character ("@" any line's rest).
inline std::string lit(const std::string& text) {
    return "^" +
           std::regex_replace(
               std::regex_replace(text, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&"),
               std::regex("@"), "[^\n]*") +
           "$";
}

}  // namespace hostrun
