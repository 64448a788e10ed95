// The device base shared by the three source classes, through a test-only class against the
// stand-in driver and the reference host's parameter lists.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <future>
#include <thread>
#include <tuple>
#include <utility>

#include "DevBase.h"
#include "hvdev_support.h"
#include "refhost/HostFramework.h"

namespace fs = std::filesystem;
using HwHvSrc::DevBase;
using Lines = std::vector<std::string>;

namespace {

// Two outputs, limits [-10, 100] and [-20, 200], fixed readings; records what the base asks. Its
// protocol writes to the device log it got at start-up until the channel is closed.
class TestDev : public DevBase {
public:
    TestDev(const std::string& description, jd::IFramework* framework, const std::string& dir)
        : DevBase(description, framework, dir, "HV Source", "tdev_", suffixOf(description),
                  115200, 1.0, 1000.0) {}

    int64_t sourceCount() override { return 2; }
    double minVoltage(int32_t index) override { return index == 0 ? -10 : -20; }
    double maxVoltage(int32_t index) override { return index == 0 ? 100 : 200; }

    int bridge = 0, queries = 0, registrations = 0;
    unsigned queueChecksAtQuery = 0;
    std::vector<uint32_t> measured;
    std::vector<std::pair<uint32_t, int32_t>> sent;
    // Called where deinitialize drops the protocol, inside the device lock.
    std::function<void()> onCloseProtocol;
    void closeProtocol() override {
        if (protocolLog_ != nullptr) {
            protocolLog_->logf(LOG_MSG, "protocol closed");
        }
        protocolLog_ = nullptr;
        if (onCloseProtocol) {
            onCloseProtocol();
        }
    }
    int record(int code, const std::string& text) { return reportError(code, "%s", text.c_str()); }
    static jd::ParamHandler handler() { return &DevBase::parameterHandler; }
    using DevBase::deviceLock_;

protected:
    void queryDevice() override {
        ++queries;
        firmware_ = "fw-1.2";
        queueChecksAtQuery = bridge > 0 ? sim_call_count(bridge, "FT_GetQueueStatus") : 0;
        protocolLog_ = log_.get();
    }
    void registerParameters() override {
        ++registrations;
        registerHvParameters(2, -10, -20, 100, 200);
    }
    int readMeasurement(uint32_t index, int32_t& volts, int32_t& current) override {
        measured.push_back(index);
        volts = index == 0 ? 11 : 22;
        current = index == 0 ? -33 : 44;
        return 0;
    }
    int sendVoltage(uint32_t index, int32_t volts) override {
        sent.emplace_back(index, volts);
        return volts > 100 ? HwHvSrc::ERR_OUT_OF_RANGE : 0;
    }

private:
    FileLog* protocolLog_ = nullptr;
};

class NamelessParam : public jd::IParam {
public:
    const char* name() override { return nullptr; }
    int16_t getInt16() override { return 5; }
    void setInt32(int32_t value) override { stored = value; }
    int32_t stored = -1;
};

class DevBaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        dir_ = fs::u8path(hvtest::logDirectory()) /
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { sim_reset(); }
    std::string dir() const { return dir_.string(); }

    fs::path dir_;
    host::Framework framework_{""};
};

const char kDesc[] = "Tessaro HV Source: 7";

TEST_F(DevBaseTest, ConstantAnswersInfoAndLists) {
    TestDev dev(kDesc, &framework_, dir());
    EXPECT_EQ(dev.typeCode(), 14);
    EXPECT_TRUE(dev.reserved1() && !dev.reserved2() && !dev.reserved14());
    EXPECT_EQ((std::vector<int>{dev.reserved3(), dev.reserved5(), dev.reserved7(), dev.reserved9(),
                                dev.reserved10(), dev.reserved11(), dev.reserved12(),
                                dev.reserved15(), dev.reserved16(), dev.reserved17()}),
              (std::vector<int>{0, 0, 0, -1026, -1026, -1026, 0, -1026, 0, 0}));
    jd::HwDevInfo info{nullptr, 99, 99, 99, 99};
    EXPECT_EQ(dev.getInfo(&info), 0);
    EXPECT_STREQ(info.name, "HV Source");
    EXPECT_EQ((std::vector<uint32_t>{info.category, info.connection, info.number, info.reserved}),
              (std::vector<uint32_t>{12, 2, 7, 0}));
    dev.setCallback(0xFFFFFFFFFFFFFFFFull, 4);
    EXPECT_EQ(dev.callbackValue(), 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(dev.callbackContext(), 4u);
    // Two lists from the framework, parameters first; parametersAlt is the same list.
    EXPECT_EQ(framework_.paramListsCreated(), 2);
    EXPECT_NE(dev.parameters(), dev.auxParameters());
    EXPECT_EQ(dev.parametersAlt(), dev.parameters());
}

// Number and log name from the description's suffix, never a log outside the directory; a missing
// bridge is recorded and logged.
TEST_F(DevBaseTest, NumberLogNameAndFailedOpen) {
    const std::tuple<const char*, const char*, uint32_t, const char*> cases[] = {
        {"Tessaro HV Source: 12", "12", 12, "tdev_12.log"},
        {"Tessaro HV Source: abc", "abc", 0, "tdev_abc.log"},
        {"Tessaro HV Source: 12: 5", "12: 5", 12, "tdev_12_ 5.log"},
        {"Tessaro HV Source", "", 0, "tdev_.log"},
        {"Tessaro HV Source:7", "", 0, "tdev_.log"},
        {"Tessaro HV Source: ..\\..\\x", "..\\..\\x", 0, "tdev_.._.._x.log"},
        {"Tessaro HV Source: .5", ".5", 0, "tdev_.5.log"},
        {"Tessaro HV Source: 3/../../x", "3/../../x", 3, "tdev_3_.._.._x.log"},
        {"Tessaro HV Source: <>:\"|?*\x01\x1f\x7fz", "<>:\"|?*\x01\x1f\x7fz", 0,
         "tdev___________z.log"},
    };
    sim_attach("Tessaro HV Source: 8", "S8");  // a different description
    for (const auto& [description, suffix, number, logName] : cases) {
        SCOPED_TRACE(description);
        TestDev dev(description, &framework_, dir());
        EXPECT_EQ(dev.suffix(), suffix);
        jd::HwDevInfo info{};
        dev.getInfo(&info);
        EXPECT_EQ(info.number, number);
        EXPECT_EQ(dev.initialize(), 2);  // FT_DEVICE_NOT_FOUND
        const std::string cannot = std::string("Cannot open device: ") + description;
        EXPECT_EQ(dev.lastError(), cannot);
        EXPECT_EQ(dev.logPath(), plat::joinPath(dir(), logName));
        EXPECT_EQ(hvtest::logLines(dev.logPath()), Lines{"[ERR]: " + cannot});
        EXPECT_EQ(dev.queries + dev.parameters()->count(), 0);
    }
    // Every log landed in the directory itself; two cases share "tdev_.log".
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()),
              std::end(cases) - std::begin(cases) - 1);
    EXPECT_EQ(DevBase::fileNameSafe(std::string("x\0y", 3)), "x_y");

    // A refused open of the right bridge passes the driver's status through.
    const int bridge = sim_attach(kDesc, "S7");
    sim_fail_next(bridge, "FT_OpenEx", 3);
    TestDev dev(kDesc, &framework_, dir());
    EXPECT_EQ(dev.initialize(), 3);
    EXPECT_STREQ(dev.lastError(), "Cannot open device: Tessaro HV Source: 7");
}

TEST_F(DevBaseTest, InitializeOpensConfiguresAndRegistersOnce) {
    const int bridge = sim_attach(kDesc, "S7");
    std::unique_ptr<TestDev> dev(new TestDev(kDesc, &framework_, dir()));
    dev->bridge = bridge;
    ASSERT_EQ(dev->initialize(), 0) << dev->lastError();
    EXPECT_EQ(dev->logPath(), plat::joinPath(dir(), "tdev_7.log"));
    EXPECT_GE(dev->queueChecksAtQuery, 1u);  // input cleared before the model's start-up
    SimSettings settings{};
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.flow_control, 0);  // no RTS/CTS

    // The twelve parameters in their order, name == description.
    using K = host::ParamKind;
    const std::tuple<const char*, K, int32_t, bool> expected[] = {
        {"Firmware", K::String, 0, true},     {"SourceCount", K::Int16, 2, true},
        {"Voltage1", K::Int16, 0, false},     {"Voltage2", K::Int16, 0, false},
        {"MinVoltage1", K::Int32, -10, true}, {"MinVoltage2", K::Int32, -20, true},
        {"MaxVoltage1", K::Int32, 100, true}, {"MaxVoltage2", K::Int32, 200, true},
        {"VoltageSense1", K::Int32, 0, true}, {"VoltageSense2", K::Int32, 0, true},
        {"CurrentSense1", K::Int32, 0, true}, {"CurrentSense2", K::Int32, 0, true},
    };
    host::ParamList* params = static_cast<host::ParamList*>(dev->parameters());
    ASSERT_EQ(params->size(), 12u);
    for (size_t i = 0; i < 12; ++i) {
        const auto& [name, kind, value, readOnly] = expected[i];
        host::Param* p = params->at(i);
        SCOPED_TRACE(name);
        EXPECT_STREQ(p->name(), name);
        EXPECT_EQ(p->description(), name);
        EXPECT_EQ(p->kind(), kind);
        EXPECT_EQ(p->intValue(), value);
        EXPECT_EQ(p->readOnly(), readOnly);
        EXPECT_EQ(p->handler(), i == 0 ? nullptr : TestDev::handler());
        EXPECT_EQ(p->context(), i == 0 ? nullptr : static_cast<DevBase*>(dev.get()));
    }
    EXPECT_EQ(params->at(0)->text(), "fw-1.2");
    EXPECT_EQ(dev->auxParameters()->count(), 0);

    // A second initialize with the channel open closes it first (the driver would refuse a second
    // open), before the log its protocol writes to is replaced.
    ASSERT_EQ(dev->initialize(), 0) << dev->lastError();
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.open, 1);
    EXPECT_EQ(settings.open_count, 2u);
    EXPECT_EQ(hvtest::logLines(dev->logPath()), Lines{});

    // deinitialize closes the channel and keeps the log; initialize starts an empty log and
    // registers nothing more.
    EXPECT_EQ(dev->record(-7, "before"), -7);
    EXPECT_EQ(dev->deinitialize(), 0);
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.open, 0);
    EXPECT_EQ(hvtest::logLines(dev->logPath()), (Lines{"[ERR]: before", "[MSG]: protocol closed"}));
    ASSERT_EQ(dev->initialize(), 0) << dev->lastError();
    EXPECT_EQ(hvtest::logLines(dev->logPath()), Lines{});
    EXPECT_EQ(dev->queries, 3);
    EXPECT_EQ(dev->registrations, 1);
    EXPECT_EQ(params->size(), 12u);

    // Destruction closes the channel and gives both lists back.
    dev.release()->release();
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.open, 0);
    EXPECT_EQ(settings.open_count, 3u);
    EXPECT_EQ(framework_.paramListsAlive(), 0);
}

TEST_F(DevBaseTest, LastErrorTextStaysWhereItWasHandedOut) {
    TestDev dev(kDesc, &framework_, dir());
    ASSERT_NE(dev.initialize(), 0);  // no bridge: a log but no channel
    dev.record(-1, "short");
    const char* handedOut = dev.lastError();
    // Longer messages: the same storage, cut at 1023 bytes before a character that would not fit
    // whole; the log keeps the whole message.
    for (const size_t before : {1021, 1022}) {
        const std::string longer = std::string(before, 'x') + "\xc3\xa9 and more";
        dev.record(-2, longer);
        ASSERT_EQ(dev.lastError(), handedOut);
        EXPECT_EQ(std::string(handedOut), longer.substr(0, before == 1021 ? 1023 : 1022));
        EXPECT_EQ(hvtest::logLines(dev.logPath()).back(), "[ERR]: " + longer);
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

    // The sense parameters measure their source; nothing else does.
    const std::pair<const char*, int32_t> reads[] = {{"VoltageSense1", 11},  {"VoltageSense2", 22},
                                                     {"CurrentSense1", -33}, {"CurrentSense2", 44},
                                                     {"Voltage1", 0},        {"MaxVoltage2", 200}};
    for (const auto& [name, value] : reads) {
        host::Param* p = nullptr;
        EXPECT_EQ(params->read(name, &p), 0);
        EXPECT_EQ(p->intValue(), value) << name;
    }
    EXPECT_EQ(TestDev::handler()(params->find("VoltageSense1"), false, &dev), 0);
    EXPECT_EQ(dev.measured, (std::vector<uint32_t>{0, 1, 0, 1}));
    EXPECT_TRUE(dev.sent.empty());

    // Writes send sign-extended 16-bit values (40000 is held and sent as -25536) to source 0 or
    // 1; the handler answers 0 even when the send fails.
    EXPECT_EQ(params->write("Voltage1", 300), 0);
    EXPECT_EQ(params->write("Voltage2", 40000), 0);
    EXPECT_EQ(dev.sent, (std::vector<std::pair<uint32_t, int32_t>>{{0, 300}, {1, -25536}}));

    // Null parameter, null context, null name: nothing, and 0.
    NamelessParam nameless;
    EXPECT_EQ(TestDev::handler()(nullptr, true, &dev), 0);
    EXPECT_EQ(TestDev::handler()(params->find("VoltageSense1"), true, nullptr), 0);
    EXPECT_EQ(TestDev::handler()(&nameless, true, &dev), 0);
    EXPECT_EQ(TestDev::handler()(&nameless, false, &dev), 0);
    EXPECT_EQ(nameless.stored, -1);
    EXPECT_EQ(dev.measured.size(), 4u);
    EXPECT_EQ(dev.sent.size(), 2u);
}

// Errors are recorded under a lock of their own, so no thread waits for a long operation to
// record one; deinitialize, and a refused number (initialize replaces the log under the device
// lock), wait for the device lock.
TEST_F(DevBaseTest, ErrorLockAndDeviceLockFromSeveralThreads) {
    TestDev dev(kDesc, &framework_, dir());
    ASSERT_NE(dev.initialize(), 0);  // no bridge: a log but no channel
    std::promise<void> held, done;
    std::future<void> release = done.get_future();
    std::thread holder([&] {
        ThreadSyncGuard guard(&dev.deviceLock_);
        held.set_value();
        release.wait();
    });
    held.get_future().wait();
    auto refused = std::async(std::launch::async, [&] { return dev.setVoltage(0, std::nan("")); });
    for (int i = 0; i < 20; ++i) {
        dev.record(-2, "while held " + std::to_string(i));
    }
    std::promise<void> inside;
    std::future<void> entered = inside.get_future();
    dev.onCloseProtocol = [&] { inside.set_value(); };
    std::thread closer([&] { dev.deinitialize(); });
    EXPECT_EQ(entered.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);
    EXPECT_EQ(refused.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    done.set_value();
    EXPECT_EQ(refused.get(), -1005);
    EXPECT_EQ(entered.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    holder.join();
    closer.join();
    dev.onCloseProtocol = nullptr;
    const Lines lines = hvtest::logLines(dev.logPath());
    ASSERT_EQ(lines.size(), 22u);
    EXPECT_EQ(lines[20], "[ERR]: while held 19");
    EXPECT_EQ(lines[21], "[ERR]: Voltage out of range 0");
}

}  // namespace
