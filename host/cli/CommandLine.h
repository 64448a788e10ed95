// hvsrc-host's command line: the options, the commands with their arguments, and the checks that
// need no device (names, argument counts, numbers). Everything here is decided before anything is
// loaded, so a command line that fails these checks touches nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace host {

enum ExitCode {
    EXIT_OK = 0,
    EXIT_REFUSED = 1,        // a device refused or failed an operation
    EXIT_USAGE = 2,          // bad command line; nothing was touched
    EXIT_LOAD = 3,           // the plug-in or the D2XX driver could not be loaded
    EXIT_NO_DEVICE = 4,      // no device found
    EXIT_ALARM = 5,          // an alarm: a trip, a deviation, a lost line, an iv's compliance
    EXIT_INTERRUPTED = 130,  // stopped by Ctrl-C (128 + the signal: SIGTERM 143, SIGHUP 129)
};

enum class CommandName { List, Params, Get, Put, Set, Read, Monitor, Ramp, Iv, Session };

// The alarms a monitor watches for. A source that stops answering is always one.
struct AlarmOptions {
    double trip = 0.0;             // amperes; 0: no trip
    size_t tripCount = 2;          // consecutive readings at or above `trip`
    double tripRate = 50.0;        // V/s of the ramp down to 0 V after a trip
    double deviation = 0.0;        // volts between measured and set voltage; 0: not watched
    double deviationAfter = 10.0;  // seconds the deviation must last
    std::string onAlarm;           // a command run for each alarm; empty: none
};

struct MonitorOptions {
    double interval = 1.0;   // seconds between samples
    size_t count = 0;        // 0: not given
    double duration = 0.0;   // seconds; 0: not given (neither: until Ctrl-C)
    std::string csvPath;     // empty: no CSV
    std::string svgPath;     // empty: no SVG
    bool append = false;     // --append: add rows to an existing CSV with the same columns
    bool overwrite = false;  // --overwrite: replace an existing CSV
    AlarmOptions alarms;
};

// iv DEV SRC FROM TO STEP: a current-voltage scan.
struct IvOptions {
    double from = 0.0, to = 0.0, step = 0.0;  // volts
    double settle = 1.0;                      // seconds after each set before the readings
    size_t samples = 5;                       // readings a step
    double compliance = 0.0;                  // amperes; 0: not given
    double back = 0.0;                        // volts to return to at the end
    double rate = 10.0;                       // V/s of every move
    double tolerance = -1.0;                  // volts; < 0: 1 V or 1 % of the step's voltage
    std::string csvPath, svgPath;             // empty: none
    bool overwrite = false;                   // --overwrite: replace an existing CSV
};
// Steps an iv scan takes at most.
constexpr size_t kMaxIvSteps = 10000;

// A range the user gives a command for its targets (--limits LOW:HIGH).
struct UserLimits {
    bool given = false;
    double low = 0.0, high = 0.0;
};

struct RampOptions {
    double rate = 10.0;           // volts per second
    double step = 0.0;            // volts a step; 0: rate x kDefaultStepSeconds
    double tolerance = -1.0;      // volts; < 0: the default (1 V or 1 % of the target)
    double settleTimeout = -1.0;  // seconds; < 0: the default (see Ramp.cpp)
    AlarmOptions alarms;          // the trip (and --on-alarm) only: a ramp's output lags its set
};

// One command of the chain, its numbers already read. Device and source numbers are checked
// against the devices found after discovery.
struct Command {
    CommandName name = CommandName::List;
    std::string text;         // as typed, for messages
    bool allSources = false;  // ramp all
    size_t dev = 0;           // after discovery: the device's position in the list
    std::string address;      // DEV given as KIND:NUMBER ("bias:3"); empty: given as a position
    bool hasSource = false;
    uint32_t src = 0;
    std::string param;   // get, put
    std::string value;   // put: checked against the parameter's kind after discovery
    double volts = 0.0;  // set, ramp
    MonitorOptions monitor;
    RampOptions ramp;
    IvOptions iv;
    UserLimits limits;  // set, ramp, iv
};

struct Options {
    std::string libraryPath;   // empty: the plug-in beside the program
    std::string logDirectory;  // empty: a new folder for this run under the user's state folder
    bool simulate = false;
    std::string scenarioPath;  // empty: one simulated source of each kind
    std::string driverPath;    // empty: the stand-in driver in sim/ beside the program
    bool json = false;
    bool help = false;
    bool version = false;
    std::vector<Command> commands;  // in the order given; "+" separates them
};

// A ramp's step when --step is not given: what the rate covers in this time.
constexpr double kDefaultStepSeconds = 0.2;

std::string usageText();
// Reads the whole command line; false with a message when any part of it is wrong.
bool parseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error);

// Number readers shared by the commands: a whole decimal number without sign, a finite decimal
// number (no hexadecimal, no spaces), a 32-bit signed whole number. Nothing may follow the number.
bool parseIndex(const std::string& text, size_t& out);
bool parseDouble(const std::string& text, double& out);
bool parseInt32(const std::string& text, int32_t& out);
// A current with its unit ("200nA", "10uA", "1.5mA", "0.1A"; pA too), in amperes, 0 or more.
bool parseCurrent(const std::string& text, double& amps);
// A current for people, in the unit that suits its size: "10.8 uA", "350 nA", "1.2 mA".
std::string currentText(double amps);

}  // namespace host
