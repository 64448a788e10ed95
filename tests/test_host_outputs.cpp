// What hvsrc-host shows of a run: a line lost in the middle of a monitor, JSON that parses back
// into the facts of each command, and the plot's series in bounded memory.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "host_run.h"
#include "output/BoundedSeries.h"
#include "test_files.h"

namespace {

namespace fs = std::filesystem;
using hostrun::host;
using hostrun::kFast;
using hostrun::Result;
using hostrun::writeFile;

// A bridge pulled out in the middle of a monitor and put back: its rows have no values (never a
// 0) and say why, the error stream raises the alarm when it stopped and says when it answered
// again, and the summary counts the failed readings; exit 5.
TEST(Host, MonitorShowsALostLineAsNoAnswer) {
    writeFile("unplug.scn",
              "hvsrc | Tessaro HV Source: 1 | sources=1 load0=10\n"
              "bias | BiasModule: 3 | limits=0:90 load=100\n");
    fs::remove("unplug.csv");
    fs::remove("unplug2.csv");
    // Pulls the bridge (1) or puts it back (0) `delay` ms after the CSV has `rows` lines.
    const auto pullAt = [](const char* csv, size_t rows, int delay, int unplugged) {
        const auto lines = [&] {
            const std::string text = hvtest::readFile(csv);
            return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
        };
        // Bounded, so that a run that never writes the file fails instead of hanging.
        for (int waited = 0; lines() < rows && waited < 30000; waited += 5) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        sim_unplug(1, unplugged);
    };
    std::thread pull([&] {
        pullAt("unplug.csv", 3, 0, 1);
        pullAt("unplug.csv", 6, 0, 0);
    });
    const Result run = host(
        "--scenario unplug.scn set 0 0 100 + monitor --interval 0.1 --count 8 --csv unplug.csv");
    pull.join();
    EXPECT_EQ(5, run.rc) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, std::regex("ALARM lost: hv:1/src0 stopped answering"
                                                      "[\\s\\S]*1 alarm:\n.*  lost  hv:1/src0")))
        << run.err;
    const std::regex stopped("hv:1/src0 stopped answering: .+\n"),
        again("hv:1/src0 answers again\n");
    EXPECT_EQ(1, std::distance(std::sregex_iterator(run.err.begin(), run.err.end(), stopped),
                               std::sregex_iterator()))
        << run.err;
    EXPECT_TRUE(std::regex_search(run.err, again)) << run.err;
    std::smatch failed;
    ASSERT_TRUE(
        std::regex_search(run.err, failed, std::regex("hv:1/src0: ([1-7]) of 8 readings failed\n")))
        << run.err;
    const auto matches = [](const std::string& text, const char* what) {
        const std::regex pattern(what);
        return static_cast<size_t>(std::distance(
            std::sregex_iterator(text.begin(), text.end(), pattern), std::sregex_iterator()));
    };
    EXPECT_EQ(std::stoul(failed[1]), matches(run.out, "no answer")) << run.out;
    // Each row: the source's values and "ok", or empty cells and the reason (quoted when it
    // holds a comma).
    const std::string csv = hvtest::readFile("unplug.csv");
    const std::string reason = ",,(\"[^\"\\n]+\"|[^,\"\\n]+),0,0,ok";
    const std::string row = "\\d+\\.\\d{3},[-0-9T:.Z]+,(100,10,ok,0,0,ok|" + reason + ")\n";
    EXPECT_TRUE(std::regex_match(csv.substr(csv.find('\n') + 1), std::regex("(" + row + "){8}")))
        << csv;
    EXPECT_EQ(std::stoul(failed[1]), matches(csv, reason.c_str())) << csv;
    // Pulled out during a ramp down: that source is reported, the other goes on down to 0 V.
    std::thread pullAgain([&] { pullAt("unplug2.csv", 2, 250, 1); });
    const Result ramp = host(
        "--scenario unplug.scn set 0 0 100 + set bias:3 0 50 + monitor --count 1 --csv "
        "unplug2.csv + ramp all 0 --rate 100");
    pullAgain.join();
    EXPECT_EQ(1, ramp.rc);
    EXPECT_TRUE(
        std::regex_search(ramp.err, std::regex("device 0 source 0 failed \\d+ V \\(-?\\d+\\): "
                                               ".+; the other sources go on down\n")))
        << ramp.err;
    EXPECT_TRUE(
        std::regex_search(ramp.out, std::regex("device 0 source 0: left at [1-9]\\d* V set, "
                                               "no answer: .+\ndevice 1 source 0: at 0\\.0 V, "
                                               "0\\.000 mA\n$")))
        << ramp.out;
}

// Every --json line of every command parses, errors too; the facts each command states, by JSON
// pointer into the lines.
TEST(Host, JsonParsesBack) {
    writeFile("fast.scn", kFast);
    const auto lines = [](const std::string& out) {
        nlohmann::json all = nlohmann::json::array();
        std::istringstream in(out);
        for (std::string line; std::getline(in, line);) {
            all.push_back(nlohmann::json::parse(line));
        }
        return all;
    };
    const Result run = host(
        "--json --scenario fast.scn set 0 0 100 + get hv:1 Voltage1 + put 0 Voltage2 5 + list + "
        "params 0 + read 0 + read 1 + monitor --count 2 --interval 0.01 + ramp bias:3 0 10.5 "
        "--step 10 --rate 1000");
    ASSERT_EQ(0, run.rc) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("device 0 source 0 set to 100 V\n"));
    const nlohmann::json all = lines(run.out);
    ASSERT_EQ(13u, all.size()) << run.out;
    const nlohmann::json refused = lines(host("--json --scenario fast.scn set 0 0 600").out),
                         usage = lines(host("--json bogus").out);
    const std::pair<std::string, nlohmann::json> facts[] = {
        {"/0", nlohmann::json::parse(R"({"command": "set", "dev": 0, "address": "hv:1", "src": 0,
            "asked_volts": 100.0, "sent_volts": 100.0})")},
        {"/1", nlohmann::json::parse(R"j({"command": "get", "dev": 0, "address": "hv:1",
            "name": "Voltage1", "value": 0, "meaning":
            "SRC 0: V sent when written, not read back (read shows the set voltage)"})j")},
        {"/2", nlohmann::json::parse(R"({"command": "put", "dev": 0, "address": "hv:1",
            "name": "Voltage2", "value": 5})")},
        {"/3/devices/1/kind", "legacy HV source"},
        {"/3/devices/2/address", "bias:3"},
        {"/3/devices/2/polarity", "POS"},
        {"/3/devices/0/polarity", nullptr},
        {"/3/devices/0/limits_v", {{-500.0, 500.0}, {0.0, 1000.0}}},
        {"/4/command", "params"},
        {"/4/params/10/value", 10000},
        {"/5/sources/0", nlohmann::json::parse(R"({"src": 0, "volts": 100.0, "current": 10.0,
            "current_unit": "uA", "set_volts": 100.0, "set_by": "set"})")},
        {"/6/sources/0", nlohmann::json::parse(R"({"src": 0, "volts": 0.0, "current": null,
            "current_unit": null, "set_volts": null, "set_by": null})")},
        {"/7/sources/0/volts", 100.0},
        {"/7/sources/1/volts", 5.0},
        {"/8/sources/0/address", "hv:1"},
        {"/9/event", "end"},
        {"/9/samples", 2},
        {"/9/failed_readings", nlohmann::json::object()},
        {"/10/event", "step"},
        {"/10/set_volts", 10.0},
        {"/11/set_volts", 10.5},
        {"/12/event", "end"},
        {"/12/reached", true},
        {"/12/volts", 10.5},
        {"/12/current", 0.1},
    };
    for (const auto& [pointer, value] : facts) {
        EXPECT_EQ(value, all.at(nlohmann::json::json_pointer(pointer))) << pointer;
    }
    EXPECT_EQ(12u, all[4]["params"].size());
    EXPECT_EQ(5u, all[7]["sources"].size());
    EXPECT_LT(all[7]["time_s"].get<double>(), all[8]["time_s"].get<double>());
    EXPECT_TRUE(
        std::regex_match(all[7]["time_utc"].get<std::string>(),
                         std::regex("20\\d\\d-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z")));
    ASSERT_EQ(1u, refused.size());
    EXPECT_EQ(2, refused[0]["exit"]);
    EXPECT_EQ(
        "in 'set 0 0 600': 600 V is above the upper limit 500 V of device 0 source 0; "
        "nothing was run",
        refused[0]["error"]);
    ASSERT_EQ(1u, usage.size());
    EXPECT_EQ(nlohmann::json::parse(R"({"error": "unknown command 'bogus'", "exit": 2})"),
              usage[0]);
}

// The plot's memory stays the same however long the run; every spike survives the merging of
// buckets; no sample is missing (a rising channel: each bucket starts after the one before ends).
TEST(BoundedSeries, KeepsSpikesInFixedMemory) {
    constexpr int kEvery = 7919;  // more samples apart than one bucket ends up holding
    host::BoundedSeries series(3, 100);
    const size_t footprint = series.footprintBytes();
    std::vector<int> expected, spikes;
    for (int i = 0; i < 100000; ++i) {
        const bool spike = i > 0 && i % kEvery == 0;
        series.add(i * 0.01, {spike ? 1000.0 + i : 1.0, i == 70000 ? -5.0 : 2.0, 1.0 * i});
        if (spike) {
            expected.push_back(i);
        }
    }
    EXPECT_EQ(footprint, series.footprintBytes());
    EXPECT_EQ(100000u, series.samples());
    const std::vector<host::BoundedSeries::Point> points = series.points(0);
    EXPECT_LE(points.size(), 200u);
    for (const auto& p : points) {
        if (p.value != 1.0) {
            spikes.push_back(static_cast<int>(p.value - 1000.0));
            EXPECT_EQ(spikes.back() * 0.01, p.time);
        }
    }
    EXPECT_EQ(expected, spikes);
    const std::vector<host::BoundedSeries::Point> rising = series.points(2);
    ASSERT_EQ(0u, rising.size() % 2);
    EXPECT_EQ(0.0, rising.front().value);
    EXPECT_EQ(99999.0, rising.back().value);
    for (size_t k = 1; k + 1 < rising.size(); k += 2) {
        EXPECT_EQ(rising[k].value + 1, rising[k + 1].value) << k;
    }
    double lo = 0.0, hi = 0.0;
    EXPECT_TRUE(series.range(1, lo, hi) && lo == -5.0 && hi == 2.0) << lo << " " << hi;
}

}  // namespace
