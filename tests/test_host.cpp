// hvsrc-host run as a user runs it, through its main's entry: output, error stream, exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/HostApp.h"
#include "output/BoundedSeries.h"
#include "output/Files.h"
#include "platform.h"
#include "scenario/Scenario.h"
#include "sim_kinds.h"
#include "version.h"

namespace {

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
Result host(const std::string& args, bool ownLogFolder = true, const char* input = "") {
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
std::string useStateFolder() {
    static std::string xdg, local;
    const std::string folder = fs::absolute("state").u8string();
    xdg = "XDG_STATE_HOME=" + folder;
    local = "LOCALAPPDATA=" + folder;
    putenv(&xdg[0]);
    putenv(&local[0]);
    return folder;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(fs::u8path(path), std::ios::binary) << text;
}

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

// Sources that follow their set voltage at once, so readings are exact.
const char* const kFast =
    "hvsrc | Tessaro HV Source: 1 | firmware=\"HVS 2.3 sim\" sources=2 range0=-500:500 "
    "range1=0:1000 load0=10 load1=20\nhvold | HV source AVR |\n"
    "bias | BiasModule: 3 | firmware=BM-1.04-sim limits=0:90 polarity=POS load=100\n";

// The whole output as a regex: what `text` says, character for character ("@" any line's rest).
std::string lit(const std::string& text) {
    return "^" +
           std::regex_replace(
               std::regex_replace(text, std::regex("[.^$|()\\[\\]{}*+?\\\\]"), "\\$&"),
               std::regex("@"), "[^\n]*") +
           "$";
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
