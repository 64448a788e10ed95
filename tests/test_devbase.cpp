// The device base shared by the three source classes, driven through a small test-only class
// against the stand-in driver and the reference host's parameter lists.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DevBase.h"
#include "HostFramework.h"
#include "TextUtil.h"
#include "platform.h"
#include "simctl.h"
#include "test_files.h"

namespace fs = std::filesystem;
using HwHvSrc::DevBase;

namespace {

// A source with two outputs, limits [-10, 100] and [-20, 200], answering measurements with fixed
// values and recording what the base asks of it.
class TestDev : public DevBase {
public:
    TestDev(const std::string& description, jd::IFramework* framework, const std::string& dir)
        : DevBase(description, framework, dir, "HV Source", "tdev_", suffixOf(description),
                  115200) {}

    int setVoltage(uint32_t, double) override { return HwHvSrc::ERR_NOT_SUPPORTED; }
    double getVoltage(uint32_t) override { return 0.0; }
    int64_t sourceCount() override { return 2; }
    double readVoltage(uint32_t) override { return 0.0; }
    double readCurrent(uint32_t) override { return 0.0; }
    double minVoltage(int32_t index) override { return index == 0 ? -10 : -20; }
    double maxVoltage(int32_t index) override { return index == 0 ? 100 : 200; }

    // What the channel looked like when the model's start-up ran.
    int bridge = 0;
    int queries = 0;
    int registrations = 0;
    uint32_t baudAtQuery = 0;
    unsigned queueChecksAtQuery = 0;
    std::vector<uint32_t> measured;
    std::vector<std::pair<uint32_t, int32_t>> sent;

    // Called where deinitialize drops the protocol, inside the device lock.
    std::function<void()> onCloseProtocol;
    void closeProtocol() override {
        if (onCloseProtocol) {
            onCloseProtocol();
        }
    }

    int record(int code, const std::string& text) { return reportError(code, "%s", text.c_str()); }
    static jd::ParamHandler handler() { return &DevBase::parameterHandler; }
    using DevBase::closeChannel;
    using DevBase::deviceLock_;

protected:
    void queryDevice() override {
        ++queries;
        firmware_ = "fw-1.2";
        SimSettings settings{};
        if (bridge > 0 && sim_settings(bridge, &settings) == 0) {
            baudAtQuery = settings.baud_rate;
        }
        queueChecksAtQuery = bridge > 0 ? sim_call_count(bridge, "FT_GetQueueStatus") : 0;
    }
    void registerParameters() override {
        ++registrations;
        registerHvParameters(2, -10, -20, 100, 200);
    }
    int measure(uint32_t index, int32_t& volts, int32_t& current) override {
        measured.push_back(index);
        volts = index == 0 ? 11 : 22;
        current = index == 0 ? -33 : 44;
        return 0;
    }
    int sendVoltage(uint32_t index, int32_t volts) override {
        const int32_t low = index == 0 ? -10 : -20;
        const int32_t high = index == 0 ? 100 : 200;
        if (volts < low || volts > high) {
            return reportError(HwHvSrc::ERR_OUT_OF_RANGE, "Voltage out of range %d", volts);
        }
        sent.emplace_back(index, volts);
        return 0;
    }
};

// Keeps a protocol on top of the channel, as the current model's command manager is: it writes
// to the device log it was given until the channel is closed.
class ProtocolDev : public TestDev {
public:
    using TestDev::TestDev;

protected:
    void queryDevice() override {
        TestDev::queryDevice();
        protocolLog_ = log_.get();
    }
    void closeProtocol() override {
        if (protocolLog_ != nullptr) {
            protocolLog_->logf(LOG_MSG, "protocol closed");
        }
        protocolLog_ = nullptr;
    }

private:
    FileLog* protocolLog_ = nullptr;
};

// A parameter without a name.
class NamelessParam : public jd::IParam {
public:
    const char* name() override { return nullptr; }
    int16_t getInt16() override { return 5; }
    void setInt32(int32_t value) override { stored = value; }
    int32_t stored = -1;
};

using hvtest::readFile;

bool stampShaped(const std::string& line, const char* shape) {
    for (size_t i = 0; shape[i] != '\0'; ++i) {
        if (i >= line.size()) {
            return false;
        }
        const char c = line[i];
        if (shape[i] == '~' ? (c < '0' || c > '9') : c != shape[i]) {
            return false;
        }
    }
    return true;
}

// The log as lines without their time stamps: the header becomes "HEADER", every entry
// "[LEVEL]: message". A line of any other shape stays as it is and fails the comparisons.
std::vector<std::string> entries(const std::string& path) {
    const std::string text = readFile(path);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        const char* header =
            "################# LOG OPENED (~~/~~/~~~~ ~~:~~:~~.~~~) ###################### ";
        if (stampShaped(line, header) && line.size() == std::strlen(header)) {
            lines.push_back("HEADER");
        } else if (stampShaped(line, "(~~_~~:~~:~~.~~~) [")) {
            lines.push_back(line.substr(18));
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

class DevBaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        std::random_device random;
        dir_ = fs::temp_directory_path() /
               ("hvsrc_devbase_" + std::to_string(random()) + "_" + std::to_string(random()));
        fs::create_directories(dir_);
    }
    void TearDown() override {
        sim_reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string dir() const { return dir_.string(); }
    std::string inDir(const std::string& name) const { return plat::joinPath(dir(), name); }

    fs::path dir_;
    host::Framework framework_{""};
};

const char kDesc[] = "Tessaro HV Source: 7";

TEST_F(DevBaseTest, ConstantAnswersAndInfo) {
    TestDev dev(kDesc, &framework_, dir());
    EXPECT_EQ(dev.typeCode(), 14);
    EXPECT_TRUE(dev.reserved1());
    EXPECT_FALSE(dev.reserved2());
    EXPECT_EQ(dev.reserved3(), 0);
    dev.reserved4();
    EXPECT_STREQ(dev.deviceName(), "HV Source");
    EXPECT_EQ(dev.reserved5(), 0);
    ASSERT_NE(dev.reserved6(), nullptr);
    EXPECT_STREQ(dev.reserved6(), "");
    EXPECT_EQ(dev.reserved7(), 0);
    dev.reserved8();
    EXPECT_EQ(dev.reserved9(), -1026);
    EXPECT_EQ(dev.reserved10(), -1026);
    EXPECT_EQ(dev.reserved11(), -1026);
    EXPECT_EQ(dev.reserved12(), 0);
    dev.reserved13();
    EXPECT_FALSE(dev.reserved14());
    EXPECT_EQ(dev.reserved15(), -1026);
    EXPECT_EQ(dev.reserved16(), 0);
    EXPECT_EQ(dev.reserved17(), 0);
    EXPECT_EQ(dev.polarity(), 0);

    jd::HwDevInfo info{nullptr, 99, 99, 99, 99};
    EXPECT_EQ(dev.getInfo(&info), 0);
    EXPECT_EQ(info.name, dev.deviceName());
    EXPECT_EQ(info.category, 12u);
    EXPECT_EQ(info.connection, 2u);
    EXPECT_EQ(info.number, 7u);
    EXPECT_EQ(info.reserved, 0u);

    ASSERT_NE(dev.lastError(), nullptr);
    EXPECT_STREQ(dev.lastError(), "");

    EXPECT_EQ(dev.callbackValue(), 0u);
    EXPECT_EQ(dev.callbackContext(), 0u);
    dev.setCallback(1, 2);
    dev.setCallback(0xFFFFFFFFFFFFFFFFull, 4);
    EXPECT_EQ(dev.callbackValue(), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(dev.callbackContext(), 4u);

    // Two lists from the framework, parameters first; parametersAlt is the same list.
    ASSERT_NE(dev.parameters(), nullptr);
    ASSERT_NE(dev.auxParameters(), nullptr);
    EXPECT_NE(dev.parameters(), dev.auxParameters());
    EXPECT_EQ(dev.parametersAlt(), dev.parameters());
    EXPECT_EQ(framework_.paramListsCreated(), 2);
    EXPECT_EQ(dev.parameters()->count(), 0);

    // Nothing to close yet, no log yet.
    EXPECT_EQ(dev.deinitialize(), 0);
    EXPECT_EQ(dev.logPath(), "");
    EXPECT_EQ(sim_call_count(0, "FT_OpenEx"), 0u);
    EXPECT_EQ(sim_call_count(0, "FT_Close"), 0u);
}

TEST_F(DevBaseTest, NumberAndLogNameFromSuffix) {
    struct Case {
        const char* description;
        const char* suffix;
        uint32_t number;
        const char* logName;
    };
    const Case cases[] = {
        {"Tessaro HV Source: 7", "7", 7, "tdev_7.log"},
        {"Tessaro HV Source: 12", "12", 12, "tdev_12.log"},
        {"Tessaro HV Source: abc", "abc", 0, "tdev_abc.log"},
        {"Tessaro HV Source: 12: 5", "12: 5", 12, "tdev_12_ 5.log"},
        {"Tessaro HV Source", "", 0, "tdev_.log"},
        // A programmed description must not lead the log out of the directory; the number is
        // still read from the suffix as it stands.
        {"Tessaro HV Source: ..\\..\\x", "..\\..\\x", 0, "tdev_.._.._x.log"},
        {"Tessaro HV Source: .5", ".5", 0, "tdev_.5.log"},
        {"Tessaro HV Source: 3/../../x", "3/../../x", 3, "tdev_3_.._.._x.log"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        std::unique_ptr<TestDev> dev(new TestDev(c.description, &framework_, dir()));
        EXPECT_EQ(dev->suffix(), c.suffix);
        jd::HwDevInfo info{};
        dev->getInfo(&info);
        EXPECT_EQ(info.number, c.number);
        // No such bridge: the open fails, but the device log is in place.
        EXPECT_NE(dev->initialize(), 0);
        EXPECT_EQ(dev->logPath(), inDir(c.logName));
        EXPECT_TRUE(fs::exists(dir_ / c.logName));
    }
    // Every log landed in the directory itself, nothing outside or below it.
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir_)) {
        EXPECT_TRUE(entry.is_regular_file()) << entry.path();
        ++files;
    }
    EXPECT_EQ(files, sizeof(cases) / sizeof(cases[0]));
}

TEST(DevBaseText, FileNameSafeWholeVoltsSuffix) {
    EXPECT_EQ(DevBase::fileNameSafe("7"), "7");
    EXPECT_EQ(DevBase::fileNameSafe("12"), "12");
    EXPECT_EQ(DevBase::fileNameSafe("abc"), "abc");
    EXPECT_EQ(DevBase::fileNameSafe(""), "");
    EXPECT_EQ(DevBase::fileNameSafe("a.b-c d_e"), "a.b-c d_e");
    EXPECT_EQ(DevBase::fileNameSafe("<>:\"/\\|?*"), "_________");
    EXPECT_EQ(DevBase::fileNameSafe(std::string("a\x01\x1f\x7f"
                                                "b",
                                                5)),
              "a___b");
    EXPECT_EQ(DevBase::fileNameSafe(std::string("x\0y", 3)), "x_y");
    EXPECT_EQ(DevBase::fileNameSafe(".."), "..");
    EXPECT_EQ(DevBase::fileNameSafe("\xc3\xa9t\xc3\xa9"), "\xc3\xa9t\xc3\xa9");

    int32_t out = 123;
    EXPECT_FALSE(DevBase::wholeVolts(std::nan(""), out));
    EXPECT_EQ(out, 0);
    EXPECT_TRUE(DevBase::wholeVolts(-3.9, out));
    EXPECT_EQ(out, -3);
    EXPECT_TRUE(DevBase::wholeVolts(99.99, out));
    EXPECT_EQ(out, 99);
    EXPECT_TRUE(DevBase::wholeVolts(2147483647.9, out));
    EXPECT_EQ(out, INT32_MAX);
    EXPECT_TRUE(DevBase::wholeVolts(-2147483648.9, out));
    EXPECT_EQ(out, INT32_MIN);
    EXPECT_FALSE(DevBase::wholeVolts(2147483648.0, out));
    EXPECT_EQ(out, INT32_MAX);
    EXPECT_FALSE(DevBase::wholeVolts(-2147483649.0, out));
    EXPECT_EQ(out, INT32_MIN);
    EXPECT_FALSE(DevBase::wholeVolts(std::numeric_limits<double>::infinity(), out));
    EXPECT_EQ(out, INT32_MAX);
    EXPECT_FALSE(DevBase::wholeVolts(-1e300, out));
    EXPECT_EQ(out, INT32_MIN);

    EXPECT_EQ(DevBase::suffixOf("Tessaro HV Source: 7"), "7");
    EXPECT_EQ(DevBase::suffixOf("A: b: c"), "b: c");
    EXPECT_EQ(DevBase::suffixOf("A:b"), "");
    EXPECT_EQ(DevBase::suffixOf("A: "), "");
    EXPECT_EQ(DevBase::suffixOf("BiasModule"), "");
}

TEST_F(DevBaseTest, CannotOpenIsRecordedAndLogged) {
    sim_attach("Tessaro HV Source: 8", "S8");  // a different description
    TestDev dev(kDesc, &framework_, dir());
    EXPECT_EQ(dev.initialize(), 2);  // FT_DEVICE_NOT_FOUND
    EXPECT_STREQ(dev.lastError(), "Cannot open device: Tessaro HV Source: 7");
    EXPECT_EQ(
        entries(dev.logPath()),
        (std::vector<std::string>{"HEADER", "[ERR]: Cannot open device: Tessaro HV Source: 7"}));
    EXPECT_EQ(dev.queries, 0);
    EXPECT_EQ(dev.parameters()->count(), 0);
    EXPECT_EQ(dev.deinitialize(), 0);

    // A refused open of the right bridge passes the driver's status through.
    const int bridge = sim_attach(kDesc, "S7");
    sim_fail_next(bridge, "FT_OpenEx", 3);
    EXPECT_EQ(dev.initialize(), 3);
    EXPECT_STREQ(dev.lastError(), "Cannot open device: Tessaro HV Source: 7");
}

TEST_F(DevBaseTest, InitializeOpensConfiguresAndRegistersOnce) {
    const int bridge = sim_attach(kDesc, "S7");
    std::unique_ptr<TestDev> dev(new TestDev(kDesc, &framework_, dir()));
    dev->bridge = bridge;
    ASSERT_EQ(dev->initialize(), 0) << dev->lastError();
    EXPECT_EQ(dev->logPath(), inDir("tdev_7.log"));
    EXPECT_EQ(dev->queries, 1);
    EXPECT_EQ(dev->registrations, 1);
    EXPECT_EQ(dev->baudAtQuery, 115200u);
    EXPECT_GE(dev->queueChecksAtQuery, 1u);  // input cleared before the model's start-up
    EXPECT_EQ(dev->firmware(), "fw-1.2");
    SimSettings settings{};
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.open, 1);
    EXPECT_EQ(settings.flow_control, 0);  // no RTS/CTS

    // The twelve parameters in their order, name == description.
    struct Expected {
        const char* name;
        host::ParamKind kind;
        int32_t value;
        bool readOnly;
    };
    const Expected expected[] = {
        {"Firmware", host::ParamKind::String, 0, true},
        {"SourceCount", host::ParamKind::Int16, 2, true},
        {"Voltage1", host::ParamKind::Int16, 0, false},
        {"Voltage2", host::ParamKind::Int16, 0, false},
        {"MinVoltage1", host::ParamKind::Int32, -10, true},
        {"MinVoltage2", host::ParamKind::Int32, -20, true},
        {"MaxVoltage1", host::ParamKind::Int32, 100, true},
        {"MaxVoltage2", host::ParamKind::Int32, 200, true},
        {"VoltageSense1", host::ParamKind::Int32, 0, true},
        {"VoltageSense2", host::ParamKind::Int32, 0, true},
        {"CurrentSense1", host::ParamKind::Int32, 0, true},
        {"CurrentSense2", host::ParamKind::Int32, 0, true},
    };
    host::ParamList* params = static_cast<host::ParamList*>(dev->parameters());
    ASSERT_EQ(params->size(), 12u);
    for (size_t i = 0; i < 12; ++i) {
        const host::Param* p = params->at(i);
        SCOPED_TRACE(expected[i].name);
        EXPECT_STREQ(const_cast<host::Param*>(p)->name(), expected[i].name);
        EXPECT_EQ(p->description(), expected[i].name);
        EXPECT_EQ(p->kind(), expected[i].kind);
        EXPECT_EQ(p->intValue(), expected[i].value);
        EXPECT_EQ(p->readOnly(), expected[i].readOnly);
        if (i == 0) {
            EXPECT_EQ(p->text(), "fw-1.2");
            EXPECT_EQ(p->handler(), nullptr);
            EXPECT_EQ(p->context(), nullptr);
        } else {
            EXPECT_EQ(p->handler(), TestDev::handler());
            EXPECT_EQ(p->context(), static_cast<DevBase*>(dev.get()));
        }
    }
    EXPECT_EQ(dev->auxParameters()->count(), 0);

    // A second initialize while the channel is still open closes it first, so the bridge is not
    // held twice (the driver would refuse the second open).
    ASSERT_EQ(dev->initialize(), 0) << dev->lastError();
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.open, 1);
    EXPECT_EQ(settings.open_count, 2u);

    // After deinitialize (channel closed, log kept) a new initialize starts an empty log and
    // registers nothing more.
    EXPECT_EQ(dev->record(-7, "before"), -7);
    EXPECT_EQ(dev->deinitialize(), 0);
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.open, 0);
    EXPECT_EQ(entries(dev->logPath()), (std::vector<std::string>{"HEADER", "[ERR]: before"}));
    EXPECT_EQ(dev->deinitialize(), 0);
    ASSERT_EQ(dev->initialize(), 0) << dev->lastError();
    EXPECT_EQ(entries(dev->logPath()), std::vector<std::string>{"HEADER"});
    EXPECT_EQ(dev->queries, 3);
    EXPECT_EQ(dev->registrations, 1);
    EXPECT_EQ(params->size(), 12u);

    // Destruction closes the channel and gives both lists back.
    EXPECT_EQ(framework_.paramListsAlive(), 2);
    TestDev* raw = dev.release();
    raw->release();
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.open, 0);
    EXPECT_EQ(settings.open_count, 3u);
    EXPECT_EQ(framework_.paramListsAlive(), 0);
}

TEST_F(DevBaseTest, InitializeAgainClosesTheProtocolBeforeItsLog) {
    const int bridge = sim_attach(kDesc, "S7");
    ProtocolDev dev(kDesc, &framework_, dir());
    dev.bridge = bridge;
    ASSERT_EQ(dev.initialize(), 0) << dev.lastError();
    // The channel is still open: the protocol's last entry goes into the log it was given,
    // which the new log then starts afresh.
    ASSERT_EQ(dev.initialize(), 0) << dev.lastError();
    EXPECT_EQ(entries(dev.logPath()), std::vector<std::string>{"HEADER"});
    EXPECT_EQ(dev.deinitialize(), 0);
    EXPECT_EQ(entries(dev.logPath()),
              (std::vector<std::string>{"HEADER", "[MSG]: protocol closed"}));
}

TEST_F(DevBaseTest, LastErrorTextStaysWhereItWasHandedOut) {
    TestDev dev(kDesc, &framework_, dir());
    ASSERT_NE(dev.initialize(), 0);  // no bridge: a log but no channel
    dev.record(-1, "short");
    const char* handedOut = dev.lastError();
    // Longer than any message before: the same storage, cut at 1023 bytes, before a character
    // that would not fit whole; the log keeps the whole message.
    for (const size_t before : {1021, 1022}) {
        const std::string longer = std::string(before, 'x') + "\xc3\xa9 and more";
        dev.record(-2, longer);
        ASSERT_EQ(dev.lastError(), handedOut);
        EXPECT_EQ(std::string(handedOut), longer.substr(0, before == 1021 ? 1023 : 1022));
        EXPECT_EQ(entries(dev.logPath()).back(), "[ERR]: " + longer);
    }
    dev.record(-3, "short again");
    EXPECT_STREQ(handedOut, "short again");
}

TEST_F(DevBaseTest, ParameterHandlerDispatch) {
    const int bridge = sim_attach(kDesc, "S7");
    TestDev dev(kDesc, &framework_, dir());
    dev.bridge = bridge;
    ASSERT_EQ(dev.initialize(), 0) << dev.lastError();
    host::ParamList* params = static_cast<host::ParamList*>(dev.parameters());

    host::Param* p = nullptr;
    EXPECT_EQ(params->read("VoltageSense1", &p), 0);
    EXPECT_EQ(p->intValue(), 11);
    EXPECT_EQ(params->read("VoltageSense2", &p), 0);
    EXPECT_EQ(p->intValue(), 22);
    EXPECT_EQ(params->read("CurrentSense1", &p), 0);
    EXPECT_EQ(p->intValue(), -33);
    EXPECT_EQ(params->read("CurrentSense2", &p), 0);
    EXPECT_EQ(p->intValue(), 44);
    EXPECT_EQ(dev.measured, (std::vector<uint32_t>{0, 1, 0, 1}));

    // Reading any other parameter, or writing one of the sense ones, takes no measurement.
    EXPECT_EQ(params->read("Voltage1", &p), 0);
    EXPECT_EQ(params->read("MaxVoltage2", &p), 0);
    EXPECT_EQ(p->intValue(), 200);
    EXPECT_EQ(params->read("Firmware", &p), 0);
    host::Param* sense = params->find("VoltageSense1");
    EXPECT_EQ(TestDev::handler()(sense, false, &dev), 0);
    EXPECT_EQ(dev.measured.size(), 4u);
    EXPECT_TRUE(dev.sent.empty());

    // Writes: sign-extended 16-bit values to source 0 or 1.
    EXPECT_EQ(params->write("Voltage1", 50), 0);
    EXPECT_EQ(params->write("Voltage2", -5), 0);
    using Sent = std::vector<std::pair<uint32_t, int32_t>>;
    EXPECT_EQ(dev.sent, (Sent{{0, 50}, {1, -5}}));
    EXPECT_STREQ(dev.lastError(), "");

    // Out of range: recorded by the class's routine, the handler still answers 0.
    EXPECT_EQ(params->write("Voltage1", 300), 0);
    EXPECT_STREQ(dev.lastError(), "Voltage out of range 300");
    // 40000 does not fit 16 bits: the parameter holds -25536, which is what is sent.
    EXPECT_EQ(params->write("Voltage2", 40000), 0);
    EXPECT_STREQ(dev.lastError(), "Voltage out of range -25536");
    EXPECT_EQ(dev.sent.size(), 2u);
    EXPECT_EQ(entries(dev.logPath()),
              (std::vector<std::string>{"HEADER", "[ERR]: Voltage out of range 300",
                                        "[ERR]: Voltage out of range -25536"}));

    // Read-only parameters are refused by the host before the handler runs.
    EXPECT_EQ(params->write("MinVoltage1", 1), -2);

    // Null parameter, null name, unknown names: nothing, and 0.
    EXPECT_EQ(TestDev::handler()(nullptr, true, &dev), 0);
    NamelessParam nameless;
    EXPECT_EQ(TestDev::handler()(&nameless, true, &dev), 0);
    EXPECT_EQ(TestDev::handler()(&nameless, false, &dev), 0);
    EXPECT_EQ(nameless.stored, -1);
    EXPECT_EQ(dev.measured.size(), 4u);
    EXPECT_EQ(dev.sent.size(), 2u);
}

TEST_F(DevBaseTest, NullFramework) {
    const int bridge = sim_attach(kDesc, "S7");
    TestDev* dev = new TestDev(kDesc, nullptr, dir());
    dev->bridge = bridge;
    EXPECT_EQ(dev->parameters(), nullptr);
    EXPECT_EQ(dev->auxParameters(), nullptr);
    EXPECT_EQ(dev->parametersAlt(), nullptr);
    ASSERT_EQ(dev->initialize(), 0) << dev->lastError();
    EXPECT_EQ(dev->queries, 1);
    EXPECT_EQ(dev->registrations, 0);
    dev->release();
    SimSettings settings{};
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.open, 0);
}

TEST_F(DevBaseTest, ErrorLockAndDeviceLockFromSeveralThreads) {
    TestDev dev(kDesc, &framework_, dir());
    ASSERT_NE(dev.initialize(), 0);  // no bridge: a log but no channel

    // One thread holds the device lock across a long operation; others record errors meanwhile
    // and are not held up, while deinitialize has to wait for the lock.
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool recorded = false;
    bool released = false;
    bool closing = false;  // the closer is about to call deinitialize
    bool inside = false;   // deinitialize has reached the closing of the channel
    std::atomic<bool> deinitialized{false};
    bool recordedWhileHeld = false;
    bool insideWhileHeld = true;
    dev.onCloseProtocol = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        inside = true;
        changed.notify_all();
    };

    std::thread holder([&] {
        ThreadSyncGuard guard(&dev.deviceLock_);
        dev.record(-1, "inside the device lock");
        std::unique_lock<std::mutex> lock(mutex);
        held = true;
        changed.notify_all();
        recordedWhileHeld =
            changed.wait_for(lock, std::chrono::seconds(20), [&] { return recorded; });
        // Once the closer is on its way, deinitialize gets well past its start without the lock.
        changed.wait_for(lock, std::chrono::seconds(20), [&] { return closing; });
        insideWhileHeld =
            changed.wait_for(lock, std::chrono::milliseconds(200), [&] { return inside; });
        released = true;
    });
    std::thread closer([&] {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return held; });
            closing = true;
            changed.notify_all();
        }
        dev.deinitialize();
        deinitialized = true;
    });
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return held; });
    }
    for (int i = 0; i < 20; ++i) {
        dev.record(-2, "while held " + std::to_string(i));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        recorded = true;
        changed.notify_all();
    }
    holder.join();
    closer.join();
    dev.onCloseProtocol = nullptr;
    EXPECT_TRUE(recordedWhileHeld);
    EXPECT_FALSE(insideWhileHeld);
    EXPECT_TRUE(inside);
    EXPECT_TRUE(deinitialized.load());
    EXPECT_TRUE(released);

    // Concurrent records: the last error is one whole message, every log line is whole. The
    // messages are longer than the first formatting attempt.
    const std::string padding(700, 'p');
    std::set<std::string> messages;
    const int kThreads = 4;
    const int kEach = 40;
    for (int t = 0; t < kThreads; ++t) {
        for (int i = 0; i < kEach; ++i) {
            messages.insert("thread " + std::to_string(t) + " message " + std::to_string(i) + " " +
                            padding);
        }
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                dev.record(-3, "thread " + std::to_string(t) + " message " + std::to_string(i) +
                                   " " + padding);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(messages.count(dev.lastError()), 1u) << dev.lastError();

    std::vector<std::string> lines = entries(dev.logPath());
    ASSERT_EQ(lines.size(), 2u + 1 + 20 + kThreads * kEach);
    EXPECT_EQ(lines[2], "[ERR]: inside the device lock");
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(lines[3 + i], "[ERR]: while held " + std::to_string(i));
    }
    std::set<std::string> logged;
    for (size_t i = 23; i < lines.size(); ++i) {
        ASSERT_EQ(lines[i].compare(0, 7, "[ERR]: "), 0) << lines[i];
        logged.insert(lines[i].substr(7));
    }
    EXPECT_EQ(logged, messages);
}

}  // namespace
