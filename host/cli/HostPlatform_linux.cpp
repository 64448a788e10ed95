#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <cstdlib>

#include "cli/HostPlatform.h"
#include "platform.h"

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
