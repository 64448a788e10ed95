// Helpers shared by the device and protocol tests: a log directory beside the test programs, logs
// read back without header and time stamps, the bytes a bridge saw and its line settings, dump
// lines, time taken, and the fixture of the device suites.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform.h"
#include "refhost/HostFramework.h"
#include "simctl.h"
#include "test_files.h"

namespace hvtest {

using Bytes = std::vector<uint8_t>;

// A device object owned by the test and given back through its release operation.
template <typename Device>
struct Releaser {
    void operator()(Device* device) const { device->release(); }
};
template <typename Device>
using DevPtr = std::unique_ptr<Device, Releaser<Device>>;

inline std::string logDirectory() {
    static const std::string dir = [] {
        const std::string path = plat::joinPath(plat::executableDirectory(), "hvdev_logs");
        std::filesystem::create_directories(std::filesystem::u8path(path));
        return path;
    }();
    return dir;
}

// Seconds a call takes; with the clock's rounding a wait of t seconds measures t - kClockSlack.
constexpr double kClockSlack = 0.005;
template <typename Call>
double secondsTaken(Call&& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A log's entries, one per line, without the header line, time stamps and line endings.
inline std::vector<std::string> logLines(const std::string& path) {
    static const std::regex stamp("^\\(\\d{2}_\\d{2}:\\d{2}:\\d{2}\\.\\d{3}\\) ");
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
        // Written in text mode: Windows ends each line with CR LF.
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(std::regex_replace(line, stamp, ""));
    }
    return lines;
}

inline size_t countLines(const std::vector<std::string>& lines, const std::string& wanted) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), wanted));
}

inline Bytes written(int bridge) {
    Bytes bytes(sim_written(bridge, nullptr, 0));
    sim_written(bridge, bytes.data(), bytes.size());
    return bytes;
}

inline std::string writtenText(int bridge) {
    const Bytes bytes = written(bridge);
    return std::string(bytes.begin(), bytes.end());
}

// The line settings left on a bridge, in one comparable line.
inline std::string settingsText(int bridge) {
    SimSettings s{};
    if (sim_settings(bridge, &s) != 0) {
        return "<no bridge " + std::to_string(bridge) + ">";
    }
    char text[200];
    std::snprintf(text, sizeof(text),
                  "open %d purges %u/%u timeouts %u/%u latency %u usb %u/%u baud %u %u%u%u "
                  "flow %x bits %x/%x",
                  s.open, s.purge_count, s.last_purge_mask, s.read_timeout_ms, s.write_timeout_ms,
                  s.latency_ms, s.usb_in_size, s.usb_out_size, s.baud_rate, s.word_length,
                  s.stop_bits, s.parity, s.flow_control, s.bit_mask, s.bit_mode);
    return text;
}

// The commands a simulated source recorded, in order, through its count and copy functions.
inline std::vector<std::string> recordedCommands(int bridge, int (*count)(int),
                                                 int (*copy)(int, int, char*, size_t)) {
    std::vector<std::string> out;
    const int total = count(bridge);
    for (int i = 0; i < total; ++i) {
        const int length = copy(bridge, i, nullptr, 0);
        std::string text(length > 0 ? static_cast<size_t>(length) + 1 : 1, '\0');
        copy(bridge, i, &text[0], text.size());
        text.resize(text.size() - 1);
        out.push_back(text);
    }
    return out;
}

// One dump line of the given bytes with the printable column, as the log writes it.
inline std::string dumpLine(const Bytes& bytes) {
    return dumpLine(bytes.data(), bytes.size());
}

// A device suite: a fresh stand-in for each test, the device made for the bridge the test
// attached, its log read back without header and stamps.
template <typename Device>
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override { sim_reset(); }
    void TearDown() override {
        dev.reset();
        sim_reset();
    }
    void make(const char* description, int attached) {
        bridge = attached;
        dev.reset(new Device(description, &framework, logDirectory()));
    }
    std::vector<std::string> log() { return logLines(dev->logPath()); }

    host::Framework framework{logDirectory()};
    int bridge = 0;
    DevPtr<Device> dev;
};

}  // namespace hvtest
