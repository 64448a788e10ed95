// hvsrc-host: loads the plug-in as the host framework does (load, initialize, registerDevices,
// use, deinitialize, unload) and runs one or more commands against the devices it finds.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"

namespace host {

// The whole program: the arguments after the program's name in, the exit status out. Results go
// to `out`, messages to `err`.
int hostMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
// The same with the input `session` reads its requests from (the other takes standard input).
int hostMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err);

class Session;
// Files the monitor commands of `options` will write: empty when all can be written, else why not.
std::string checkOutputFiles(const Options& options);
// The commands of `options` against a started session: each checked against the devices found,
// nothing run when one does not fit (EXIT_USAGE), then run in order until one fails or a stop
// comes between two. The exit code.
int runChain(Session& session, Options& options);

}  // namespace host
