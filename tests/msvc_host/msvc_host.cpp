// A host built as Microsoft's compiler builds one: clang for x86_64-pc-windows-msvc, without
// Microsoft's headers or run-time library, linked by lld-link against an import library of the
// few kernel32 functions it calls. Run under Wine beside hvsrc.dll (built by MinGW-w64) and the
// stand-in driver, it loads the plug-in, hands it a framework and parameter lists laid out by
// Microsoft's rules, and calls every operation of jd::IHwLib and jd::IHwDevHvSrc that a host may
// call, checking each answer; the plug-in calls back into every operation of the host's objects.
// A slot that the two compilers placed differently shows as a wrong answer or a callback that
// never came. Prints each failed check and a summary; exit status 0 only when all passed.
//
// Without a run-time library no dynamic initializer ever runs: every object with static storage
// is constant-initialized (each member has an initializer; the attribute below makes the compiler
// refuse anything else), and the few functions the compiler may call on its own are defined here.
#include <stddef.h>
#include <stdint.h>

#include "jd/HostInterfaces.h"
#include "jd/IHwDev.h"
#include "jd/IHwLib.h"
#include "sim_bias.h"
#include "sim_hvsrc.h"
#include "simctl.h"

#define CONSTANT_INIT [[clang::require_constant_initialization]]

// --- kernel32, as the import library made from kernel32.def provides it -------------------------

extern "C" {
__declspec(dllimport) void* LoadLibraryA(const char* path);
__declspec(dllimport) void* GetProcAddress(void* module, const char* name);
__declspec(dllimport) uint32_t GetModuleFileNameA(void* module, char* path, uint32_t size);
__declspec(dllimport) int CreateDirectoryA(const char* path, void* security);
__declspec(dllimport) void* GetStdHandle(uint32_t which);
__declspec(dllimport) int WriteFile(void* file, const void* data, uint32_t size, uint32_t* written,
                                    void* overlapped);
[[noreturn]] __declspec(dllimport) void ExitProcess(uint32_t code);
}

// --- What the compiler may call without being asked ----------------------------------------------

extern "C" {
int _fltused = 0;

int _purecall() {
    ExitProcess(70);
}

// Byte by byte through volatile pointers, so the loops are never turned back into these calls.
void* memset(void* dest, int value, size_t count) {
    for (volatile unsigned char* d = static_cast<unsigned char*>(dest); count > 0; --count) {
        *d++ = static_cast<unsigned char>(value);
    }
    return dest;
}

void* memcpy(void* dest, const void* src, size_t count) {
    const unsigned char* s = static_cast<const unsigned char*>(src);
    for (volatile unsigned char* d = static_cast<unsigned char*>(dest); count > 0; --count) {
        *d++ = *s++;
    }
    return dest;
}
}

namespace {

// --- Output and checks -------------------------------------------------------------------------

size_t length(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') {
        ++n;
    }
    return n;
}

bool same(const char* a, const char* b) {
    size_t i = 0;
    while (a != nullptr && b != nullptr && a[i] != '\0' && a[i] == b[i]) {
        ++i;
    }
    return a == nullptr || b == nullptr ? a == b : a[i] == b[i];
}

void print(const char* text) {
    uint32_t written = 0;
    WriteFile(GetStdHandle(static_cast<uint32_t>(-11)), text, static_cast<uint32_t>(length(text)),
              &written, nullptr);
}

void printNumber(int64_t value) {
    char text[24] = {};
    char* at = text + sizeof(text) - 1;
    uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : value;
    do {
        *--at = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0) {
        *--at = '-';
    }
    print(at);
}

int checks = 0;
int failed = 0;

bool check(bool ok, const char* what) {
    ++checks;
    if (!ok) {
        ++failed;
        print("FAIL: ");
        print(what);
        print("\r\n");
    }
    return ok;
}

void expect(int64_t actual, int64_t expected, const char* what) {
    if (!check(actual == expected, what)) {
        print("  got ");
        printNumber(actual);
        print(", expected ");
        printNumber(expected);
        print("\r\n");
    }
}

// The doubles answered here are whole volts or microamperes: compared in thousandths.
int64_t milli(double value) {
    return static_cast<int64_t>(value * 1000.0);
}

void expectText(const char* actual, const char* expected, const char* what) {
    if (!check(same(actual, expected), what)) {
        print("  got '");
        print(actual != nullptr ? actual : "(null)");
        print("'\r\n");
    }
}

// --- The host's side of the interfaces: fixed storage, every member initialized -----------------

enum Kind { kInt16 = 1, kInt32, kString };

class Param : public jd::IParam {
public:
    const char* name() override { return name_; }
    int16_t getInt16() override { return static_cast<int16_t>(value_); }
    void setInt32(int32_t value) override { value_ = value; }

    const char* name_ = nullptr;  // the plug-in's text, which lives as long as the device
    const char* text_ = nullptr;
    int kind_ = 0;
    int32_t value_ = 0;
    jd::ParamHandler handler_ = nullptr;
    void* context_ = nullptr;
    int readOnly_ = 0;
};

class ParamList : public jd::IParamList {
public:
    int addInt16(const char* name, const char*, int16_t value, jd::ParamHandler handler,
                 void* context, int readOnly) override {
        return add(name, kInt16, value, nullptr, handler, context, readOnly);
    }
    int addInt32(const char* name, const char*, int32_t value, jd::ParamHandler handler,
                 void* context, int readOnly) override {
        return add(name, kInt32, value, nullptr, handler, context, readOnly);
    }
    int addString(const char* name, const char*, const char* value, jd::ParamHandler handler,
                  void* context, int readOnly) override {
        return add(name, kString, 0, value, handler, context, readOnly);
    }
    int count() override {
        ++countCalls_;
        return size_;
    }
    void release() override { ++released_; }

    Param* find(const char* name) {
        for (int i = 0; i < size_; ++i) {
            if (same(params_[i].name_, name)) {
                return &params_[i];
            }
        }
        return nullptr;
    }

    Param params_[16] = {};
    int size_ = 0;
    int countCalls_ = 0;
    int released_ = 0;

private:
    int add(const char* name, int kind, int32_t value, const char* text, jd::ParamHandler handler,
            void* context, int readOnly) {
        if (size_ == 16) {
            return -1;
        }
        Param& p = params_[size_++];
        p.name_ = name;
        p.kind_ = kind;
        p.value_ = value;
        p.text_ = text;
        p.handler_ = handler;
        p.context_ = context;
        p.readOnly_ = readOnly;
        return 0;
    }
};

class Framework : public jd::IFramework {
public:
    jd::IParamList* createParamList() override { return used_ < 8 ? &lists_[used_++] : nullptr; }
    const char* logDirectory() override {
        ++logDirectoryCalls_;
        return logDir_;
    }

    // The host's list behind a pointer the plug-in hands back; null for any other.
    ParamList* owning(jd::IParamList* list) {
        for (int i = 0; i < used_; ++i) {
            if (list == &lists_[i]) {
                return &lists_[i];
            }
        }
        return nullptr;
    }

    ParamList lists_[8] = {};
    int used_ = 0;
    int logDirectoryCalls_ = 0;
    char logDir_[520] = {};
};
CONSTANT_INIT Framework framework;

class DeviceList : public jd::IHwDevList {
public:
    int addDevice(jd::IHwDev* device) override {
        if (size_ < 8) {
            devices_[size_++] = device;
        }
        return 0;
    }

    jd::IHwDev* devices_[8] = {};
    int size_ = 0;
};
CONSTANT_INIT DeviceList deviceList;

// --- The plug-in and the stand-in driver ---------------------------------------------------------

struct Sim {
    decltype(&::sim_reset) reset = nullptr;
    decltype(&::sim_hvsrc_attach) hvsrcAttach = nullptr;
    decltype(&::sim_hvsrc_set_range) hvsrcSetRange = nullptr;
    decltype(&::sim_hvsrc_set_reading) hvsrcSetReading = nullptr;
    decltype(&::sim_hvsrc_set_voltage) hvsrcSetVoltage = nullptr;
    decltype(&::sim_bias_attach) biasAttach = nullptr;
};
CONSTANT_INIT Sim sim;

char pathBuffer[520] = {};

// The directory of this program followed by `name`.
const char* besideProgram(const char* name) {
    const uint32_t n = GetModuleFileNameA(nullptr, pathBuffer, sizeof(pathBuffer));
    size_t cut = 0;
    for (size_t i = 0; i < n; ++i) {
        if (pathBuffer[i] == '\\' || pathBuffer[i] == '/') {
            cut = i + 1;
        }
    }
    size_t k = 0;
    for (; name[k] != '\0' && cut + k + 1 < sizeof(pathBuffer); ++k) {
        pathBuffer[cut + k] = name[k];
    }
    pathBuffer[cut + k] = '\0';
    return pathBuffer;
}

template <typename F>
bool bind(void* module, const char* name, F& function) {
    function = reinterpret_cast<F>(GetProcAddress(module, name));
    return check(function != nullptr, name);
}

// The stand-in driver, loaded by path before the plug-in, which then finds it by its bare name.
bool loadDriver() {
    void* driver = LoadLibraryA(besideProgram("ftd2xx64.dll"));
    if (!check(driver != nullptr, "the stand-in driver ftd2xx64.dll loads")) {
        return false;
    }
    // Every name is tried, so a run names all that are missing.
    int bound = 0;
    bound += bind(driver, "sim_reset", sim.reset);
    bound += bind(driver, "sim_hvsrc_attach", sim.hvsrcAttach);
    bound += bind(driver, "sim_hvsrc_set_range", sim.hvsrcSetRange);
    bound += bind(driver, "sim_hvsrc_set_reading", sim.hvsrcSetReading);
    bound += bind(driver, "sim_hvsrc_set_voltage", sim.hvsrcSetVoltage);
    bound += bind(driver, "sim_bias_attach", sim.biasAttach);
    return bound == 6;
}

jd::IHwLib* loadPlugin() {
    void* plugin = LoadLibraryA(besideProgram("..\\hvsrc.dll"));
    if (!check(plugin != nullptr, "hvsrc.dll loads")) {
        return nullptr;
    }
    using Entry = jd::IHwLib* (*)();
    Entry entry = nullptr;
    if (!bind(plugin, "jdGetHwLib", entry)) {
        return nullptr;
    }
    jd::IHwLib* lib = entry();
    check(lib != nullptr && entry() == lib, "jdGetHwLib answers the same object every time");
    return lib;
}

// --- The checks ----------------------------------------------------------------------------------

// The current model's parameters as registered: order, kind, value, writability, handler.
void checkRegistered(ParamList* list) {
    struct Expected {
        const char* name;
        int kind;
        int32_t value;
        int readOnly;
    };
    static const Expected expected[] = {
        {"Firmware", kString, 0, 1},       {"SourceCount", kInt16, 2, 1},
        {"Voltage1", kInt16, 0, 0},        {"Voltage2", kInt16, 0, 0},
        {"MinVoltage1", kInt32, -1500, 1}, {"MinVoltage2", kInt32, -300, 1},
        {"MaxVoltage1", kInt32, 1200, 1},  {"MaxVoltage2", kInt32, 700, 1},
        {"VoltageSense1", kInt32, 0, 1},   {"VoltageSense2", kInt32, 0, 1},
        {"CurrentSense1", kInt32, 0, 1},   {"CurrentSense2", kInt32, 0, 1},
    };
    constexpr int kCount = sizeof(expected) / sizeof(expected[0]);
    expect(list->size_, kCount, "the HV source registers twelve parameters");
    for (int i = 0; i < kCount && i < list->size_; ++i) {
        const Param& p = list->params_[i];
        expectText(p.name_, expected[i].name, "parameter name, in order");
        expect(p.kind_, expected[i].kind, expected[i].name);
        expect(p.value_, expected[i].value, expected[i].name);
        expect(p.readOnly_, expected[i].readOnly, expected[i].name);
        check((p.handler_ != nullptr) == (i != 0), "a handler on all but Firmware");
    }
    if (list->size_ > 0) {
        expectText(list->params_[0].text_, "HVS-2.1.0", "Firmware's text");
    }
}

// The handler as a host calls it: a reading stored through setInt32, a new voltage taken through
// getInt16 and sent to the source.
void checkHandler(ParamList* list, jd::IHwDevHvSrc* hv, int bridge) {
    Param* sense = list->find("VoltageSense1");
    Param* current = list->find("CurrentSense1");
    Param* voltage = list->find("Voltage1");
    if (!check(sense != nullptr && current != nullptr && voltage != nullptr,
               "the sense and voltage parameters are there")) {
        return;
    }
    expect(sense->handler_(sense, true, sense->context_), 0, "VoltageSense1 read: result");
    expect(sense->value_, 123, "VoltageSense1 read: the measured volts through setInt32");
    expect(current->handler_(current, true, current->context_), 0, "CurrentSense1 read");
    expect(current->value_, 45000, "CurrentSense1 read: the raw current through setInt32");
    voltage->value_ = 300;
    expect(voltage->handler_(voltage, false, voltage->context_), 0, "Voltage1 written");
    int16_t set = 0;
    sim.hvsrcSetVoltage(bridge, 0, &set);
    expect(set, 300, "Voltage1 written: the source's set voltage, from getInt16");
    expect(milli(hv->getVoltage(0)), milli(250.0),
           "Voltage1 written: getVoltage(0) keeps setVoltage's");
}

// Every operation of the device interface a host may call, in slot order (release, slot 19, is
// the library's: its effect shows in the lists' release calls at the end).
void checkDevice(jd::IHwDevHvSrc* hv, int bridge) {
    expect(hv->typeCode(), 14, "0 typeCode");
    jd::HwDevInfo info = {"not written", 99, 99, 99, 99};
    expect(hv->getInfo(&info), 0, "1 getInfo");
    expectText(info.name, "HV Source", "1 getInfo: name");
    expect(info.category, 12, "1 getInfo: category");
    expect(info.connection, 2, "1 getInfo: connection");
    expect(info.number, 7, "1 getInfo: number");
    expect(info.reserved, 0, "1 getInfo: reserved");

    ParamList* params = framework.owning(hv->parameters());
    ParamList* aux = framework.owning(hv->auxParameters());
    check(params != nullptr, "8 parameters: one of the host's lists");
    check(aux != nullptr && aux != params, "9 auxParameters: another of the host's lists");
    if (params == nullptr || aux == nullptr) {
        return;
    }
    checkRegistered(params);
    expect(aux->size_, 0, "9 auxParameters stays empty");
    check(params->countCalls_ > 0, "IParamList 3 count: asked before registering");
    expectText(hv->lastError(), "", "10 lastError before any failure");

    expect(hv->deinitialize(), 0, "3 deinitialize");
    expect(hv->initialize(), 0, "2 initialize");
    expect(params->size_, 12, "2 initialize again keeps the first parameters");
    expect(hv->reserved1(), 1, "4 reserved1");
    expect(hv->reserved2(), 0, "5 reserved2");
    hv->setCallback(0x1122334455667788ull, 0x99);
    expect(hv->reserved3(), 0, "7 reserved3");
    hv->reserved4();
    expectText(hv->deviceName(), "HV Source", "12 deviceName");
    expect(hv->reserved5(), 0, "13 reserved5");
    expectText(hv->reserved6(), "", "14 reserved6");
    expect(hv->reserved7(), 0, "15 reserved7");
    hv->reserved8();
    expect(hv->reserved9(), -1026, "17 reserved9");
    expect(hv->reserved10(), -1026, "18 reserved10");
    expect(hv->reserved11(), -1026, "20 reserved11");
    check(hv->parametersAlt() == params, "21 parametersAlt: the same list as parameters");
    expect(hv->reserved12(), 0, "22 reserved12");
    hv->reserved13();

    expect(hv->setVoltage(0, 250.0), 0, "24 setVoltage(0, 250 V)");
    int16_t set = 0;
    sim.hvsrcSetVoltage(bridge, 0, &set);
    expect(set, 250, "24 setVoltage: the source's set voltage");
    expect(milli(hv->getVoltage(0)), milli(250.0), "25 getVoltage(0)");
    expect(hv->setVoltage(1, 5000.0), -1005, "24 setVoltage(1, 5000 V): outside the limits");
    check(length(hv->lastError()) > 0, "10 lastError after the refusal");
    expect(milli(hv->getVoltage(1)), milli(5000.0), "25 getVoltage(1): the last value asked for");
    expect(hv->sourceCount(), 2, "26 sourceCount");
    expect(milli(hv->readVoltage(0)), milli(123.0), "27 readVoltage(0)");
    expect(milli(hv->readCurrent(0)), milli(45.0), "28 readCurrent(0)");
    expect(milli(hv->minVoltage(0)), milli(-1500.0), "29 minVoltage(0)");
    expect(milli(hv->minVoltage(1)), milli(-300.0), "29 minVoltage(1)");
    expect(milli(hv->maxVoltage(0)), milli(1200.0), "30 maxVoltage(0)");
    expect(milli(hv->maxVoltage(1)), milli(700.0), "30 maxVoltage(1)");
    expect(hv->reserved14(), 0, "31 reserved14");
    expect(hv->reserved15(), -1026, "32 reserved15");
    expect(hv->reserved16(), 0, "33 reserved16");
    expect(hv->reserved17(), 0, "34 reserved17");
    expect(hv->polarity(), 0, "35 polarity of the HV source");

    checkHandler(params, hv, bridge);
}

void checkBias(jd::IHwDevHvSrc* bias) {
    expect(bias->typeCode(), 14, "bias module: typeCode");
    expectText(bias->deviceName(), "BiasMod", "bias module: deviceName");
    expect(bias->polarity(), 1, "bias module: polarity POS");
    ParamList* params = framework.owning(bias->parameters());
    if (check(params != nullptr && params->size_ == 1, "bias module: one parameter")) {
        expectText(params->params_[0].name_, "Firmware", "bias module: Firmware");
        expectText(params->params_[0].text_, "BM-1.04", "bias module: Firmware's text");
    }
}

int run() {
    if (!loadDriver()) {
        return 2;
    }
    sim.reset();
    const int hvBridge = sim.hvsrcAttach("Tessaro HV Source: 7", "MSVC7");
    sim.hvsrcSetRange(hvBridge, 0, -1500, 1200);
    sim.hvsrcSetRange(hvBridge, 1, -300, 700);
    sim.hvsrcSetReading(hvBridge, 0, 123, 45000);
    check(hvBridge > 0 && sim.biasAttach("BiasModule: 8", "MSVC8") > 0,
          "the simulated sources are attached");

    jd::IHwLib* lib = loadPlugin();
    if (lib == nullptr) {
        return 2;
    }
    const char* logDir = besideProgram("msvc_host_logs");
    CreateDirectoryA(logDir, nullptr);
    memcpy(framework.logDir_, logDir, length(logDir) + 1);

    expect(lib->reserved1(), 0, "IHwLib 3 reserved1");
    lib->setCallback(0x0102030405060708ull, 0x0A0B);
    expect(static_cast<int64_t>(lib->reserved2()), 0, "IHwLib 5 reserved2");
    expect(lib->initialize(&framework), 0, "IHwLib 0 initialize");
    expect(framework.used_, 4, "initialize: two parameter lists per device");
    expect(framework.logDirectoryCalls_, 3,
           "initialize: the log folder, for the library and each device");
    expect(lib->registerDevices(&deviceList), 0, "IHwLib 2 registerDevices");
    if (!check(deviceList.size_ == 2, "registerDevices hands over both devices")) {
        return 1;
    }
    // Each is a jd::IHwDevHvSrc (typeCode 14); no run-time type information crosses.
    jd::IHwDevHvSrc* hv = static_cast<jd::IHwDevHvSrc*>(deviceList.devices_[0]);
    jd::IHwDevHvSrc* bias = static_cast<jd::IHwDevHvSrc*>(deviceList.devices_[1]);
    checkDevice(hv, hvBridge);
    checkBias(bias);

    expect(lib->registerDevices(&deviceList), 0, "IHwLib 2 registerDevices again");
    check(deviceList.size_ == 4 && deviceList.devices_[2] == deviceList.devices_[0] &&
              deviceList.devices_[3] == deviceList.devices_[1],
          "registerDevices again: the same devices");
    expect(lib->deinitialize(), 0, "IHwLib 1 deinitialize");
    for (int i = 0; i < framework.used_; ++i) {
        expect(framework.lists_[i].released_, 1, "deinitialize: each list released once");
    }
    expect(lib->registerDevices(&deviceList), 0, "registerDevices after deinitialize");
    expect(deviceList.size_, 4, "registerDevices after deinitialize hands over nothing");

    return failed == 0 ? 0 : 1;
}

}  // namespace

extern "C" void hostStart() {
    const int status = run();
    print("msvc_host: ");
    printNumber(checks);
    print(" checks, ");
    printNumber(failed);
    print(" failed\r\n");
    ExitProcess(static_cast<uint32_t>(status));
}
