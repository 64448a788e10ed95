// The library object: the AHwLib defaults, HwHvSrc::HwLib's own deinitialize and its start-up
// listing against the stand-in driver, read back from the library log.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "AHwLib.h"
#include "DevBase.h"
#include "HostFramework.h"
#include "HwLib.h"
#include "platform.h"
#include "sim_bias.h"
#include "sim_hvsrc.h"
#include "simctl.h"
#include "test_files.h"

namespace fs = std::filesystem;

namespace {

// A device that only records what the library does to it.
class FakeDev : public HwHvSrc::DevBase {
public:
    FakeDev(int id, std::vector<std::string>* events)
        : DevBase("Fake: " + std::to_string(id), nullptr, "", "HV Source", "fake_", "", 9600),
          id_(id),
          events_(events) {}
    ~FakeDev() override { events_->push_back("release " + std::to_string(id_)); }

    int deinitialize() override {
        events_->push_back("deinitialize " + std::to_string(id_));
        return DevBase::deinitialize();
    }
    int setVoltage(uint32_t, double) override { return 0; }
    double getVoltage(uint32_t) override { return 0.0; }
    int64_t sourceCount() override { return 0; }
    double readVoltage(uint32_t) override { return 0.0; }
    double readCurrent(uint32_t) override { return 0.0; }
    double minVoltage(int32_t) override { return 0.0; }
    double maxVoltage(int32_t) override { return 0.0; }

protected:
    void queryDevice() override {}
    void registerParameters() override {}
    int measure(uint32_t, int32_t&, int32_t&) override { return 0; }
    int sendVoltage(uint32_t, int32_t) override { return 0; }

private:
    int id_;
    std::vector<std::string>* events_;
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
using TestBase = Adopting<AHwLib>;
using TestLib = Adopting<HwHvSrc::HwLib>;

// A framework whose directory text is null.
class NullDirFramework : public jd::IFramework {
public:
    jd::IParamList* createParamList() override { return nullptr; }
    const char* logDirectory() override { return nullptr; }
};

using hvtest::readFile;

bool shaped(const std::string& line, const char* shape) {
    if (line.size() < std::strlen(shape)) {
        return false;
    }
    for (size_t i = 0; shape[i] != '\0'; ++i) {
        const char c = line[i];
        if (shape[i] == '~' ? (c < '0' || c > '9') : c != shape[i]) {
            return false;
        }
    }
    return true;
}

// The log's lines without time stamps: "HEADER" for the opening line, "[LEVEL]: message" for each
// entry; a line of any other shape stays as it is.
std::vector<std::string> entries(const std::string& path) {
    const char* header =
        "################# LOG OPENED (~~/~~/~~~~ ~~:~~:~~.~~~) ###################### ";
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
        if (shaped(line, header) && line.size() == std::strlen(header)) {
            lines.push_back("HEADER");
        } else if (shaped(line, "(~~_~~:~~:~~.~~~) [")) {
            lines.push_back(line.substr(18));
        } else {
            lines.push_back(line);
        }
    }
    return lines;
}

using Lines = std::vector<std::string>;

class LibTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        std::random_device random;
        dir_ = fs::temp_directory_path() /
               ("hvsrc_lib_" + std::to_string(random()) + "_" + std::to_string(random()));
        fs::create_directories(dir_);
        framework_.setLogDirectory(dir_.string());
    }
    void TearDown() override {
        sim_reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    std::string libraryLog() const { return plat::joinPath(dir_.string(), "hvsrc.log"); }

    // Attaches a bridge that refuses to open, so that a device made for it fails at once.
    int attachClosed(const char* description) {
        const int bridge = sim_attach(description, "");
        sim_fail_next(bridge, "FT_OpenEx", 3);
        return bridge;
    }

    fs::path dir_;
    host::Framework framework_{""};
};

TEST_F(LibTest, BaseDefaults) {
    std::vector<std::string> events;
    TestBase lib;
    host::DeviceList list;
    EXPECT_EQ(lib.registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(lib.hostPointer(), &framework_);
    EXPECT_EQ(framework_.logDirectoryCalls(), 0);
    EXPECT_EQ(lib.reserved1(), 0);
    lib.setCallback(1, 2);
    lib.setCallback(3, 4);
    EXPECT_EQ(lib.callbackPair(false), 3u);
    EXPECT_EQ(lib.callbackPair(true), 4u);
    EXPECT_EQ(lib.reserved2(), 0u);
    EXPECT_EQ(lib.reserved1(), 0);

    FakeDev* first = new FakeDev(1, &events);
    FakeDev* second = new FakeDev(2, &events);
    lib.adopt(first);
    lib.adopt(second);
    // Every call hands over the same devices in the same order; the list keeps them.
    EXPECT_EQ(lib.registerDevices(&list), 0);
    EXPECT_EQ(lib.registerDevices(&list), 0);
    EXPECT_EQ(list.devices(), (std::vector<jd::IHwDev*>{first, second, first, second}));
    EXPECT_TRUE(events.empty());

    // The generic deinitialize: each device's deinitialize, then its release, in order.
    EXPECT_EQ(lib.deinitialize(), 0);
    EXPECT_EQ(events, (Lines{"deinitialize 1", "release 1", "deinitialize 2", "release 2"}));
    EXPECT_EQ(lib.deviceCount(), 0u);
    EXPECT_EQ(lib.deinitialize(), 0);
    list.clear();
    EXPECT_EQ(lib.registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(events.size(), 4u);
}

TEST_F(LibTest, DeinitializeReleasesOnlyAndSecondInitializeStartsAfresh) {
    std::vector<std::string> events;
    TestLib lib;
    EXPECT_EQ(lib.initialize(&framework_), 0);
    lib.adopt(new FakeDev(1, &events));
    lib.adopt(new FakeDev(2, &events));
    EXPECT_EQ(lib.deinitialize(), 0);
    EXPECT_EQ(events, (Lines{"release 1", "release 2"}));
    EXPECT_EQ(lib.deviceCount(), 0u);
    EXPECT_EQ(lib.deinitialize(), 0);

    // A second initialize without deinitialize first releases what the first one kept, so no
    // bridge is held by two device objects; the log starts anew.
    events.clear();
    lib.adopt(new FakeDev(3, &events));
    attachClosed("Tessaro HV Source: 4");
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(events, Lines{"release 3"});
    EXPECT_EQ(lib.deviceCount(), 0u);
    EXPECT_EQ(entries(libraryLog()), (Lines{"HEADER", "[MSG]: Listing Devices ...",
                                            "[MSG]: Device: Tessaro HV Source: 4"}));

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
    attachClosed("Tessaro HV Source: 1");
    sim_attach("hv source avr", "");
    attachClosed("xx Tessaro HV Source yy");
    sim_attach("Tessaro HV Source B", "");
    attachClosed("HV source AVR: 9");
    sim_attach("USB Serial Converter", "");
    attachClosed("BiasModule");
    sim_attach("tessaro hv source: 2", "");
    attachClosed("HV source AVR and BiasModule");

    TestLib lib;
    EXPECT_EQ(lib.initialize(&framework_), 0);
    ASSERT_NE(lib.libraryLog(), nullptr);
    EXPECT_EQ(lib.libraryLog()->path(), libraryLog());
    EXPECT_EQ(lib.libraryLog()->level(), 3);
    EXPECT_EQ(entries(libraryLog()), (Lines{
                                         "HEADER",
                                         "[MSG]: Listing Devices ...",
                                         "[MSG]: Device: Tessaro HV Source: 1",
                                         "[MSG]: Device: xx Tessaro HV Source yy",
                                         "[MSG]: Device: HV source AVR: 9",
                                         "[MSG]: Device: BiasModule",
                                         "[MSG]: Device: HV source AVR and BiasModule",
                                     }));
    // Every listed source failed to open: listed, but no device.
    host::DeviceList list;
    EXPECT_EQ(lib.registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(lib.deinitialize(), 0);
}

TEST_F(LibTest, NoBridgesAndFailedListing) {
    TestLib lib;
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(entries(libraryLog()), (Lines{"HEADER", "[MSG]: Listing Devices ..."}));

    // A failing listing is logged with the driver's status; initialize still succeeds.
    sim_attach("Tessaro HV Source: 1", "");
    sim_fail_next(0, "FT_ListDevices", 4);
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(entries(libraryLog()), (Lines{"HEADER", "[MSG]: Listing Devices ...",
                                            "[ERR]: Listing FTDI devices failed (4)"}));
    EXPECT_EQ(lib.deviceCount(), 0u);
}

TEST_F(LibTest, SecondBridgeWithTheSameDescriptionGetsNoDevice) {
    const int first = sim_hvsrc_attach("Tessaro HV Source: 1", "A");
    sim_hvsrc_attach("Tessaro HV Source: 1", "B");
    TestLib lib;
    EXPECT_EQ(lib.initialize(&framework_), 0);
    EXPECT_EQ(lib.deviceCount(), 1u);
    EXPECT_EQ(entries(libraryLog()),
              (Lines{"HEADER", "[MSG]: Listing Devices ...", "[MSG]: Device: Tessaro HV Source: 1",
                     "[MSG]: Device: Tessaro HV Source: 1",
                     "[ERR]: Duplicate description, not opened: Tessaro HV Source: 1"}));
    // Nothing tried to open it again, and the working device's log keeps its start-up record.
    EXPECT_EQ(sim_call_count(first, "FT_OpenEx"), 1u);
    const Lines deviceLog = entries(plat::joinPath(dir_.string(), "hvsrc_1.log"));
    EXPECT_EQ(std::count(deviceLog.begin(), deviceLog.end(), "[MSG]: Firmware is: HVS-2.1.0"), 1);
    for (const std::string& line : deviceLog) {
        EXPECT_NE(line.rfind("[ERR]", 0), 0u) << line;
    }
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
    EXPECT_EQ(
        entries(libraryLog()),
        (Lines{"HEADER", "[MSG]: Listing Devices ...", "[ERR]: Listing FTDI devices failed (4)",
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
            EXPECT_EQ(entries(rootLog), (Lines{"HEADER", "[MSG]: Listing Devices ..."}));
        }
    }
    if (ours) {
        std::remove(rootLog.c_str());
    }
}

}  // namespace
