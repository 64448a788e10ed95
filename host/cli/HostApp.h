// hvsrc-host: loads the plug-in as the host framework does (load, initialize, registerDevices,
// use, deinitialize, unload) and runs one or more commands against the devices it finds.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "cli/CommandLine.h"

namespace host {

// The whole program: the arguments after the program's name in, the exit status out. Results go
// to `out`, messages to `err`.
int hostMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace host
