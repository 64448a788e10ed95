// The library object: the AHwLib defaults, HwHvSrc::HwLib's own deinitialize and its start-up
// listing against the stand-in driver, read back from the library log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "AHwLib.h"
#include "DevBase.h"
#include "HwLib.h"
#include "hvdev_support.h"
#include "refhost/HostFramework.h"
#include "sim_bias.h"
#include "sim_hvsrc.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

// A device that only records what the library does to it.
class FakeDev : public HwHvSrc::DevBase {
public:
    FakeDev(int id, Lines* events)
        : DevBase("Fake: " + std::to_string(id), nullptr, "", "HV Source", "fake_", "", 9600, 1.0,
                  1.0),
          id_(id),
          events_(events) {}
    ~FakeDev() override { events_->push_back("release " + std::to_string(id_)); }
    int deinitialize() override {
        events_->push_back("deinitialize " + std::to_string(id_));
        return DevBase::deinitialize();
    }
    int64_t sourceCount() override { return 0; }
    double minVoltage(int32_t) override { return 0.0; }
    double maxVoltage(int32_t) override { return 0.0; }

protected:
    void queryDevice() override {}
    void registerParameters() override {}
    int readMeasurement(uint32_t, int32_t&, int32_t&) override { return 0; }

private:
    int id_;
    Lines* events_;
};

template <typename Base>
class Adopting : public Base {
public:
    void adopt(jd::IHwDev* device) { this->devices.push_back(device); }
    jd::IFramework* hostPointer() const { return this->host; }
    uint64_t callbackPair(bool context) const {
        return context ? this->callbackContext : this->callback;
    }
};
using TestLib = Adopting<HwHvSrc::HwLib>;

// A framework whose directory text is null.
class NullDirFramework : public jd::IFramework {
public:
    jd::IParamList* createParamList() override { return nullptr; }
    const char* logDirectory() override { return nullptr; }
};

class LibTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        dir_ = plat::joinPath(hvtest::logDirectory(),
                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(fs::u8path(dir_));
        fs::create_directories(fs::u8path(dir_));
        framework_.setLogDirectory(dir_);
    }
    void TearDown() override { sim_reset(); }
    Lines libraryLog() const { return hvtest::logLines(plat::joinPath(dir_, "hvsrc.log")); }

    // Attaches a bridge that refuses to open, so that a device made for it fails at once.
    int attachClosed(const char* description) {
        const int bridge = sim_attach(description, "");
        sim_fail_next(bridge, "FT_OpenEx", 3);
        return bridge;
    }

    std::string dir_;
    host::Framework framework_{""};
};

TEST_F(LibTest, BaseDefaults) {
    Lines events;
    Adopting<AHwLib> lib;
    host::DeviceList list;
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(lib.hostPointer(), &framework_);
    EXPECT_EQ(framework_.logDirectoryCalls(), 0);
    lib.setCallback(3, 4);
    EXPECT_EQ(lib.callbackPair(false), 3u);
    EXPECT_EQ(lib.callbackPair(true), 4u);
    EXPECT_EQ(lib.reserved1(), 0);
    EXPECT_EQ(lib.reserved2(), 0u);

    FakeDev* first = new FakeDev(1, &events);
    FakeDev* second = new FakeDev(2, &events);
    lib.adopt(first);
    lib.adopt(second);
    // Every call hands over the same devices in the same order; the list keeps them. A null
    // list takes nothing and is no failure.
    EXPECT_EQ(lib.registerDevices(nullptr), 0);
    EXPECT_EQ(lib.registerDevices(&list), 0);
    EXPECT_EQ(lib.registerDevices(&list), 0);
    EXPECT_EQ(list.devices(), (std::vector<jd::IHwDev*>{first, second, first, second}));
    EXPECT_TRUE(events.empty());

    // The generic deinitialize: each device's deinitialize, then its release, in order.
    EXPECT_EQ(lib.deinitialize(), 0);
    EXPECT_EQ(events, (Lines{"deinitialize 1", "release 1", "deinitialize 2", "release 2"}));
    list.clear();
    EXPECT_EQ(lib.registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
}

TEST_F(LibTest, DeinitializeReleasesOnlyAndSecondInitializeStartsAfresh) {
    Lines events;
    TestLib lib;
    EXPECT_EQ(lib.initialize(&framework_), 0);
    lib.adopt(new FakeDev(1, &events));
    lib.adopt(new FakeDev(2, &events));
    EXPECT_EQ(lib.deinitialize(), 0);
    EXPECT_EQ(events, (Lines{"release 1", "release 2"}));
    EXPECT_EQ(lib.deviceCount(), 0u);

    // A second initialize without deinitialize first releases what the first one kept, so no
    // bridge is held by two device objects; the log starts anew.
    events.clear();
    lib.adopt(new FakeDev(3, &events));
    attachClosed("Tessaro HV Source: 4");
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(events, Lines{"release 3"});
    EXPECT_EQ(lib.deviceCount(), 0u);
    EXPECT_EQ(libraryLog(),
              (Lines{"[MSG]: Listing Devices ...", "[MSG]: Device: Tessaro HV Source: 4"}));

    // A null framework is stored and nothing else happens: no log, no listing, no release.
    lib.adopt(new FakeDev(5, &events));
    const unsigned listings = sim_call_count(0, "FT_ListDevices");
    EXPECT_EQ(lib.initialize(nullptr), 0);
    EXPECT_EQ(lib.hostPointer(), nullptr);
    EXPECT_EQ(sim_call_count(0, "FT_ListDevices"), listings);
    EXPECT_EQ(lib.deviceCount(), 1u);
    EXPECT_EQ(lib.deinitialize(), 0);
    EXPECT_EQ(events, (Lines{"release 3", "release 5"}));
}

TEST_F(LibTest, ListingFiltersAndOrder) {
    TestLib lib;
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(libraryLog(), Lines{"[MSG]: Listing Devices ..."});

    attachClosed("Tessaro HV Source: 1");
    sim_attach("hv source avr", "");
    attachClosed("xx Tessaro HV Source yy");
    sim_attach("Tessaro HV Source B", "");
    attachClosed("HV source AVR: 9");
    sim_attach("USB Serial Converter", "");
    attachClosed("BiasModule");
    sim_attach("tessaro hv source: 2", "");
    attachClosed("HV source AVR and BiasModule");
    EXPECT_EQ(lib.initialize(&framework_), 0);
    ASSERT_NE(lib.libraryLog(), nullptr);
    EXPECT_EQ(lib.libraryLog()->path(), plat::joinPath(dir_, "hvsrc.log"));
    EXPECT_EQ(lib.libraryLog()->level(), 3);
    EXPECT_EQ(libraryLog(),
              (Lines{"[MSG]: Listing Devices ...", "[MSG]: Device: Tessaro HV Source: 1",
                     "[MSG]: Device: xx Tessaro HV Source yy", "[MSG]: Device: HV source AVR: 9",
                     "[MSG]: Device: BiasModule", "[MSG]: Device: HV source AVR and BiasModule"}));
    // Every listed source failed to open: listed, but no device.
    EXPECT_EQ(lib.deviceCount(), 0u);

    // A failing listing is logged with the driver's status; initialize still succeeds.
    sim_fail_next(0, "FT_ListDevices", 4);
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(libraryLog(),
              (Lines{"[MSG]: Listing Devices ...", "[ERR]: Listing FTDI devices failed (4)"}));
    EXPECT_EQ(lib.deviceCount(), 0u);
}

TEST_F(LibTest, SecondBridgeWithTheSameDescriptionGetsNoDevice) {
    const int first = sim_hvsrc_attach("Tessaro HV Source: 1", "A");
    sim_hvsrc_attach("Tessaro HV Source: 1", "B");
    TestLib lib;
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(lib.deviceCount(), 1u);
    EXPECT_EQ(libraryLog(),
              (Lines{"[MSG]: Listing Devices ...", "[MSG]: Device: Tessaro HV Source: 1",
                     "[MSG]: Device: Tessaro HV Source: 1",
                     "[ERR]: Duplicate description, not opened: Tessaro HV Source: 1"}));
    // Nothing tried to open it again, and the working device's log keeps its start-up record.
    EXPECT_EQ(sim_call_count(first, "FT_OpenEx"), 1u);
    const Lines deviceLog = hvtest::logLines(plat::joinPath(dir_, "hvsrc_1.log"));
    EXPECT_EQ(hvtest::countLines(deviceLog, "[MSG]: Firmware is: HVS-2.1.0"), 1u);
    for (const std::string& line : deviceLog) {
        EXPECT_NE(line.rfind("[ERR]", 0), 0u) << line;
    }
    EXPECT_EQ(lib.deinitialize(), 0);

    // Only a device that opened marks its description: when the first open fails (another
    // program holds the bridge for a moment), the second listing of it is tried.
    ASSERT_EQ(sim_fail_next(first, "FT_OpenEx", 3), 0);
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(lib.deviceCount(), 1u);
    EXPECT_EQ(sim_call_count(first, "FT_OpenEx"), 3u);
    EXPECT_EQ(hvtest::countLines(libraryLog(),
                                 "[ERR]: Duplicate description, not opened: Tessaro HV Source: 1"),
              0u);
    EXPECT_EQ(lib.deinitialize(), 0);
}

// A listing that fails after filling its slots is logged and its entries are still taken. A source
// failing in the middle keeps those after it in order, and a description holding both
// "BiasModule" and "Tessaro HV Source" makes a bias module.
TEST_F(LibTest, FailedListingStillCreatesItsDevicesInOrder) {
    ASSERT_GT(sim_hvsrc_attach("Tessaro HV Source: 1", ""), 0);
    attachClosed("Tessaro HV Source: 2");
    ASSERT_GT(sim_bias_attach("Tessaro HV Source BiasModule: 3", ""), 0);
    sim_fail_listing_late(4);
    TestLib lib;
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(libraryLog(),
              (Lines{"[MSG]: Listing Devices ...", "[ERR]: Listing FTDI devices failed (4)",
                     "[MSG]: Device: Tessaro HV Source: 1", "[MSG]: Device: Tessaro HV Source: 2",
                     "[MSG]: Device: Tessaro HV Source BiasModule: 3"}));
    host::DeviceList list;
    EXPECT_EQ(lib.registerDevices(&list), 0);
    ASSERT_EQ(list.devices().size(), 2u);
    const char* const names[] = {"HV Source", "BiasMod"};
    const uint32_t numbers[] = {1, 3};
    for (size_t i = 0; i < 2; ++i) {
        jd::HwDevInfo info{};
        list.source(i)->getInfo(&info);
        EXPECT_STREQ(info.name, names[i]) << i;
        EXPECT_EQ(info.number, numbers[i]) << i;
    }
    EXPECT_EQ(lib.deinitialize(), 0);
}

// With an empty directory text (or a null one) the log path is one separator and "hvsrc.log":
// the root of the file system, or of the current drive on Windows. The test claims that file by
// creating it and skips where one exists already, so a file it did not make is never touched.
TEST_F(LibTest, EmptyAndNullLogDirectory) {
    const std::string rootLog = std::string(1, plat::pathSeparator()) + "hvsrc.log";
    const int claim = ::open(rootLog.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (claim < 0 && errno == EEXIST) {
        GTEST_SKIP() << rootLog << " exists and is not this test's to overwrite";
    }
    // Without the claim the root takes no new file, so the library cannot write one either.
    const bool ours = claim >= 0;
    if (ours) {
        ::close(claim);
    }
    host::Framework empty("");
    NullDirFramework null;
    jd::IFramework* frameworks[] = {&empty, &null};
    for (jd::IFramework* framework : frameworks) {
        TestLib lib;
        EXPECT_EQ(lib.initialize(framework), 0);
        ASSERT_NE(lib.libraryLog(), nullptr);
        EXPECT_EQ(lib.libraryLog()->path(), rootLog);
        if (ours) {
            EXPECT_EQ(hvtest::logLines(rootLog), Lines{"[MSG]: Listing Devices ..."});
        }
    }
    if (ours) {
        std::remove(rootLog.c_str());
    }
}

}  // namespace
