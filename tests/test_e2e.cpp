// The loaded plug-in driven as the host framework drives it, against several simulated sources
// of each kind: discovery in D2XX order, the class each description selects, failed opens,
// register / deinitialize / register again, and the logs each source leaves.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "HostFramework.h"
#include "PluginLoader.h"
#include "hvdev_support.h"
#include "platform.h"
#include "sim_bias.h"
#include "sim_hvold.h"
#include "sim_hvsrc.h"
#include "simctl.h"

namespace {

std::string pluginPath() {
    return plat::joinPath(plat::joinPath(plat::executableDirectory(), ".."),
                          plat::sharedLibraryFileName("hvsrc"));
}

std::string freshDirectory(const std::string& name) {
    const std::string dir = plat::joinPath(plat::executableDirectory(), name);
    std::filesystem::remove_all(std::filesystem::u8path(dir));
    std::filesystem::create_directories(std::filesystem::u8path(dir));
    return dir;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        ASSERT_TRUE(plugin.load(pluginPath())) << plugin.error();
        lib = plugin.library();
    }
    void TearDown() override {
        if (lib != nullptr) {
            lib->deinitialize();
        }
        plugin.unload();
        sim_reset();
    }

    // The host's framework outlives the devices: they release its lists when they go.
    host::Framework framework{""};
    host::PluginLoader plugin;
    jd::IHwLib* lib = nullptr;
};

TEST_F(EndToEnd, DiscoversEverySourceInDriverOrder) {
    const std::string dir = freshDirectory("e2e_order");
    const int hv1 = sim_hvsrc_attach("Tessaro HV Source: 1", "A");
    const int bias2 = sim_bias_attach("BiasModule: 2", "B");
    const int old = sim_hvold_attach("HV source AVR", "C");
    const int hv4 = sim_hvsrc_attach("xx Tessaro HV Source: 4 yy", "D");
    const int both = sim_hvold_attach("HV source AVR BiasModule", "E");
    const int bias5 = sim_bias_attach("BiasModule: 5", "F");
    // A source that fails to open: listed, but no device.
    const int broken = sim_hvsrc_attach("Tessaro HV Source: 9", "G");
    sim_fail_next(broken, "FT_OpenEx", 3);
    ASSERT_GT(hv1 * bias2 * old * hv4 * both * bias5, 0);
    sim_hvsrc_set_count(hv1, 2);
    sim_hvsrc_set_range(hv1, 0, -500, 500);
    sim_hvsrc_set_range(hv1, 1, 0, 1000);

    framework.setLogDirectory(dir);
    ASSERT_EQ(0, lib->initialize(&framework));
    host::DeviceList list;
    ASSERT_EQ(0, lib->registerDevices(&list));
    ASSERT_EQ(6u, list.devices().size());

    // Name, source count and number show which class each description made.
    const char* names[] = {"HV Source", "BiasMod",   "HV Source",
                           "HV Source", "HV Source", "BiasMod"};
    const uint32_t numbers[] = {1, 2, 1, 4, 1, 5};
    for (size_t i = 0; i < 6; ++i) {
        jd::IHwDevHvSrc* dev = list.source(i);
        EXPECT_STREQ(names[i], dev->deviceName()) << i;
        EXPECT_EQ(14, dev->typeCode());
        jd::HwDevInfo info{};
        dev->getInfo(&info);
        EXPECT_EQ(numbers[i], info.number) << i;
    }
    // "HV source AVR" wins over "BiasModule": the legacy class with its two fixed sources.
    EXPECT_EQ(2, list.source(4)->sourceCount());
    EXPECT_EQ(-1000.0, list.source(4)->minVoltage(1));
    EXPECT_EQ(2, list.source(0)->sourceCount());
    EXPECT_EQ(-500.0, list.source(0)->minVoltage(0));

    // Every source is driven through its own protocol.
    EXPECT_EQ(0, list.source(0)->setVoltage(1, 300.0));
    EXPECT_EQ(300.0, list.source(0)->readVoltage(1));
    EXPECT_EQ(0, list.source(2)->setVoltage(0, 250.0));
    EXPECT_EQ(250.0, list.source(2)->readVoltage(0));
    EXPECT_EQ(0, list.source(1)->setVoltage(0, 50.0));
    EXPECT_EQ(50.0, list.source(1)->readVoltage(0));

    // The library log lists all seven, the broken one included.
    const std::vector<std::string> lines = hvtest::logLines(plat::joinPath(dir, "hvsrc.log"));
    const std::vector<std::string> expected = {"[MSG]: Listing Devices ...",
                                               "[MSG]: Device: Tessaro HV Source: 1",
                                               "[MSG]: Device: BiasModule: 2",
                                               "[MSG]: Device: HV source AVR",
                                               "[MSG]: Device: xx Tessaro HV Source: 4 yy",
                                               "[MSG]: Device: HV source AVR BiasModule",
                                               "[MSG]: Device: BiasModule: 5",
                                               "[MSG]: Device: Tessaro HV Source: 9"};
    EXPECT_EQ(expected, lines);
    // Each source left its own log; the broken one recorded why.
    EXPECT_TRUE(plat::fileExists(plat::joinPath(dir, "hvsrc_1.log")));
    EXPECT_TRUE(plat::fileExists(plat::joinPath(dir, "hvsrc_biasmod_2.log")));
    EXPECT_TRUE(plat::fileExists(plat::joinPath(dir, "hvsrcold_1.log")));
    EXPECT_TRUE(plat::fileExists(plat::joinPath(dir, "hvsrc_4 yy.log")));
    const std::vector<std::string> broken9 = hvtest::logLines(plat::joinPath(dir, "hvsrc_9.log"));
    EXPECT_EQ(1u, hvtest::countLines(broken9, "[ERR]: Cannot open device: Tessaro HV Source: 9"));
    // One log directory request for the library, one per device created.
    EXPECT_EQ(1 + 7, framework.logDirectoryCalls());
}

TEST_F(EndToEnd, RegisterDeinitializeRegisterAgain) {
    const std::string dir = freshDirectory("e2e_life");
    const int hv = sim_hvsrc_attach("Tessaro HV Source: 1", "A");
    const int bias = sim_bias_attach("BiasModule: 2", "B");
    framework.setLogDirectory(dir);
    ASSERT_EQ(0, lib->initialize(&framework));
    host::DeviceList first;
    lib->registerDevices(&first);
    host::DeviceList second;
    lib->registerDevices(&second);
    ASSERT_EQ(2u, first.devices().size());
    EXPECT_EQ(first.devices(), second.devices());
    SimSettings settings{};
    sim_settings(hv, &settings);
    EXPECT_EQ(1, settings.open);

    EXPECT_EQ(0, lib->deinitialize());
    sim_settings(hv, &settings);
    EXPECT_EQ(0, settings.open);
    sim_settings(bias, &settings);
    EXPECT_EQ(0, settings.open);
    EXPECT_EQ(0, framework.paramListsAlive());
    host::DeviceList after;
    EXPECT_EQ(0, lib->registerDevices(&after));
    EXPECT_TRUE(after.devices().empty());

    // A second initialize finds the same sources again; a third without deinitialize releases
    // the second's devices first, so no bridge is held twice.
    ASSERT_EQ(0, lib->initialize(&framework));
    ASSERT_EQ(0, lib->initialize(&framework));
    host::DeviceList again;
    lib->registerDevices(&again);
    EXPECT_EQ(2u, again.devices().size());
    EXPECT_EQ(4, framework.paramListsAlive());
}

}  // namespace
