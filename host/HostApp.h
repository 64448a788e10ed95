// hvsrc-host: loads the plug-in as the host framework does (load, initialize, registerDevices,
// use, deinitialize, unload) and runs one or more commands against the devices it finds.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace host {

enum ExitCode {
    EXIT_OK = 0,
    EXIT_REFUSED = 1,    // a device refused or failed an operation
    EXIT_USAGE = 2,      // bad command line: unknown command, device, source, parameter, value
    EXIT_LOAD = 3,       // the plug-in or the driver could not be loaded
    EXIT_NO_DEVICE = 4,  // no device found
};

struct Options {
    std::string libraryPath;   // empty: the plug-in beside the program
    std::string logDirectory;  // empty: the current directory
    bool simulate = false;
    std::string scenarioPath;  // empty: one simulated source of each kind
    std::string driverPath;    // empty: the stand-in driver in sim/ beside the program
    // Commands in the order given; "+" separates several on one command line.
    std::vector<std::vector<std::string>> commands;
};

std::string usageText();
// False with a message on a malformed command line.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);
// Runs the whole session; returns the exit code.
int runHost(const Options& options, std::ostream& out, std::ostream& err);

}  // namespace host
