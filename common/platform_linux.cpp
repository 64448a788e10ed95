#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform.h"

namespace plat {

struct Lock {
    pthread_mutex_t mutex;
    std::atomic<pthread_t> owner;
    std::atomic<int> depth;
};

Lock* lockCreate() {
    Lock* lock = new Lock;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&lock->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    lock->owner.store(pthread_t{});
    lock->depth.store(0);
    return lock;
}

void lockDestroy(Lock* lock) {
    if (lock == nullptr) {
        return;
    }
    pthread_mutex_destroy(&lock->mutex);
    delete lock;
}

void lockEnter(Lock* lock) {
    pthread_mutex_lock(&lock->mutex);
    lock->owner.store(pthread_self());
    lock->depth.fetch_add(1);
}

bool lockOwnedByCaller(Lock* lock) {
    return lock->depth.load() > 0 && pthread_equal(lock->owner.load(), pthread_self());
}

void lockLeave(Lock* lock) {
    if (lock->depth.fetch_sub(1) == 1) {
        lock->owner.store(pthread_t{});
    }
    pthread_mutex_unlock(&lock->mutex);
}

int64_t perfCounter() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int64_t perfFrequency() {
    return 1000000000LL;
}

int64_t calendarSeconds() {
    return static_cast<int64_t>(std::time(nullptr));
}

void wallClock(int64_t& seconds, int& milliseconds) {
    // time() reads a coarser clock that can still show the previous second for a moment after
    // CLOCK_REALTIME has passed into the next one: both parts come from the one reading.
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    seconds = static_cast<int64_t>(ts.tv_sec);
    milliseconds = static_cast<int>(ts.tv_nsec / 1000000);
}

bool localTime(int64_t seconds, std::tm* out) {
    time_t t = static_cast<time_t>(seconds);
    return localtime_r(&t, out) != nullptr;
}

void sleepMs(unsigned milliseconds) {
    timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {

std::atomic<bool> interrupted{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
std::atomic<bool> handlerInstalled{false};

void onInterrupt(int) {
    interrupted.store(true);
}

}  // namespace

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // SA_RESETHAND: the next SIGINT has its default effect, so a second Ctrl-C ends the program.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    handlerInstalled.store(true);
}

bool interruptRequested() {
    return interrupted.load();
}

void clearInterrupt() {
    // The handler reset itself when it ran (SA_RESETHAND): installed again for the next Ctrl-C.
    if (interrupted.exchange(false) && handlerInstalled.load()) {
        installInterruptHandler();
    }
}

double processCpuSeconds() {
    rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        return 0.0;
    }
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

size_t residentBytes() {
    std::FILE* file = std::fopen("/proc/self/statm", "r");
    if (file == nullptr) {
        return 0;
    }
    unsigned long pages = 0;
    unsigned long resident = 0;
    const int read = std::fscanf(file, "%lu %lu", &pages, &resident);
    std::fclose(file);
    const long pageSize = sysconf(_SC_PAGESIZE);
    return read == 2 && pageSize > 0 ? resident * static_cast<size_t>(pageSize) : 0;
}

void* loadLibrary(const char* name) {
    return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* findSymbol(void* library, const char* name) {
    if (library == nullptr) {
        return nullptr;
    }
    return dlsym(library, name);
}

void freeLibrary(void* library) {
    if (library != nullptr) {
        dlclose(library);
    }
}

const char* d2xxLibraryName() {
    return "libftd2xx.so";
}

const char* d2xxFallbackLibraryName() {
    return nullptr;
}

std::string sharedLibraryFileName(const std::string& base) {
    return "lib" + base + ".so";
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

int renameFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str());
}

std::FILE* openFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

char pathSeparator() {
    return '/';
}

std::string executableDirectory() {
    char buffer[4096];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (length <= 0) {
        return ".";
    }
    std::string path(buffer, static_cast<size_t>(length));
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string joinPath(const std::string& directory, const std::string& fileName) {
    return directory + pathSeparator() + fileName;
}

}  // namespace plat
