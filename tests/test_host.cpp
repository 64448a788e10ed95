// hvsrc-host run as a user runs it, through the same entry as the program's main: its standard
// output, its error stream and its exit status, and what reached the simulated sources.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "BoundedSeries.h"
#include "HostApp.h"
#include "platform.h"
#include "sim_kinds.h"
#include "version.h"

namespace {

namespace fs = std::filesystem;

// Bridges in the order the scenarios attach them.
constexpr int kHv = 1;
constexpr int kBias = 3;

struct Result {
    int rc;
    std::string out;
    std::string err;
};

std::string binDirectory() {
    return plat::joinPath(plat::executableDirectory(), "..");
}

// The stand-in this program is linked with: beside it (Windows) or in sim/ (Linux), so that the
// host program and this test see the same simulated sources.
std::string driverPath() {
    const std::string beside = plat::joinPath(plat::executableDirectory(), plat::d2xxLibraryName());
    return plat::fileExists(beside)
               ? beside
               : plat::joinPath(plat::joinPath(binDirectory(), "sim"), plat::d2xxLibraryName());
}

Result host(std::vector<std::string> args, bool ownLogFolder = true) {
    std::vector<std::string> full = {
        "--lib", plat::joinPath(binDirectory(), plat::sharedLibraryFileName("hvsrc")), "--driver",
        driverPath()};
    if (ownLogFolder) {
        full.insert(full.end(), {"--log-dir", "host_logs"});
    }
    full.insert(full.end(), args.begin(), args.end());
    sim_reset();
    std::ostringstream out;
    std::ostringstream err;
    const int rc = host::hostMain(full, out, err);
    return {rc, out.str(), err.str()};
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;) {
        out.push_back(w);
    }
    return out;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(fs::u8path(path), std::ios::binary) << text;
}

// Set requests that reached any source, the scenarios' bridges being 1 to 3 in kind order.
size_t setsReceived() {
    size_t sets = 0;
    for (int k = 0; k < simkind::kKinds; ++k) {
        for (const simkind::Request& r : simkind::requestsSince(simkind::Kind(k), k + 1, 0)) {
            sets += r.source >= 0 ? 1 : 0;
        }
    }
    return sets;
}

class Host : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Sources that follow their set voltage at once, so readings are exact.
        writeFile(
            "fast.scn",
            "hvsrc | Tessaro HV Source: 1 | firmware=\"HVS 2.3 sim\" sources=2 "
            "range0=-500:500 range1=0:1000 load0=10 load1=20\n"
            "hvold | HV source AVR |\n"
            "bias | BiasModule: 3 | firmware=BM-1.04-sim limits=0:90 polarity=POS load=100\n");
    }
    void TearDown() override { sim_reset(); }
};

// One row per rule: the exit code, what the error stream names, and (help and version only) what
// standard output shows. Whatever the outcome, no set reached a source and every bridge was closed
// again; help and version run without a log folder and must not make one.
TEST_F(Host, AnswersEachCommandLineWithItsExitCodeAndReason) {
    writeFile("neg.scn", "hvsrc | Tessaro HV Source: 1 | ramp=-5\n");
    writeFile("r1.scn",
              "# one output only\nhvold | HV source AVR | # legacy\n"
              "hvsrc | Tessaro HV Source: 1 | sources=1 range1=0:9\n");
    writeFile("quote.scn", "bias | BiasModule: 3 | firmware=\"BM 1\nhvold | HV source AVR |\n");
    writeFile("key.scn", "hvold | HV source AVR | load=5\n");
    writeFile("lim.scn", "bias | BiasModule: 3 | limits=0:4000\n");
    writeFile("empty.scn", "# no sources\n");
    fs::remove_all("hvsrc-logs");
    const std::string usage = "^usage: hvsrc-host \\[options\\] COMMAND";
    const struct {
        const char* args;
        int rc;
        std::string err;
        std::string out = "^$";
    } cases[] = {
        {"-h", 0, "^$", usage},
        {"--help", 0, "^$", usage},
        {"help", 0, "^$", usage},
        {"--simulate list + help", 0, "^$", usage},
        {"--version", 0, "^$", "^hvsrc-host " HVSRC_VERSION "\n$"},
        {"--simulate set 0 0 10 + bogus", 2, "unknown command 'bogus'"},
        {"--simulate lst", 2, "unknown command 'lst'"},
        {"--simulate set 0 0 10 + read", 2, "'read' takes 1 to 2 arguments, got 0"},
        {"--simulate set 0 0 10 + read 1a", 2, "'1a' is not a device number"},
        {"--simulate set 0 0 10 + ramp 0 0 10 --rate", 2, "'ramp' option --rate needs a value"},
        {"--simulate set 0 0 10 + set 0 0 ten", 2, "'ten' is not a voltage"},
        {"--simulate set 0 0 10 + monitor --count x", 2, "bad value 'x' for --count"},
        {"--simulate set 0 0 10 + monitor --count 2 --duration 1", 2,
         "--count or --duration, not both"},
        {"--simulate set 0 0 10 + ramp all 5", 2, "'ramp all' brings every source to 0 V"},
        {"--simulate set 0 0 10 +", 2, "'\\+' without a command after it"},
        {"--simulate set 0 0 10 + set 9 0 10", 2,
         "in 'set 9 0 10': no device '9' \\(devices 0 to 2; see 'list'\\); nothing was run"},
        {"--simulate set 0 0 10 + set 0 2 10", 2,
         "no source '2' on device 0 \\(it has 2 sources\\)"},
        {"--simulate set 0 0 10 + get 1 Bogus", 2, "device 1 has no parameter 'Bogus'"},
        {"--simulate set 0 0 10 + put 0 Voltage1 40000", 2,
         "'40000' is not a whole number that fits"},
        {"--simulate set 0 0 10 + put 0 MaxVoltage1 1", 2, "parameter 'MaxVoltage1' is read-only"},
        {"--simulate set 0 0 10 + monitor --csv fast.scn/x.csv", 2, "cannot write fast.scn.x.csv"},
        {"--simulate set 0 0 10 + monitor --svg .", 2, "\\. is a folder"},
        {"--log-dir fast.scn/logs --simulate set 0 0 10", 2, "cannot create the log folder"},
        {"--scenario neg.scn set 0 0 10", 2, "neg.scn line 1: ramp=-5: the ramp is 0 or more V/s"},
        {"--scenario r1.scn set 0 0 10", 2, "r1.scn line 3: range1 is for a source this model"},
        {"--scenario quote.scn set 0 0 10", 2, "quote.scn line 1: a double quote is not closed"},
        {"--scenario key.scn set 0 0 10", 2, "line 1: load=5: unknown setting for a hvold source"},
        {"--scenario lim.scn set 0 0 10", 2, "line 1: limits=0:4000: limits are LO:HI in volts"},
        {"--scenario . set 0 0 10", 2, "\\. is a folder, not a scenario file"},
        {"--lib ./none --simulate list", 3, "cannot load the plug-in"},
        {"--driver ./none --simulate list", 3, "cannot load the stand-in D2XX driver ./none"},
        {"--scenario empty.scn list", 4,
         "no devices found; the library log is host_logs.hvsrc.log"},
        {"list", 4, "no devices found \\(is a source attached and powered\\?\\)"},
        {"--simulate set 2 0 95", 1, "device 2 source 0 refused 95 V \\(-1005\\): Voltage out"},
        {"--simulate put 0 Voltage2 2000", 1, "device 0 refused: Voltage out of range 2000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Result run = host(words(c.args), c.rc != 0);
        EXPECT_EQ(c.rc, run.rc) << run.err;
        EXPECT_TRUE(std::regex_search(run.err, std::regex(c.err))) << run.err;
        EXPECT_TRUE(std::regex_search(run.out, std::regex(c.out))) << run.out;
        EXPECT_EQ(0u, setsReceived());
        for (int bridge = 1; bridge <= 3; ++bridge) {
            SimSettings settings{};
            sim_settings(bridge, &settings);
            EXPECT_EQ(0, settings.open) << "bridge " << bridge;
        }
    }
    EXPECT_FALSE(fs::exists("hvsrc-logs"));
}

// What the sources took, what reads back, and where each number comes from.
TEST_F(Host, SaysWhatWasSentAndWhereNumbersComeFrom) {
    const Result run = host(words(
        "--scenario fast.scn set 0 1 1000.6 + set 2 0 42.537 + set 0 0 -12 + read 0 1 + read 2 + "
        "put 0 Voltage1 100 + read 0 0 + get 0 CurrentSense1 + get 1 CurrentSense2 + read 1 0"));
    EXPECT_EQ(0, run.rc) << run.err;
    EXPECT_EQ(
        "device 0 source 1 set to 1000 V (asked 1000.6 V; this source takes whole volts)\n"
        "device 2 source 0 set to 42.5 V (asked 42.537 V; this source takes tenths of a volt)\n"
        "device 0 source 0 set to -12 V\n"
        "device 0 source 1: 1000.0 V, current 50.000 uA (set 1000 V)\n"
        "device 2 source 0: 42.5 V, current 0.400 mA (set 42.5 V)\n"
        "Voltage1 <- 100\n"
        "device 0 source 0: 100.0 V, current 10.000 uA (set 100 V through Voltage1)\n"
        "CurrentSense1 = 10000 (SRC 0: measured current in nA (a raw count; read shows it / 1000 "
        "in uA))\n"
        "CurrentSense2 = 0 (SRC 1: always 0: this source measures no current)\n"
        "device 1 source 0: 0.0 V, current not measured (no voltage set in this run)\n",
        run.out);
    int16_t hv = 0;
    int32_t tenths = 0;
    sim_hvsrc_set_voltage(kHv, 1, &hv);
    sim_bias_set_voltage(kBias, &tenths);
    EXPECT_EQ(1000, hv);
    EXPECT_EQ(425, tenths);

    const Result list = host(words("--scenario fast.scn list"));
    const std::regex rows(
        "0 +HV Source +HV source +1 +\"HVS 2.3 sim\" +2 +\\[-500, 500\\] \\[0, 1000\\] +- "
        "\\(limits give the sign\\)\n"
        "1 +HV Source +legacy HV source +1 +\"\" +2 +\\[0, 1000\\] \\[-1000, 0\\] "
        "+- \\(limits give the sign\\)\n"
        "2 +BiasMod +bias module +3 +\"BM-1.04-sim\" +1 +\\[0, 90\\] +POS \\(positive "
        "output\\)\n$");
    EXPECT_TRUE(std::regex_search(list.out, rows)) << list.out;
}

TEST_F(Host, KeepsEachRunsLogsInAFolderOfItsOwn) {
    fs::remove_all("hvsrc-logs");
    const std::regex where("logs in (hvsrc-logs[/\\\\]\\d{8}-\\d{6}(-\\d+)?)\n");
    std::smatch first;
    std::smatch second;
    const Result one = host(words("--simulate list"), false);
    const Result two = host(words("--simulate list"), false);
    ASSERT_TRUE(std::regex_search(one.err, first, where)) << one.err;
    ASSERT_TRUE(std::regex_search(two.err, second, where)) << two.err;
    // The second run in the same second gets a folder of its own.
    EXPECT_EQ("", first[2].str());
    EXPECT_TRUE(second[2].str() == "-2" || first[1].str() != second[1].str()) << second[1];
    for (const std::string& folder : {first[1].str(), second[1].str()}) {
        EXPECT_EQ("[MSG]: Listing Devices ...",
                  hvtest::logLines(plat::joinPath(folder, "hvsrc.log")).at(0));
    }
    // A folder given that does not exist yet is made with its parents.
    fs::remove_all("made");
    EXPECT_EQ(0, host(words("--log-dir made/for/logs --simulate list")).rc);
    EXPECT_TRUE(fs::exists("made/for/logs/hvsrc_biasmod_3.log"));
}

TEST_F(Host, RampsInStepsAndStopsWhereTheLibraryRefuses) {
    const Result refused = host(words("--scenario fast.scn ramp 2 0 95 --rate 1000 --step 10"));
    EXPECT_EQ(1, refused.rc);
    std::string expected =
        "device 2 source 0: from 0 V (measured) to 95 V at 1000 V/s, 10 V a step\n";
    for (int v = 10; v <= 90; v += 10) {
        expected += "device 2 source 0: " + std::to_string(v) + " V set, reads " +
                    std::to_string(v) + ".0 V\n";
    }
    EXPECT_EQ(expected + "stopped: device 2 source 0 left at 90 V set\n", refused.out);
    EXPECT_TRUE(std::regex_search(refused.err, std::regex("refused 95 V \\(-1005\\)")));
    int32_t tenths = 0;
    sim_bias_set_voltage(kBias, &tenths);
    EXPECT_EQ(900, tenths);

    // Every source down together; each source's own steps.
    const Result all =
        host(words("--scenario fast.scn set 0 1 25 + set 1 1 -20 + set 2 0 0.5 + "
                   "ramp all 0 --rate 1000 --step 10"));
    EXPECT_EQ(0, all.rc) << all.err;
    const std::string plan = " V at 1000 V/s, 10 V a step\n";
    EXPECT_EQ(
        "device 0 source 1 set to 25 V\ndevice 1 source 1 set to -20 V\n"
        "device 2 source 0 set to 0.5 V\n"
        "device 0 source 0: from 0 V (measured) to 0" +
            plan + "device 0 source 1: from 25 V (set in this run) to 0" + plan +
            "device 1 source 0: from 0 V (measured) to 0" + plan +
            "device 1 source 1: from -20 V (set in this run) to 0" + plan +
            "device 2 source 0: from 0.5 V (set in this run) to 0" + plan +
            "device 0 source 0: 0 V set, reads 0.0 V\n"
            "device 0 source 1: 15 V set, reads 15.0 V\n"
            "device 1 source 0: 0 V set, reads 0.0 V\n"
            "device 1 source 1: -10 V set, reads -10.0 V\n"
            "device 2 source 0: 0 V set, reads 0.0 V\n"
            "device 0 source 1: 5 V set, reads 5.0 V\n"
            "device 1 source 1: 0 V set, reads 0.0 V\n"
            "device 0 source 1: 0 V set, reads 0.0 V\n"
            "device 0 source 0: at 0 V\ndevice 0 source 1: at 0 V\n"
            "device 1 source 0: at 0 V\ndevice 1 source 1: at 0 V\n"
            "device 2 source 0: at 0 V\n",
        all.out);
    int16_t hv = 1;
    sim_hvsrc_set_voltage(kHv, 1, &hv);
    EXPECT_EQ(0, hv);

    // A source still moving from an earlier set, against the ramp: stopped, not pushed on.
    for (const char* args : {"--simulate set 0 1 300 + ramp 0 1 0 --rate 500 --step 5",
                             "--simulate set 0 0 -300 + ramp 0 0 300 --rate 500 --step 5"}) {
        const Result against = host(words(args));
        EXPECT_EQ(1, against.rc) << args;
        EXPECT_TRUE(std::regex_search(
            against.err,
            std::regex("(up while ramping down|down while ramping up) \\(more than 10")))
            << against.err;
        EXPECT_TRUE(
            std::regex_search(against.out, std::regex("stopped: device 0 source [01] left at")));
    }
}

TEST_F(Host, MonitorWritesCsvAndSvg) {
    const Result run =
        host(words("--scenario fast.scn set 0 0 100 + set 2 0 50 + monitor --interval "
                   "0.01 --count 3 --csv mon.csv --svg mon.svg"));
    EXPECT_EQ(0, run.rc) << run.err;
    // The legacy source pauses 50 ms in each reading: a round cannot keep to 0.01 s, and says so.
    const size_t said = run.err.find("one round of readings takes ");
    EXPECT_NE(std::string::npos, said) << run.err;
    EXPECT_EQ(said, run.err.rfind("one round of readings")) << run.err;
    std::istringstream csv(hvtest::readFile("mon.csv"));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(
        "time_s,dev0/src0 HV source V,dev0/src0 HV source I (uA),dev0/src1 HV source V,dev0/src1 "
        "HV source I (uA),dev1/src0 legacy HV source V,dev1/src1 legacy HV source V,dev2/src0 bias "
        "module V,dev2/src0 bias module I (mA)",
        line);
    int rows = 0;
    while (std::getline(csv, line)) {
        ++rows;
        EXPECT_TRUE(std::regex_match(line, std::regex("\\d+\\.\\d{3},100,10,0,0,0,0,50,0.5")))
            << line;
    }
    EXPECT_EQ(3, rows);
    const std::string svg = hvtest::readFile("mon.svg");
    for (const char* part : {"Voltage (V)", "Current (uA)", "Current (mA)", "</svg>\n"}) {
        EXPECT_NE(std::string::npos, svg.find(part)) << part;
    }
}

TEST_F(Host, JsonParsesBack) {
    const Result run =
        host(words("--json --scenario fast.scn set 0 0 100 + list + params 0 + read 0 "
                   "+ read 1 + monitor --count 2 --interval 0.01"));
    ASSERT_EQ(0, run.rc) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("device 0 source 0 set to 100 V\n"));
    std::vector<nlohmann::json> lines;
    std::istringstream in(run.out);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(6u, lines.size());
    const nlohmann::json& devices = lines[0]["devices"];
    EXPECT_EQ("legacy HV source", devices[1]["kind"]);
    EXPECT_EQ("POS", devices[2]["polarity"]);
    EXPECT_TRUE(devices[0]["polarity"].is_null());
    EXPECT_EQ(nlohmann::json::parse("[[-500.0,500.0],[0.0,1000.0]]"), devices[0]["limits_v"]);
    EXPECT_EQ("params", lines[1]["command"]);
    EXPECT_EQ(12u, lines[1]["params"].size());
    EXPECT_EQ(10000, lines[1]["params"][10]["value"]);
    const nlohmann::json& src0 = lines[2]["sources"][0];
    EXPECT_EQ(100.0, src0["volts"]);
    EXPECT_EQ(10.0, src0["current"]);
    EXPECT_EQ("uA", src0["current_unit"]);
    EXPECT_EQ(100.0, src0["set_volts"]);
    EXPECT_EQ("set", src0["set_by"]);
    EXPECT_TRUE(lines[3]["sources"][0]["current"].is_null());
    EXPECT_TRUE(lines[3]["sources"][0]["set_volts"].is_null());
    for (size_t i = 4; i < 6; ++i) {
        EXPECT_EQ("monitor", lines[i]["command"]);
        EXPECT_EQ(5u, lines[i]["sources"].size());
        EXPECT_EQ(100.0, lines[i]["sources"][0]["volts"]);
    }
    EXPECT_LT(lines[4]["time_s"].get<double>(), lines[5]["time_s"].get<double>());
}

// The plot's memory stays the same however long the run, and every spike survives the merging
// of buckets.
TEST(BoundedSeries, KeepsSpikesInFixedMemory) {
    constexpr int kEvery = 7919;  // more samples apart than one bucket ends up holding
    host::BoundedSeries series(3, 100);
    const size_t footprint = series.footprintBytes();
    for (int i = 0; i < 100000; ++i) {
        const bool spike = i > 0 && i % kEvery == 0;
        series.add(i * 0.01, {spike ? 1000.0 + i : 1.0, i == 70000 ? -5.0 : 2.0, 1.0 * i});
    }
    EXPECT_EQ(footprint, series.footprintBytes());
    EXPECT_EQ(100000u, series.samples());
    const std::vector<host::BoundedSeries::Point> points = series.points(0);
    EXPECT_LE(points.size(), 200u);
    std::vector<int> spikes;
    for (const auto& p : points) {
        if (p.value != 1.0) {
            const int i = static_cast<int>(p.value - 1000.0);
            EXPECT_EQ(i * 0.01, p.time);
            spikes.push_back(i);
        }
    }
    std::vector<int> expected;
    for (int i = kEvery; i < 100000; i += kEvery) {
        expected.push_back(i);
    }
    EXPECT_EQ(expected, spikes);
    // No sample is missing: a rising channel gives each bucket its first and last sample, and
    // each bucket starts with the sample after the last one of the bucket before.
    const std::vector<host::BoundedSeries::Point> rising = series.points(2);
    ASSERT_EQ(0u, rising.size() % 2);
    EXPECT_EQ(0.0, rising.front().value);
    EXPECT_EQ(99999.0, rising.back().value);
    for (size_t k = 1; k + 1 < rising.size(); k += 2) {
        EXPECT_EQ(rising[k].value + 1, rising[k + 1].value) << k;
    }
    double lo = 0.0;
    double hi = 0.0;
    ASSERT_TRUE(series.range(1, lo, hi));
    EXPECT_EQ(-5.0, lo);
    EXPECT_EQ(2.0, hi);
}

}  // namespace
