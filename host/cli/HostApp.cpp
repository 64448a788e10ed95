// The order of a run: the whole command line is read and checked, and the files it names, before
// anything is loaded; the commands are checked against the devices found before the first runs;
// a Ctrl-C stops the run between commands (monitor and ramp stop within), and the library is
// deinitialised however the run ends.
#include "cli/HostApp.h"

#include <iostream>

#include "cli/HostPlatform.h"
#include "ops/Commands.h"
#include "ops/Session.h"
#include "output/Files.h"
#include "output/Json.h"
#include "platform.h"
#include "scenario/Scenario.h"
#include "session/SessionMode.h"
#include "version.h"

namespace host {

// Files the monitor commands will write, checked before anything is loaded. A CSV that exists
// is never overwritten unasked: it takes --append or --overwrite.
std::string checkOutputFiles(const Options& options) {
    for (const Command& command : options.commands) {
        const bool iv = command.name == CommandName::Iv;
        if (command.name != CommandName::Monitor && !iv) {
            continue;
        }
        const MonitorOptions& m = command.monitor;
        if (!iv && !m.csvPath.empty() && !m.append && !m.overwrite && plat::fileExists(m.csvPath)) {
            return m.csvPath + " exists: give --append to add rows to it (same columns) or " +
                   "--overwrite to replace it";
        }
        if (iv && !command.iv.csvPath.empty() && !command.iv.overwrite &&
            plat::fileExists(command.iv.csvPath)) {
            return command.iv.csvPath + " exists: give --overwrite to replace it";
        }
        const std::string* paths[2] = {iv ? &command.iv.csvPath : &m.csvPath,
                                       iv ? &command.iv.svgPath : &m.svgPath};
        for (const std::string* path : paths) {
            const std::string problem = path->empty() ? "" : checkWritable(*path);
            if (!problem.empty()) {
                return problem;
            }
        }
    }
    return "";
}

namespace {

// Says why the run ends before a command ran: on the error stream, and as a JSON object on the
// output under --json. Returns `exit`.
int refuse(const Options& options, std::ostream& out, std::ostream& err, int exit,
           const std::string& message) {
    err << "hvsrc-host: " << message << "\n";
    if (options.json) {
        emitJson(out, {{"error", message}, {"exit", exit}});
    }
    return exit;
}

}  // namespace

int runChain(Session& session, Options& options) {
    for (Command& command : options.commands) {
        const std::string problem = checkCommand(session, command);
        if (!problem.empty()) {
            return session.fail(EXIT_USAGE,
                                "in '" + command.text + "': " + problem + "; nothing was run");
        }
    }
    for (const Command& command : options.commands) {
        if (hostplat::stopRequested()) {
            return session.fail(hostplat::stopExitCode(), "stopped by " + hostplat::stopName() +
                                                              " before '" + command.text + "'");
        }
        const int rc = runCommand(session, command);
        if (rc != EXIT_OK) {
            return rc;
        }
    }
    return EXIT_OK;
}

namespace {

int runSession(Options& options, const std::vector<ScenarioSource>& scenario,
               const std::string& logFolder, std::ostream& out, std::ostream& err) {
    Session session(options, out, err);
    const int started = session.start(scenario, logFolder);
    return started != EXIT_OK ? started : runChain(session, options);
}

}  // namespace

int hostMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    return hostMain(args, std::cin, out, err);
}

int hostMain(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
             std::ostream& err) {
    Options options;
    std::string error;
    if (!parseCommandLine(args, options, error)) {
        refuse(options, out, err, EXIT_USAGE, error);
        err << "(hvsrc-host --help lists the commands and options)\n";
        return EXIT_USAGE;
    }
    // A session's output is JSON lines from the start, its refusals too.
    const bool sessionMode =
        !options.commands.empty() && options.commands.front().name == CommandName::Session;
    options.json = options.json || sessionMode;
    if (options.help) {
        out << usageText();
        return EXIT_OK;
    }
    if (options.version) {
        out << "hvsrc-host " << HVSRC_VERSION << "\n";
        return EXIT_OK;
    }
    std::vector<ScenarioSource> scenario = defaultScenario();
    if (!options.scenarioPath.empty()) {
        scenario.clear();
        if (!readScenarioFile(options.scenarioPath, scenario, error)) {
            return refuse(options, out, err, EXIT_USAGE, error);
        }
    }
    error = checkOutputFiles(options);
    if (!error.empty()) {
        return refuse(options, out, err, EXIT_USAGE, error);
    }
    std::string logFolder, note;
    if (!prepareLogFolder(options.logDirectory, hostplat::userStateFolder(), logFolder, note,
                          error)) {
        return refuse(options, out, err, EXIT_USAGE, error);
    }
    if (options.logDirectory.empty()) {
        err << "hvsrc-host: logs in " << logFolder << "\n";
    }
    if (!note.empty()) {
        err << "hvsrc-host: " << note << "\n";
    }
    hostplat::installStopHandlers();
    int rc = sessionMode ? runSessionMode(options, scenario, logFolder, in, out, err)
                         : runSession(options, scenario, logFolder, out, err);
    if (rc == EXIT_INTERRUPTED) {
        rc = hostplat::stopExitCode();
    }
    out.flush();
    hostplat::runFinished();
    return rc;
}

}  // namespace host
