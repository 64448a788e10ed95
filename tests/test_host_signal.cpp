// hvsrc-host stopped with Ctrl-C (SIGINT) halfway through a monitor and a ramp: it finishes what
// it is doing, keeps every row taken, never jumps, and exits 130. Linux only (POSIX processes).
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"

extern char** environ;

namespace {

using hvtest::readFile;

// Starts hvsrc-host with its output streams in files.
pid_t start(const std::vector<std::string>& args, const std::string& out, const std::string& err) {
    const std::string program = std::string(std::getenv("HVSRC_BIN_DIR")) + "/hvsrc-host";
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    return rc == 0 ? pid : -1;
}

size_t count(const std::string& text, const std::regex& what) {
    return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), what),
                                             std::sregex_iterator()));
}

// Waits until `file` holds `lines` matches (the program still running), sends SIGINT and returns
// the exit status.
int interruptWhen(pid_t pid, const std::string& file, const std::regex& what, size_t lines) {
    int status = 0;
    while (count(readFile(file), what) < lines) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ADD_FAILURE() << "hvsrc-host ended before it was interrupted";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGINT);
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class HostSignal : public ::testing::Test {
protected:
    void SetUp() override {
        // Rows left by an earlier run would be taken for this run's.
        for (const char* file : {"sig.csv", "sig.svg", "ramp.out"}) {
            std::remove(file);
        }
        std::ofstream("sig.scn") << "hvsrc | Tessaro HV Source: 1 | sources=2 load0=10\n"
                                    "bias | BiasModule: 3 | limits=0:90\n";
    }
};

TEST_F(HostSignal, MonitorKeepsEveryRowAndDrawsItsPlot) {
    const pid_t pid =
        start({"--scenario", "sig.scn", "--log-dir", "sig_logs", "set", "0", "0", "50", "+",
               "monitor", "--interval", "0.02", "--csv", "sig.csv", "--svg", "sig.svg"},
              "sig.out", "sig.err");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(130, interruptWhen(pid, "sig.csv", std::regex("\n"), 5));
    // The header, then nothing but whole rows, the last one ended too.
    const std::string text = readFile("sig.csv");
    const std::string header =
        "time_s,dev0/src0 HV source V,dev0/src0 HV source I (uA),dev0/src1 HV source V,dev0/src1 "
        "HV source I (uA),dev1/src0 bias module V,dev1/src0 bias module I (mA)\n";
    const std::string row = "\\d+\\.\\d{3},50,5,0,0,0,0\n";
    EXPECT_EQ(0u, text.find(header));
    EXPECT_TRUE(std::regex_match(text.substr(header.size()), std::regex("(" + row + ")*"))) << text;
    const size_t rows = count(text, std::regex(row));
    const std::string err = readFile("sig.err");
    EXPECT_NE(std::string::npos,
              err.find("interrupted after " + std::to_string(rows) + " samples\n"))
        << err;
    const std::string svg = readFile("sig.svg");
    EXPECT_NE(std::string::npos, svg.find("<polyline"));
    EXPECT_EQ("</svg>\n", svg.substr(svg.size() - 7));
}

TEST_F(HostSignal, RampStopsWhereItIsWithoutAJump) {
    const pid_t pid = start({"--scenario", "sig.scn", "--log-dir", "sig_logs", "ramp", "0", "1",
                             "900", "--rate", "100", "--step", "1"},
                            "ramp.out", "ramp.err");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(130, interruptWhen(pid, "ramp.out", std::regex(" V set, reads "), 5));
    std::istringstream out(readFile("ramp.out"));
    std::string line;
    std::getline(out, line);
    EXPECT_EQ("device 0 source 1: from 0 V (measured) to 900 V at 100 V/s, 1 V a step", line);
    int expected = 1;
    std::smatch m;
    while (std::getline(out, line) &&
           std::regex_match(line, m, std::regex("device 0 source 1: (\\d+) V set, reads .*"))) {
        EXPECT_EQ(expected++, std::stoi(m[1])) << line;
    }
    EXPECT_GE(expected, 6);
    EXPECT_EQ("interrupted: device 0 source 1 left at " + std::to_string(expected - 1) + " V set",
              line);
    EXPECT_FALSE(std::getline(out, line));
}

}  // namespace
