// hvsrc-host session: the library loaded and the devices found once, then requests read as JSON
// lines on the input and answered as JSON lines on the output, each request's argv going through
// the same command-line reading and the same commands as the program's own command line.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "scenario/Scenario.h"

namespace host {

// Runs a session with the program's options until the input ends or a SIGTERM or SIGHUP comes;
// the library is deinitialised however it ends. The exit code.
int runSessionMode(const Options& options, const std::vector<ScenarioSource>& scenario,
                   const std::string& logFolder, std::istream& in, std::ostream& out,
                   std::ostream& err);

}  // namespace host
