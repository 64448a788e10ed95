// hvsrc-host stopped with SIGTERM halfway through a monitor and Ctrl-C (SIGINT) halfway through a
// ramp: it finishes what it is doing, keeps every row taken, never jumps, and exits 128 + the
// signal. Linux only (POSIX processes).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"

extern char** environ;

namespace {

using hvtest::readFile;

size_t count(const std::string& text, const std::regex& what) {
    return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), what),
                                             std::sregex_iterator()));
}

// Runs hvsrc-host on sig.scn with its output streams in <name>.out and <name>.err, sends `signal`
// once <name>.<watched> holds `lines` matches of `what` (the program still running) and returns
// the exit status.
int interrupted(const std::string& name, std::vector<std::string> args, const char* watched,
                const std::regex& what, size_t lines, int signal) {
    std::ofstream("sig.scn") << "hvsrc | Tessaro HV Source: 1 | sources=2 load0=10\n"
                                "bias | BiasModule: 3 | limits=0:90\n";
    for (const char* suffix : {".out", ".err", ".csv", ".svg"}) {
        std::remove((name + suffix).c_str());  // left by an earlier run
    }
    const std::string program = std::string(std::getenv("HVSRC_BIN_DIR")) + "/hvsrc-host";
    args.insert(args.begin(), {program, "--scenario", "sig.scn", "--log-dir", "sig_logs"});
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, (name + ".out").c_str(), O_WRONLY | O_CREAT, 0644);
    posix_spawn_file_actions_addopen(&files, 2, (name + ".err").c_str(), O_WRONLY | O_CREAT, 0644);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    int status = 0;
    while (spawned == 0 && count(readFile(name + watched), what) < lines) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            ADD_FAILURE() << "hvsrc-host ended before it was interrupted";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, signal);
    waitpid(pid, &status, 0);
    return spawned == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(HostSignal, MonitorKeepsEveryRowAndDrawsItsPlot) {
    EXPECT_EQ(128 + SIGTERM, interrupted("sig",
                                         {"set", "0", "0", "50", "+", "monitor", "--interval",
                                          "0.02", "--csv", "sig.csv", "--svg", "sig.svg"},
                                         ".csv", std::regex("\n"), 5, SIGTERM));
    // The header, then nothing but whole rows, the last one ended too.
    const std::string text = readFile("sig.csv");
    const std::string header =
        "time_s,time_utc,hv:1/src0 HV source V,hv:1/src0 HV source I (uA),hv:1/src0 status,"
        "hv:1/src1 HV source V,hv:1/src1 HV source I (uA),hv:1/src1 status,bias:3/src0 bias "
        "module V,bias:3/src0 bias module I (mA),bias:3/src0 status\n";
    const std::string row = "\\d+\\.\\d{3},[-0-9T:.]+Z,50,5,ok,0,0,ok,0,0,ok\n";
    EXPECT_EQ(0u, text.find(header));
    EXPECT_TRUE(std::regex_match(text.substr(header.size()), std::regex("(" + row + ")*"))) << text;
    const std::string said =
        "interrupted after " + std::to_string(count(text, std::regex(row))) + " samples\n";
    EXPECT_NE(std::string::npos, readFile("sig.err").find(said)) << readFile("sig.err");
    const std::string svg = readFile("sig.svg");
    EXPECT_NE(std::string::npos, svg.find("<polyline"));
    EXPECT_EQ("</svg>\n", svg.substr(svg.size() - 7));
}

TEST(HostSignal, RampStopsWhereItIsWithoutAJump) {
    EXPECT_EQ(130, interrupted("ramp", {"ramp", "0", "1", "900", "--rate", "100", "--step", "1"},
                               ".out", std::regex(" V set, reads "), 5, SIGINT));
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
