// The order of a run: the whole command line is read and checked, and the files it names, before
// anything is loaded; the commands are checked against the devices found before the first runs;
// a Ctrl-C stops the run between commands (monitor and ramp stop within), and the library is
// deinitialised however the run ends.
#include "cli/HostApp.h"

#include <iostream>

#include "ops/Commands.h"
#include "ops/Session.h"
#include "output/Files.h"
#include "platform.h"
#include "scenario/Scenario.h"
#include "session/SessionMode.h"
#include "version.h"

namespace host {

// Files the monitor commands will write, checked before anything is loaded.
std::string checkOutputFiles(const Options& options) {
    for (const Command& command : options.commands) {
        if (command.name != CommandName::Monitor) {
            continue;
        }
        for (const std::string* path : {&command.monitor.csvPath, &command.monitor.svgPath}) {
            const std::string problem = path->empty() ? "" : checkWritable(*path);
            if (!problem.empty()) {
                return problem;
            }
        }
    }
    return "";
}

int runChain(Session& session, const Options& options) {
    std::ostream& err = session.err();
    for (size_t i = 0; i < options.commands.size(); ++i) {
        const std::string problem = checkCommand(session, options.commands[i]);
        if (!problem.empty()) {
            err << "hvsrc-host: in '" << options.commands[i].text << "': " << problem
                << "; nothing was run\n";
            return EXIT_USAGE;
        }
    }
    for (const Command& command : options.commands) {
        if (plat::interruptRequested()) {
            err << "hvsrc-host: interrupted before '" << command.text << "'\n";
            return EXIT_INTERRUPTED;
        }
        const int rc = runCommand(session, command);
        if (rc != EXIT_OK) {
            return rc;
        }
    }
    return EXIT_OK;
}

namespace {

int runSession(const Options& options, const std::vector<ScenarioSource>& scenario,
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
        err << "hvsrc-host: " << error << "\n(hvsrc-host --help lists the commands and options)\n";
        return EXIT_USAGE;
    }
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
            err << "hvsrc-host: " << error << "\n";
            return EXIT_USAGE;
        }
    }
    error = checkOutputFiles(options);
    if (!error.empty()) {
        err << "hvsrc-host: " << error << "\n";
        return EXIT_USAGE;
    }
    std::string logFolder;
    if (!prepareLogFolder(options.logDirectory, logFolder, error)) {
        err << "hvsrc-host: " << error << "\n";
        return EXIT_USAGE;
    }
    if (options.logDirectory.empty()) {
        err << "hvsrc-host: logs in " << logFolder << "\n";
    }
    plat::installInterruptHandler();
    const bool sessionMode = options.commands.front().name == CommandName::Session;
    const int rc = sessionMode ? runSessionMode(options, scenario, logFolder, in, out, err)
                               : runSession(options, scenario, logFolder, out, err);
    out.flush();
    return rc;
}

}  // namespace host
