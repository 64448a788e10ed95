// The thin layer over the operating system. Everything that differs between Windows and Linux
// lives behind these declarations; platform_windows.cpp and platform_linux.cpp implement them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

// Marks the one function a shared library exports (everything else is hidden).
#if defined(_WIN32)
#define PLAT_EXPORT __declspec(dllexport)
#else
#define PLAT_EXPORT __attribute__((visibility("default")))
#endif

namespace plat {

// Recursive lock that knows its owning thread (a critical section on Windows).
struct Lock;
Lock* lockCreate();
void lockDestroy(Lock* lock);
void lockEnter(Lock* lock);
// True when the calling thread owns the lock (and has entered it at least once).
bool lockOwnedByCaller(Lock* lock);
void lockLeave(Lock* lock);

// High-resolution counter and its frequency (QueryPerformanceCounter / -Frequency).
int64_t perfCounter();
int64_t perfFrequency();
// Calendar time in whole seconds (_time64).
int64_t calendarSeconds();
// The wall-clock time now as whole seconds of the calendar and the milliseconds within that
// second, both of the same moment: one reading of CLOCK_REALTIME on Linux; on Windows _time64
// and the milliseconds field of GetSystemTime, read again when a second began between the two.
void wallClock(int64_t& seconds, int& milliseconds);
// Local calendar time of a time in whole seconds; false when it cannot be converted.
bool localTime(int64_t seconds, std::tm* out);
void sleepMs(unsigned milliseconds);
// CPU time the whole process has used so far (user and system, all threads), in seconds, and the
// memory it has resident now, in bytes (0 when it cannot be told). For measurements.
double processCpuSeconds();
size_t residentBytes();

// Ctrl-C. Once installed, the first Ctrl-C (SIGINT on Linux; Ctrl-C or Ctrl-Break at the console
// on Windows) only raises a flag that interruptRequested reports, so that a program can finish
// what it is doing and stop cleanly; a second Ctrl-C ends the program at once as usual.
void installInterruptHandler();
bool interruptRequested();
// Lowers the flag again; the next Ctrl-C then raises it again rather than end the program.
void clearInterrupt();

// True where the D2XX functions use the platform's default calling convention, so plain
// function pointers reach them: x64 Windows and Linux; not 32-bit Windows (__stdcall).
#if defined(_WIN32) && !defined(_WIN64)
constexpr bool kD2xxDefaultCallingConvention = false;
#else
constexpr bool kD2xxDefaultCallingConvention = true;
#endif

// Dynamic libraries. Handles are null when loading failed.
void* loadLibrary(const char* name);
void* findSymbol(void* library, const char* name);
void freeLibrary(void* library);
// The bare file name of the vendor's D2XX driver library on this platform.
const char* d2xxLibraryName();
// The bare file name tried when d2xxLibraryName() cannot be loaded, or null where there is none
// (Windows: the name under which the vendor's installer puts the library into the system folder).
const char* d2xxFallbackLibraryName();
// The file name of a shared library built from `base` ("libhvsrc.so" / "hvsrc.dll").
std::string sharedLibraryFileName(const std::string& base);

// Files, named by UTF-8 paths.
bool fileExists(const std::string& path);
int renameFile(const std::string& from, const std::string& to);
// Returns null on failure.
std::FILE* openFile(const std::string& path, const char* mode);

// The directory separator, and a path made of a directory, one separator and a file name
// (the separator is appended whatever the directory text ends with).
char pathSeparator();
// Directory of the running program, without a trailing separator.
std::string executableDirectory();
std::string joinPath(const std::string& directory, const std::string& fileName);

}  // namespace plat
