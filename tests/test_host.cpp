// hvsrc-host run as a user runs it, through its main's entry: output, error stream, exit status.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "host_run.h"
#include "output/Files.h"
#include "scenario/Scenario.h"
#include "sim_kinds.h"
#include "test_files.h"
#include "version.h"

namespace {

namespace fs = std::filesystem;
using hostrun::host;
using hostrun::kFast;
using hostrun::lit;
using hostrun::Result;
using hostrun::useStateFolder;
using hostrun::writeFile;

// The sources a command line simulates: the default ones, a scenario file's, or none.
std::vector<host::ScenarioSource> simulated(const std::string& args) {
    std::vector<host::ScenarioSource> sources;
    std::string error;
    std::smatch file;
    if (args.find("--simulate") != std::string::npos) {
        sources = host::defaultScenario();
    } else if (std::regex_search(args, file, std::regex("--scenario (\\S+)")) &&
               !host::readScenarioFile(file[1], sources, error)) {
        sources.clear();
    }
    return sources;
}

// Set requests that reached any of the `sources`, attached in their order from bridge 1 on.
size_t setsReceived(const std::vector<host::ScenarioSource>& sources) {
    const std::map<std::string, simkind::Kind> kinds = {
        {"hvsrc", simkind::kHv}, {"hvold", simkind::kOld}, {"bias", simkind::kBias}};
    size_t sets = 0;
    for (size_t i = 0; i < sources.size(); ++i) {
        const int bridge = static_cast<int>(i) + 1;
        for (const simkind::Request& r :
             simkind::requestsSince(kinds.at(sources[i].kind), bridge, 0)) {
            sets += r.source >= 0 ? 1 : 0;
        }
    }
    return sets;
}

// One row per rule: command line (row.scn holds the row's scenario), exit code, error stream and
// output. A refusal (2 to 4) sent nothing; every bridge is closed again; help makes no log folder.
TEST(Host, AnswersEachCommandLineWithItsExitCodeAndOutput) {
    fs::remove_all(useStateFolder());
    fs::remove("mon.csv");
    writeFile("fast.scn", kFast);
    const std::string usage = "^usage: hvsrc-host \\[options\\] COMMAND",
                      plan = " V at 1000 V/s, 10 V a step\n";
    std::string steps;
    for (int v = 10; v <= 90; v += 10) {
        steps += "device 2 source 0: " + std::to_string(v) + " V set, reads " + std::to_string(v) +
                 ".0 V, 0." + std::to_string(v / 10) + "00 mA\n";
    }
    const struct {
        const char* args;
        int rc;
        std::string err;
        std::string out = "^$";
        const char* scenario = nullptr;
        bool logs = true;
        const char* input = "";  // a session's requests
    } rows[] = {
        {"--simulate list + help", 0, "^$", usage, nullptr, false},
        {"--version", 0, "^$", "^hvsrc-host " HVSRC_VERSION "\n$", nullptr, false},
        {"--simulate set 0 0 10 + bogus", 2, "unknown command 'bogus'"},
        {"--simulate lst", 2, "unknown command 'lst'"},
        {"--simulate set 0 0 10 + read", 2, "'read' takes 1 to 2 arguments, got 0"},
        {"--simulate set 0 0 10 + ramp 0 0 10 --rate", 2, "'ramp' option --rate needs a value"},
        {"--simulate set 0 0 10 + set 0 0 ten", 2, "'ten' is not a voltage"},
        {"--simulate set 0 0 0x10", 2, "'0x10' is not a voltage"},
        {"--simulate list --json", 2, "--json is an option of the program: put it before"},
        {"--simulate ramp 0 0 10 --rate 0", 2,
         "bad value '0' for --rate \\(a number of V/s above "
         "0, at most 10000\\)"},
        {"--simulate set bias:9 0 10", 2, "no device has the address bias:9 \\(see 'list'\\)"},
        // Every target of the chain against the limits before anything moves.
        {"--scenario fast.scn ramp 0 0 600", 2,
         "600 V is above the upper limit 500 V of device 0 source 0; nothing was run"},
        {"--scenario fast.scn set 0 0 400 + set 0 1 -200", 2,
         "-200 V is below the lower limit 0 V of device 0 source 1; nothing"},
        {"--scenario fast.scn set bias:3 0 90.05", 2, "takes tenths of a volt, cut toward 0 V"},
        {"--scenario row.scn set 0 1 5 + set 0 2 5", 2,
         "keeps no limits for source 2 of device 0 .*--limits LOW:HIGH; nothing was run", "^$",
         "hvsrc | Tessaro HV Source: 1 | sources=3\n"},
        {"--scenario row.scn set 0 2 300 --limits 0:200", 2,
         "300 V is above the --limits upper limit 200 V"},
        // A NEG bias module: set, read and the limits all with the output's sign.
        {"--scenario row.scn set bias:3 0 -40 + read bias:3 + list", 0, "",
         "^device 0 source 0 set to -40 V\ndevice 0 source 0: -40.0 V, current -0.400 mA \\(set "
         "-40 "
         "V\\)\n[\\s\\S]*\\[-90, 0\\] +NEG",
         "bias | BiasModule: 3 | limits=0:90 polarity=NEG load=100\n"},
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
        {"--simulate set 0 0 10 + put 0 MaxVoltage1 1", 2, "parameter 'MaxVoltage1' is read-only"},
        {"--simulate set 0 0 10 + monitor --csv fast.scn/x.csv", 2,
         "cannot write fast.scn.x.csv: fast.scn is not a folder"},
        {"--simulate set 0 0 10 + monitor --svg .", 2, "\\. is a folder"},
        {"--log-dir fast.scn/logs --simulate set 0 0 10", 2, "cannot create the log folder"},
        {"--scenario row.scn set 0 0 10", 2, "row.scn line 1: ramp=-5: the ramp is 0 or more V/s",
         "^$", "hvsrc | Tessaro HV Source: 1 | ramp=-5\n"},
        {"--scenario row.scn set 0 0 10", 2, "row.scn line 3: range1 is for a source this model",
         "^$",
         "# one\nhvold | HV source AVR | # legacy\nhvsrc | Tessaro HV Source: 1 | sources=1 "
         "range1=0:9\n"},
        {"--scenario row.scn set 0 0 10", 2, "row.scn line 1: a double quote is not closed", "^$",
         "bias | BiasModule: 3 | firmware=\"BM 1\nhvold | HV source AVR |\n"},
        {"--scenario . set 0 0 10", 2, "\\. is a folder, not a scenario file"},
        {"--scenario none.scn list", 2, "cannot read the scenario file none.scn: No such file"},
        {"--lib ./none --simulate list", 3,
         "cannot load the plug-in: cannot load ./none \\(.+\\); "
         "--lib names another plug-in"},
        {"--scenario row.scn list", 4, "no devices found; the library log is host_logs.hvsrc.log",
         "^$", "# no sources\n"},
        {"list", 4, "no devices found \\(is a source attached and powered\\?\\)"},
        {"--simulate put 0 Voltage2 2000", 1, "device 0 refused: Voltage out of range 2000"},
        // What the sources took and read back, and where each number comes from.
        {"--scenario fast.scn set 0 1 1000.6 + set bias:3 0 42.537 + set 0 0 -12 + read 0 1 + read "
         "2 + "
         "put 0 Voltage1 100 + read 0 0 + get 0 currentsense1 + get 1 CurrentSense2 + read 1 0",
         0, "",
         lit("device 0 source 1 set to 1000 V (asked 1000.6 V; this source takes whole volts)\n"
             "device 2 source 0 set to 42.5 V (asked 42.537 V; this source takes tenths of a "
             "volt)\n"
             "device 0 source 0 set to -12 V\n"
             "device 0 source 1: 1000.0 V, current 50.000 uA (set 1000 V)\n"
             "device 2 source 0: 42.5 V, current 0.400 mA (set 42.5 V)\n"
             "Voltage1 <- 100\n"
             "device 0 source 0: 100.0 V, current 10.000 uA (set 100 V through Voltage1)\n"
             "CurrentSense1 = 10000 (SRC 0: measured current in nA (a raw count; read shows it / "
             "1000 in uA))\n"
             "CurrentSense2 = 0 (SRC 1: always 0: this source measures no current)\n"
             "device 1 source 0: 0.0 V, current not measured (no voltage set in this run)\n")},
        {"--scenario fast.scn list", 0, "",
         "0 +hv:1 +HV Source +HV source +1 +\"HVS 2.3 sim\" +2 +\\[-500, 500\\] \\[0, 1000\\] +- "
         "\\(limits give the sign\\)\n1 +legacy:1 +HV Source +legacy HV source +1 +- +2 +\\[0, "
         "1000\\] \\[-1000, 0\\] +- \\(limits give the sign\\)\n2 +bias:3 +BiasMod +bias module +3 "
         "+\"BM-1.04-sim\" +1 +\\[0, 90\\] +POS \\(positive output\\)\n$"},
        // A ramp in steps with the current beside each reading, ending at the measured value.
        {"--scenario fast.scn ramp bias:3 0 90 --rate 1000 --step 10", 0, "",
         lit("device 2 source 0: from 0 V (measured) to 90" + plan + steps +
             "device 2 source 0: at 90.0 V, 0.900 mA\n")},
        // Every source down together, each in its own steps.
        {"--scenario row.scn set 0 1 -20 + set 1 0 25 + ramp all 0 --rate 1000 --step 10", 0, "",
         lit("device 0 source 1 set to -20 V\ndevice 1 source 0 set to 25 V\n"
             "device 0 source 0: from 0 V (measured) to 0" +
             plan + "device 0 source 1: from -20 V (set in this run) to 0" + plan +
             "device 1 source 0: from 25 V (set in this run) to 0" + plan +
             "device 0 source 0: 0 V set, reads 0.0 V\ndevice 0 source 1: -10 V set, reads -10.0 "
             "V\n"
             "device 1 source 0: 15 V set, reads 15.0 V, 0.100 mA\ndevice 0 source 1: 0 V set, "
             "reads 0.0 V\n"
             "device 1 source 0: 5 V set, reads 5.0 V, 0.000 mA\ndevice 1 source 0: 0 V set, reads "
             "0.0 V, 0.000 mA\n"
             "device 0 source 0: at 0.0 V\ndevice 0 source 1: at 0.0 V\ndevice 1 source 0: at 0.0 "
             "V, 0.000 mA\n"),
         "hvold | HV source AVR |\nbias | BiasModule: 3 | limits=0:90 load=100\n"},
        // Going down, a source still climbing to an earlier set is a warning: every source
        // reaches 0 V, measured.
        {"--simulate set 0 1 300 + set 0 0 -200 + ramp all 0 --rate 500 --step 5", 0,
         "\nhvsrc-host: device 0 source 1: the reading went from .* up while ramping down \\(more "
         "than 10 V\\); going on down\n$",
         "device 0 source 0: at -?0\\.\\d V, [\\s\\S]*device 0 source 1: at 0\\.\\d V, "
         "[\\s\\S]*device 2 source 0: at 0\\.\\d V"},
        // Going up, a reading against the ramp stops it.
        {"--simulate set 0 0 -300 + ramp 0 0 300 --rate 500 --step 5", 1,
         "down while ramping up \\(more than 10", "stopped: device 0 source 0 left at"},
        // A slow supply (100 V/s): the end is what it reads, and a short settle time-out says so.
        {"--scenario row.scn ramp hv:1 0 60 --rate 1000 + ramp hv:1 0 0 --rate 1000", 0, "",
         "at 60\\.0 V, 6\\.000 uA\n[\\s\\S]*: 0 V set, reads [1-9]\\d\\.\\d V, [\\s\\S]*device 0 "
         "source 0: at 0\\.\\d V, 0\\.\\d+ uA\n$",
         "hvsrc | Tessaro HV Source: 1 | ramp=100 load0=10\n"},
        {"--scenario row.scn ramp hv:1 0 60 --rate 1000 + ramp hv:1 0 0 --settle-timeout 0.2 "
         "--rate 1000",
         1, "", "device 0 source 0: still at [1-9]\\d\\.\\d V after 0\\.\\d s \\(sent 0 V\\)\n$"},
        // The legacy source pauses 50 ms in each reading: a round cannot keep to 0.01 s, said once.
        {"--scenario fast.scn set 0 0 100 + set 2 0 50 + monitor --interval 0.01 --count 3 --csv "
         "mon.csv --svg mon.svg",
         0, "^(?![\\s\\S]*one round[\\s\\S]*one round)[\\s\\S]*one round of readings takes ", ""},
        // An existing CSV: refused, added to when its columns match, never overwritten unasked.
        {"--scenario fast.scn monitor --count 1 --csv mon.csv", 2,
         "mon.csv exists: give --append to add rows to it \\(same columns\\) or --overwrite"},
        {"--scenario fast.scn monitor --count 1 --interval 0.01 --csv mon.csv --append", 0, "",
         "^time_s "},
        {"--scenario row.scn monitor --count 1 --csv mon.csv --append", 2,
         "mon.csv has other columns than this monitor writes", "^$", "hvold | HV source AVR |\n"},
        // The sensor and fault keys, checked with their line.
        {"--scenario row.scn list", 2,
         "row.scn line 1: leak0=2: the leakage is a current with its unit", "^$",
         "hvsrc | Tessaro HV Source: 1 | leak0=2\n"},
        {"--scenario row.scn list", 2,
         "row.scn line 2: breakdown is above depletion \\(50 V is not above 80 V\\)", "^$",
         "hvold | HV source AVR | unplug=1+5\nbias | BiasModule: 3 | depletion=80V breakdown=50\n"},
        // iv: refused before anything moves, then a scan into a sensor's breakdown that stops at
        // the compliance (within a step of the knee at 350 V) and ends at 0 V as measured.
        {"--simulate iv 1 0 0 10 1 --compliance 1uA", 2,
         "the legacy HV source measures no current"},
        {"--simulate iv 0 0 0 100 -10 --compliance 1uA", 2,
         "STEP -10 V does not lead from 0 V to 100 V \\(a step above 0 does\\)"},
        {"--simulate iv 0 0 0 600 100 --compliance 1uA", 2,
         "600 V is above the upper limit 500 V of device 0 source 0; nothing was run"},
        {"--scenario row.scn iv 0 0 300 400 10 --compliance 10uA --settle 0 --rate 1000 --csv "
         "iv.csv --overwrite",
         5, "compliance 10 uA reached at 360 V: 297 uA; ramping back to 0 V\n",
         "\n   6     350\\.0     350\\.0         2\\.000        0\\.000        5  ok\n"
         "   7     360\\.0     360\\.0       296\\.826        0\\.000        1  compliance\n"
         "device 0 source 0: at 0\\.0 V, 0\\.000 uA\n$",
         "hvsrc | Tessaro HV Source: 1 | sources=1 leak0=2uA depletion0=80 breakdown0=350\n"},
        {"--scenario row.scn iv 0 0 0 100 10 --compliance 10uA --settle 0.1 --rate 1000", 1,
         "device 0 source 0 stopped answering at [0-9]+ V: .+; ramping back to 0 V\n"
         "(hvsrc-host: device 0 source 0 failed [0-9]+ V .+; trying again for 10 s\n)?$",
         "device 0 source 0: at 0\\.0 V, 0\\.000 uA\n$",
         "hvsrc | Tessaro HV Source: 1 | sources=1 leak0=2uA depletion0=80 unplug=0.6+0.4\n"},
        {"--scenario row.scn ramp 0 0 400 --rate 1000 --step 100 --trip 10uA --trip-rate 1000", 5,
         "ALARM trip: hv:1/src0 current [0-9.]+ A reached the trip 10 uA[\\s\\S]*hv:1/src0: set to "
         "0 V after the trip\n",
         "400 V set, reads 400\\.0 V, [0-9.]+ uA\n$",
         "hvsrc | Tessaro HV Source: 1 | sources=1 leak0=2uA depletion0=80 breakdown0=350\n"},
        // Alarms: a source above its breakdown trips and goes down while the others stay; a slow
        // source deviates from its set voltage.
        {"--scenario row.scn set 0 0 360 + set 0 1 100 + set 1 0 50 + monitor --interval 0.1 "
         "--count 6 --trip 10uA --trip-rate 1000 --deviation 1 --deviation-after 0.2",
         5,
         "ALARM trip: hv:1/src0 current 297 uA reached the trip 10 uA on 2 readings in a row"
         "[\\s\\S]*ALARM deviation: bias:3/src0 reads [\\s\\S]*hv:1/src0: set to 0 V after the "
         "trip\n[\\s\\S]*2 alarms:\n",
         " 100\\.0 +5\\.000 +[0-9.]+ +0\\.000 +! trip hv:1/src0 ! deviation bias:3/src0\n$",
         "hvsrc | Tessaro HV Source: 1 | leak0=2uA depletion0=80 breakdown0=350 load1=20\n"
         "bias | BiasModule: 3 | limits=0:90 load=100 ramp=2\n"},
        // A session: a line that is not a request and an unknown command refused with exit 2 and
        // the session going on; every line JSON with its request's id; the end of the input
        // ends it and deinitialises the library (every bridge closed).
        {"--scenario fast.scn session", 0,
         "\nhvsrc-host: line 1: not JSON [^\n]*\nhvsrc-host: line 2: not JSON \\(number overflow "
         "parsing '1e400'\\)\nhvsrc-host: unknown command 'bogus'\ndevice 0 "
         "source 0 set to 10 V\n$",
         lit("{\"id\":null,\"ready\":true,\"version\":\"" HVSRC_VERSION
             "\",\"devices\":3,\"log_dir\":\"host_logs\"}\n"
             "{\"id\":null,\"error\":\"line 1: not JSON (parse error at line 1, column 2: @\n"
             "{\"id\":null,\"done\":true,\"exit\":2}\n"
             "{\"id\":null,\"error\":\"line 2: not JSON (number overflow parsing '1e400')\","
             "\"exit\":2}\n{\"id\":null,\"done\":true,\"exit\":2}\n"
             "{\"id\":1,\"error\":\"unknown command 'bogus'\",\"exit\":2}\n"
             "{\"id\":1,\"done\":true,\"exit\":2}\n"
             "{\"id\":\"a\",\"message\":\"device 0 source 0 set to 10 V\"}\n"
             "{\"id\":\"a\",\"address\":\"hv:1\",\"asked_volts\":10.0,\"command\":\"set\",\"dev\":"
             "0,"
             "\"sent_volts\":10.0,\"src\":0}\n"
             "{\"id\":\"a\",\"done\":true,\"exit\":0}\n"
             "{\"id\":null,\"done\":true,\"exit\":0}\n"),
         nullptr, true,
         "{]\n{\"id\": 1e400}\n{\"id\": 1, \"argv\": [\"bogus\"]}\n{\"id\": \"a\", \"argv\": "
         "[\"set\", \"0\", "
         "\"0\", "
         "\"10\"]}\n"},
        // A monitor without end stopped by a stop request (answered at once) as Ctrl-C would;
        // the session goes on with the next request.
        {"--scenario fast.scn session", 0, "interrupted after \\d+ samples",
         "^\\{\"id\":null,\"ready\"[^\n]*\n(\\{\"id\":1,\"command\":\"monitor\",\"sources\"[^\n]*"
         "\n)+"
         "[\\s\\S]*\\{\"id\":2,\"done\":true,\"exit\":0\\}\n[\\s\\S]*"
         "\\{\"id\":1,\"done\":true,\"exit\":130\\}\n\\{\"id\":3,\"address\":\"bias:3\","
         "\"command\":"
         "\"read\"[^\n]*\n\\{\"id\":3,\"done\":true,\"exit\":0\\}\n\\{\"id\":null,\"done\":true,"
         "\"exit\":0\\}\n$",
         nullptr, true,
         "{\"id\": 1, \"argv\": [\"monitor\", \"--interval\", \"0.02\"]}\n\f{\"id\": 2, \"argv\": "
         "[\"stop\"]}\n{\"id\": 3, \"argv\": [\"read\", \"bias:3\"]}\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args);
        if (row.scenario != nullptr) {
            writeFile("row.scn", row.scenario);
        }
        const Result run = host(row.args, row.logs, row.input);
        EXPECT_EQ(row.rc, run.rc) << run.err;
        EXPECT_TRUE(std::regex_search(run.err, std::regex(row.err))) << run.err;
        EXPECT_TRUE(std::regex_search(run.out, std::regex(row.out))) << run.out;
        if (row.rc >= 2 && row.rc <= 4) {
            EXPECT_EQ(0u, setsReceived(simulated(row.args)));
        }
        for (int bridge = 1; bridge <= sim_bridge_count(); ++bridge) {
            SimSettings settings{};
            sim_settings(bridge, &settings);
            EXPECT_EQ(0, settings.open) << "bridge " << bridge;
        }
    }
    EXPECT_FALSE(fs::exists("state"));
    // The monitor's CSV, units per kind (the legacy source measures no current), and its plot.
    EXPECT_TRUE(std::regex_match(
        hvtest::readFile("mon.csv"),
        std::regex("time_s,time_utc,hv:1/src0 HV source V,hv:1/src0 HV source I \\(uA\\),hv:1/src0 "
                   "status,hv:1/src1 HV source V,hv:1/src1 HV source I \\(uA\\),hv:1/src1 "
                   "status,legacy:1/src0 legacy HV source V,legacy:1/src0 status,legacy:1/src1 "
                   "legacy HV source V,legacy:1/src1 status,bias:3/src0 bias module V,bias:3/src0 "
                   "bias module I \\(mA\\),bias:3/src0 status\n"
                   "(\\d+\\.\\d{3},20\\d\\d-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z,"
                   "(100,10,ok,0,0,ok,0,ok,0,ok,50,0\\.5|0,0,ok,0,0,ok,0,ok,0,ok,0,0),ok\n){4}")))
        << hvtest::readFile("mon.csv");
    EXPECT_TRUE(std::regex_match(
        hvtest::readFile("iv.csv"),
        std::regex("time_utc,set_V,mean_V,std_V,mean_I_uA,std_I_uA,samples,status\n"
                   "([-0-9T:.]+Z,3[0-5]0,3[0-5]0,0,2,0,5,ok\n){6}[-0-9T:.]+Z,360,360,0,296.826,0,1,"
                   "compliance\n")));
    const std::string svg = hvtest::readFile("mon.svg");
    for (const char* part :
         {"Voltage (V)", "Current (uA)", "Current (mA)", "Z (UTC); time counts", "</svg>\n"}) {
        EXPECT_NE(std::string::npos, svg.find(part)) << part;
    }
}

TEST(Host, KeepsEachRunsLogs) {
    const std::string state = useStateFolder();
    fs::remove_all(state);
    const std::regex where("logs in (.+[/\\\\]hvsrc[/\\\\]\\d{8}-\\d{6}(-\\d+)?)\n");
    std::smatch first, second;
    const std::string one = host("--simulate list", false).err,
                      two = host("--simulate list", false).err;
    ASSERT_TRUE(std::regex_search(one, first, where) && std::regex_search(two, second, where))
        << one << two;
    // Under the user's state folder; the second run in the same second gets a folder of its own.
    EXPECT_EQ(0u, first[1].str().find(state));
    EXPECT_EQ("", first[2].str());
    EXPECT_TRUE(second[2].str() == "-2" || first[1].str() != second[1].str()) << second[1];
    for (const std::string& folder : {first[1].str(), second[1].str()}) {
        EXPECT_TRUE(fs::exists(plat::joinPath(folder, "hvsrc.log"))) << folder;
    }
    // A folder given is made with its parents; each run moves the logs before it aside, and the
    // latest runs are kept.
    fs::remove_all("made");
    std::string said;
    for (size_t run = 0; run < host::kKeptRuns + 2; ++run) {
        const Result r = host("--log-dir made/for/logs --simulate set 0 0 " + std::to_string(run));
        ASSERT_EQ(0, r.rc) << r.err;
        said = r.err;
    }
    EXPECT_NE(std::string::npos, said.find("the previous run's logs were moved to made")) << said;
    size_t kept = 0;
    for (const auto& entry : fs::directory_iterator("made/for/logs/previous")) {
        kept += entry.is_directory() ? 1 : 0;
    }
    EXPECT_EQ(host::kKeptRuns, kept);
    // The latest run before this one is among them.
    const std::regex folder("moved to (.+)\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(said, m, folder));
    EXPECT_TRUE(fs::exists(plat::joinPath(m[1].str(), "hvsrc_1.log"))) << m[1];
}

}  // namespace
