// Every line on the output is a JSON object with an "id": the request's, or null for the
// session's own lines ({"id": null, "ready": true, ...} once the devices are found, and a closing
// {"id": null, "done": true, "exit": N}). A request's lines are what the command prints under
// --json, its messages ({"id": ID, "message": TEXT}, also on the error stream as they are), and
// last {"id": ID, "done": true, "exit": N}.
#include "session/SessionMode.h"

#include <memory>

#include "cli/HostApp.h"
#include "cli/HostPlatform.h"
#include "ops/Session.h"
#include "output/Files.h"
#include "platform.h"
#include "session/LineChannel.h"
#include "session/RequestReader.h"
#include "version.h"

namespace host {

namespace {

// How often an idle session looks at the signals that end it.
constexpr unsigned kIdlePollMs = 50;

class SessionMode {
public:
    SessionMode(const Options& options, std::istream& in, std::ostream& out, std::ostream& err)
        : options_(sessionOptions(options)),
          in_(in),
          err_(err),
          channel_(std::make_shared<LineChannel>(out)),
          results_([this](const std::string& line) { write(tagResult(id_, line)); }),
          messages_([this](const std::string& line) { message(line); }),
          resultStream_(&results_),
          messageStream_(&messages_),
          session_(options_, resultStream_, messageStream_) {}

    int run(const std::vector<ScenarioSource>& scenario, const std::string& logFolder);

private:
    static Options sessionOptions(const Options& options) {
        Options copy = options;
        copy.json = true;
        copy.commands.clear();
        return copy;
    }

    // A line of the running command; when the output has gone, the command is stopped as by
    // a stop request, and the session ends after it.
    void write(const OrderedJson& object) {
        if (!channel_->write(object)) {
            hostplat::requestStop();
        }
    }
    void message(const std::string& line) {
        err_ << line << "\n";
        err_.flush();
        write({{"id", id_}, {"message", line}});
    }
    // The lines a request printed are all out before its closing line.
    void flushLines() {
        resultStream_.flush();
        messageStream_.flush();
        results_.finish();
        messages_.finish();
    }
    // Said on the error stream, and as an error object (not also as a message).
    int fail(int exit, const std::string& text) {
        flushLines();
        err_ << "hvsrc-host: " << text << "\n";
        err_.flush();
        channel_->write({{"id", id_}, {"error", text}, {"exit", exit}});
        return exit;
    }
    void done(int exit) {
        flushLines();
        channel_->write({{"id", id_}, {"done", true}, {"exit", exit}});
    }
    int runRequest(const Request& request, RequestReader& reader);
    int rescan();

    const Options options_;
    std::istream& in_;
    std::ostream& err_;
    std::shared_ptr<LineChannel> channel_;
    OrderedJson id_;  // the request whose lines are being printed; null: the session's own
    LineBuffer results_;
    LineBuffer messages_;
    std::ostream resultStream_;
    std::ostream messageStream_;
    Session session_;
    std::string logFolder_;
    int rescans_ = 0;
};

int SessionMode::run(const std::vector<ScenarioSource>& scenario, const std::string& logFolder) {
    hostplat::ignoreClosedOutput();
    logFolder_ = logFolder;
    const int started = session_.start(scenario, logFolder_);
    if (started != EXIT_OK) {
        done(started);
        return started;
    }
    channel_->write({{"id", nullptr},
                     {"ready", true},
                     {"version", HVSRC_VERSION},
                     {"devices", session_.devices().size()},
                     {"log_dir", logFolder_}});
    RequestReader reader(in_, channel_);
    Request request;
    const auto ending = [this] { return channel_->lost() || hostplat::endRequested(); };
    const auto keepWaiting = [&ending] { return !ending(); };
    while (reader.next(request, keepWaiting, kIdlePollMs)) {
        id_ = request.id;
        const int rc =
            !request.error.empty()
                ? fail(EXIT_USAGE, "line " + std::to_string(request.line) + ": " + request.error)
                : runRequest(request, reader);
        done(rc);
        id_ = nullptr;
        if (ending()) {
            break;
        }
    }
    const int rc = hostplat::endRequested() ? hostplat::stopExitCode()
                   : channel_->lost()       ? EXIT_REFUSED
                                            : EXIT_OK;
    session_.shutDown();
    done(rc);
    channel_->close();
    return rc;
}

int SessionMode::runRequest(const Request& request, RequestReader& reader) {
    // What needs no device is checked first: a bad request is refused as such even when a
    // stop came after it.
    const std::vector<std::string>& argv = request.argv;
    const bool rescanning = argv.front() == "rescan";
    Options parsed;
    std::string error;
    if (rescanning && argv.size() > 1) {
        return fail(EXIT_USAGE, "'rescan' takes no arguments");
    }
    if (!rescanning && !parseCommandLine(argv, parsed, error)) {
        return fail(EXIT_USAGE, error);
    }
    if (parsed.help) {
        flushLines();
        channel_->write({{"id", id_}, {"usage", usageText()}});
        return EXIT_OK;
    }
    if (parsed.version || parsed.simulate || !parsed.libraryPath.empty() ||
        !parsed.logDirectory.empty() || !parsed.driverPath.empty()) {
        return fail(EXIT_USAGE,
                    "the program's options are given when the session starts; a request is a "
                    "command and its arguments");
    }
    if (!rescanning && parsed.commands.front().name == CommandName::Session) {
        return fail(EXIT_USAGE, "a session runs commands; 'session' is not one of them");
    }
    if (!reader.begin(request)) {
        return fail(EXIT_INTERRUPTED, "stopped before it started");
    }
    error = rescanning ? "" : checkOutputFiles(parsed);
    int rc = !error.empty() ? fail(EXIT_USAGE, error)
             : rescanning   ? rescan()
                            : runChain(session_, parsed);
    // 128 + the signal, as the command line ends, read before the stop is lowered.
    rc = rc == EXIT_INTERRUPTED && hostplat::stopRequested() ? hostplat::stopExitCode() : rc;
    reader.end();
    return rc;
}

int SessionMode::rescan() {
    // The library starts its logs afresh when initialised: each rescan logs to a folder of its
    // own inside the session's, so that the logs before it are kept.
    std::string folder, note, error;
    const std::string wanted = plat::joinPath(logFolder_, "rescan-" + std::to_string(++rescans_));
    if (!prepareLogFolder(wanted, "", folder, note, error)) {
        return fail(EXIT_REFUSED, error);
    }
    const int rc = session_.rescan(folder);
    flushLines();
    if (rc == EXIT_OK) {
        channel_->write({{"id", id_},
                         {"command", "rescan"},
                         {"devices", session_.devices().size()},
                         {"log_dir", folder}});
    }
    return rc;
}

}  // namespace

int runSessionMode(const Options& options, const std::vector<ScenarioSource>& scenario,
                   const std::string& logFolder, std::istream& in, std::ostream& out,
                   std::ostream& err) {
    SessionMode mode(options, in, out, err);
    return mode.run(scenario, logFolder);
}

}  // namespace host
