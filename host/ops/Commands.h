// hvsrc-host's commands against the devices of a session. Each command is checked against the
// devices found (checkCommand) before the first one runs, so a chain that names a device, source
// or parameter that is not there touches nothing.
#pragma once

#include <string>
#include <vector>

#include "cli/CommandLine.h"
#include "ops/Session.h"

namespace host {

// Empty when the command fits the devices found, else what is wrong: a device address resolved
// to its position, a parameter name to the device's spelling, every target within the limits.
std::string checkCommand(Session& session, Command& command);
// The part of that check that is the monitor's: its CSV against --append and --overwrite.
std::string checkMonitor(Session& session, const MonitorOptions& options);
// Runs one checked command; an exit code.
int runCommand(Session& session, const Command& command);

// Each in a file of its own.
int runRamp(Session& session, const Command& command);
int runMonitor(Session& session, const MonitorOptions& options);
int runIv(Session& session, const Command& command);
// Empty when an iv scan can run on the device, else why not (no current reading, no compliance).
std::string checkIv(const Device& device, const IvOptions& options);
// The voltages an iv scan sets: FROM, FROM + STEP, ... and TO.
std::vector<double> ivTargets(const IvOptions& options);

// Sleeps until `seconds` after `start` (a steady-clock time in seconds); false when a stop
// (Ctrl-C, SIGTERM, SIGHUP, a closed console) came first.
bool waitUntil(double start, double seconds);
// Seconds on the steady clock.
double steadyNow();

}  // namespace host
