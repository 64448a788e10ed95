#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <cwchar>
#include <string>

#include "platform.h"

namespace plat {

struct Lock {
    CRITICAL_SECTION section;
};

Lock* lockCreate() {
    Lock* lock = new Lock;
    InitializeCriticalSection(&lock->section);
    return lock;
}

void lockDestroy(Lock* lock) {
    if (lock == nullptr) {
        return;
    }
    DeleteCriticalSection(&lock->section);
    delete lock;
}

void lockEnter(Lock* lock) {
    EnterCriticalSection(&lock->section);
}

bool lockOwnedByCaller(Lock* lock) {
    const HANDLE owner = lock->section.OwningThread;
    const HANDLE self = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
    return owner == self && lock->section.RecursionCount >= 1;
}

void lockLeave(Lock* lock) {
    LeaveCriticalSection(&lock->section);
}

int64_t perfCounter() {
    LARGE_INTEGER value;
    QueryPerformanceCounter(&value);
    return value.QuadPart;
}

int64_t perfFrequency() {
    LARGE_INTEGER value;
    QueryPerformanceFrequency(&value);
    return value.QuadPart;
}

int64_t calendarSeconds() {
    return static_cast<int64_t>(_time64(nullptr));
}

void wallClock(int64_t& seconds, int& milliseconds) {
    // Two readings: when a second begins between them, the pair would lie a second behind, so
    // read again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        seconds = static_cast<int64_t>(_time64(nullptr));
        SYSTEMTIME st;
        GetSystemTime(&st);
        milliseconds = st.wMilliseconds;
        if (static_cast<int64_t>(_time64(nullptr)) == seconds) {
            return;
        }
    }
}

bool localTime(int64_t seconds, std::tm* out) {
    __time64_t t = static_cast<__time64_t>(seconds);
    return _localtime64_s(out, &t) == 0;
}

void sleepMs(unsigned milliseconds) {
    Sleep(milliseconds);
}

namespace {

std::atomic<bool> interrupted{false};

// Runs on a thread of its own that the console starts.
BOOL WINAPI onConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) {
        return FALSE;
    }
    // The second Ctrl-C goes on to the default handler, which ends the program.
    return interrupted.exchange(true) ? FALSE : TRUE;
}

}  // namespace

void installInterruptHandler() {
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool interruptRequested() {
    return interrupted.load();
}

void clearInterrupt() {
    // The handler stays installed; with the flag down the next Ctrl-C raises it again.
    interrupted.store(false);
}

double processCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return 0.0;
    }
    // 100-nanosecond units.
    const auto seconds = [](const FILETIME& t) {
        return static_cast<double>((static_cast<uint64_t>(t.dwHighDateTime) << 32) |
                                   t.dwLowDateTime) *
               1e-7;
    };
    return seconds(kernel) + seconds(user);
}

size_t residentBytes() {
    PROCESS_MEMORY_COUNTERS counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        return 0;
    }
    return counters.WorkingSetSize;
}

void* loadLibrary(const char* name) {
    return reinterpret_cast<void*>(LoadLibraryA(name));
}

void* findSymbol(void* library, const char* name) {
    // GetProcAddress with no module would search the program's own exports.
    if (library == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void freeLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

const char* d2xxLibraryName() {
    return "ftd2xx64.dll";
}

// In a 64-bit process the system folder's "ftd2xx.dll" is the 64-bit library; a 32-bit one of
// that name found elsewhere simply fails to load.
const char* d2xxFallbackLibraryName() {
    return "ftd2xx.dll";
}

std::string sharedLibraryFileName(const std::string& base) {
    return base + ".dll";
}

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) {
        return std::wstring();
    }
    const int length = MultiByteToWideChar(65001, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(65001, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

}  // namespace

bool fileExists(const std::string& path) {
    WIN32_FIND_DATAW data;
    HANDLE found = FindFirstFileW(widen(path).c_str(), &data);
    if (found == INVALID_HANDLE_VALUE) {
        return false;
    }
    FindClose(found);
    return true;
}

int renameFile(const std::string& from, const std::string& to) {
    return _wrename(widen(from).c_str(), widen(to).c_str());
}

std::FILE* openFile(const std::string& path, const char* mode) {
    std::FILE* file = nullptr;
    if (_wfopen_s(&file, widen(path).c_str(), widen(mode).c_str()) != 0) {
        return nullptr;
    }
    return file;
}

char pathSeparator() {
    return '\\';
}

std::string executableDirectory() {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH * 4);
    if (length == 0) {
        return ".";
    }
    const int size = WideCharToMultiByte(65001, 0, buffer, static_cast<int>(length), nullptr, 0,
                                         nullptr, nullptr);
    std::string path(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(65001, 0, buffer, static_cast<int>(length), &path[0], size, nullptr,
                        nullptr);
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string joinPath(const std::string& directory, const std::string& fileName) {
    return directory + pathSeparator() + fileName;
}

}  // namespace plat
