// What hvsrc-host does differently on each platform: the signals and console events that stop a
// run, and the user's state folder. Everything else in the program is the same on both.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace host::hostplat {

// Ctrl-C, and on Linux SIGTERM and SIGHUP, on Windows the console being closed, all ask the run
// to stop where it is. Installed once, before the session starts.
void installStopHandlers();
// True once any of them came.
bool stopRequested();
// The exit status for the stop that came: 128 + the signal number (130 for Ctrl-C, 143 for
// SIGTERM, 129 for SIGHUP and for a closed console); 0 when none came.
int stopExitCode();
// What stopped the run, for messages ("Ctrl-C", "SIGTERM", ...).
std::string stopName();
// Called when the run has finished its clean-up: a closed console waits for it.
void runFinished();

// A session's "stop" request: stops the running command as Ctrl-C does (stopRequested, exit 130,
// named "a stop request").
void requestStop();
// Lowers the Ctrl-C and the stop request once a session's command has ended (a session goes on
// after them); SIGTERM, SIGHUP and a closed console stay.
void clearStop();
// True once SIGTERM, SIGHUP or a closed console came: the session ends.
bool endRequested();
// A session whose reader has gone must not be ended by the write that finds it out (SIGPIPE on
// Linux): the write fails instead and the session ends cleanly.
void ignoreClosedOutput();

// True when the error stream is a terminal: progress lines go there only then.
bool errorIsTerminal();

// Starts `command` through the system's shell (sh -c; cmd /c on Windows) with the variables
// added to this program's environment, and returns without waiting for it. False with the
// system's reason when it could not be started.
bool startCommand(const std::string& command,
                  const std::vector<std::pair<std::string, std::string>>& environment,
                  std::string& error);

// Why the last library load failed, as the system says it; empty when it says nothing.
std::string lastLoadError();

// The folder for per-user program state ($XDG_STATE_HOME, else ~/.local/state; %LOCALAPPDATA%);
// empty when the environment names none.
std::string userStateFolder();

}  // namespace host::hostplat
