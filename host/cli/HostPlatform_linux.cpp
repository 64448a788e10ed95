#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "cli/HostPlatform.h"
#include "platform.h"

extern char** environ;

namespace host::hostplat {

namespace {

std::atomic<int> stopSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");
std::atomic<bool> stopAsked{false};

void onStop(int signal) {
    int none = 0;
    stopSignal.compare_exchange_strong(none, signal);
}

}  // namespace

void installStopHandlers() {
    plat::installInterruptHandler();
    struct sigaction action {};
    action.sa_handler = onStop;
    sigemptyset(&action.sa_mask);
    // A second SIGTERM or SIGHUP has its default effect and ends the program.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

bool stopRequested() {
    return plat::interruptRequested() || stopAsked.load() || stopSignal.load() != 0;
}

int stopExitCode() {
    const int signal = stopSignal.load();
    return signal != 0                                      ? 128 + signal
           : plat::interruptRequested() || stopAsked.load() ? 128 + SIGINT
                                                            : 0;
}

std::string stopName() {
    const int signal = stopSignal.load();
    return signal == SIGTERM                                 ? "SIGTERM"
           : signal == SIGHUP                                ? "SIGHUP"
           : stopAsked.load() && !plat::interruptRequested() ? "a stop request"
                                                             : "Ctrl-C";
}

void requestStop() {
    stopAsked.store(true);
}

void clearStop() {
    stopAsked.store(false);
    plat::clearInterrupt();
}

bool endRequested() {
    return stopSignal.load() != 0;
}

void ignoreClosedOutput() {
    signal(SIGPIPE, SIG_IGN);
}

void runFinished() {}

bool errorIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

bool startCommand(const std::string& command,
                  const std::vector<std::pair<std::string, std::string>>& environment,
                  std::string& error) {
    std::vector<std::string> texts;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        texts.emplace_back(*entry);
    }
    for (const auto& variable : environment) {
        texts.push_back(variable.first + "=" + variable.second);
    }
    std::vector<char*> envp;
    for (std::string& text : texts) {
        envp.push_back(text.data());
    }
    envp.push_back(nullptr);
    std::string shell = "/bin/sh", dashC = "-c", body = command;
    char* argv[] = {shell.data(), dashC.data(), body.data(), nullptr};
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv, envp.data());
    if (rc != 0) {
        error = std::strerror(rc);
        return false;
    }
    // Reaped by a thread of its own, so the command never waits on us nor we on it.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

std::string lastLoadError() {
    const char* text = dlerror();
    return text != nullptr ? text : "";
}

std::string userStateFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return state;
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && home[0] != '\0' ? std::string(home) + "/.local/state" : "";
}

}  // namespace host::hostplat
