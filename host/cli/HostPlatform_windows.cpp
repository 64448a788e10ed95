#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/HostPlatform.h"
#include "platform.h"

namespace host::hostplat {

namespace {

// The exit status a closed console gives, as SIGHUP does on Linux.
constexpr int kClosedConsoleExit = 129;
// Windows ends the program some five seconds after a close event; the clean-up gets most of it.
constexpr int kCloseWaitMs = 4500;
constexpr int kCloseLookMs = 50;

std::atomic<bool> closed{false};
std::atomic<bool> stopAsked{false};
std::atomic<bool> finished{false};

BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) {
        return FALSE;  // Ctrl-C and Ctrl-Break go to the interrupt handler
    }
    closed.store(true);
    // The program ends when this returns: give the run the time to finish its row, write its
    // files and deinitialise the library.
    for (int waited = 0; waited < kCloseWaitMs && !finished.load(); waited += kCloseLookMs) {
        Sleep(kCloseLookMs);
    }
    return TRUE;
}

}  // namespace

void installStopHandlers() {
    plat::installInterruptHandler();
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

bool stopRequested() {
    return plat::interruptRequested() || stopAsked.load() || closed.load();
}

int stopExitCode() {
    return closed.load()                                    ? kClosedConsoleExit
           : plat::interruptRequested() || stopAsked.load() ? 130
                                                            : 0;
}

std::string stopName() {
    return closed.load()                                     ? "the console closing"
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
    return closed.load();
}

void ignoreClosedOutput() {
    // A write to a pipe whose reader has gone fails on Windows; nothing to change.
}

void runFinished() {
    finished.store(true);
}

bool errorIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool startCommand(const std::string& command,
                  const std::vector<std::pair<std::string, std::string>>& environment,
                  std::string& error) {
    // The environment block: this program's variables, then the added ones, each ending in a
    // NUL, the block in a second NUL.
    std::string block;
    if (char* own = GetEnvironmentStringsA()) {
        for (const char* entry = own; *entry != '\0'; entry += std::strlen(entry) + 1) {
            block.append(entry, std::strlen(entry) + 1);
        }
        FreeEnvironmentStringsA(own);
    }
    for (const auto& variable : environment) {
        block += variable.first + "=" + variable.second;
        block.push_back('\0');
    }
    block.push_back('\0');
    std::string line = "cmd.exe /c " + command;
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        block.data(), nullptr, &startup, &process)) {
        error = "CreateProcess failed with error " + std::to_string(GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

std::string lastLoadError() {
    const DWORD code = GetLastError();
    if (code == 0) {
        return "";
    }
    char buffer[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, buffer, sizeof(buffer), nullptr);
    std::string text(buffer, length);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.')) {
        text.pop_back();
    }
    return text.empty() ? "error " + std::to_string(code) : text;
}

std::string userStateFolder() {
    const char* local = std::getenv("LOCALAPPDATA");
    return local != nullptr && local[0] != '\0' ? local : "";
}

}  // namespace host::hostplat
