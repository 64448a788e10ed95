// The built plug-in loaded by path and driven only through jdGetHwLib and jd::IHwLib, against the
// stand-in driver this program links (found by its bare name).
#include <gtest/gtest.h>

#include "hvdev_support.h"
#include "plugin_host.h"
#include "sim_bias.h"
#include "sim_hvold.h"
#include "sim_hvsrc.h"

namespace {

bool isOpen(int bridge) {
    SimSettings settings{};
    return sim_settings(bridge, &settings) == 0 && settings.open != 0;
}

TEST(EndToEnd, EntryAndCallsBeforeStartUp) {
    sim_reset();
    host::PluginLoader loader;
    ASSERT_TRUE(loader.load(hvtest::pluginPath())) << loader.error();
    jd::IHwLib* lib = loader.library();
    ASSERT_NE(lib, nullptr);
    // The entry found by name hands out the same object on every call.
    void* module = plat::loadLibrary(hvtest::pluginPath().c_str());
    ASSERT_NE(module, nullptr);
    using Entry = jd::IHwLib* (*)();
    Entry entry = reinterpret_cast<Entry>(plat::findSymbol(module, "jdGetHwLib"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry(), lib);
    EXPECT_EQ(entry(), lib);
    plat::freeLibrary(module);

    // Loaded, not initialised, or initialised without a framework: nothing listed, nothing to
    // hand over or release.
    host::DeviceList list;
    EXPECT_EQ(lib->registerDevices(&list), 0);
    EXPECT_EQ(lib->deinitialize(), 0);
    EXPECT_EQ(lib->initialize(nullptr), 0);
    EXPECT_EQ(lib->registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(sim_call_count(0, "FT_ListDevices"), 0u);
    loader.unload();
    EXPECT_EQ(loader.library(), nullptr);
}

TEST(EndToEnd, DiscoversEverySourceInDriverOrderAndLetsThemGo) {
    sim_reset();
    // The host's framework outlives the devices: they release its lists when they go.
    host::Framework framework("");
    host::PluginLoader plugin;
    ASSERT_TRUE(plugin.load(hvtest::pluginPath())) << plugin.error();
    jd::IHwLib* lib = plugin.library();
    const std::string dir = hvtest::freshDirectory("e2e_order");
    const int hv1 = sim_hvsrc_attach("Tessaro HV Source: 1", "A");
    const int bias2 = sim_bias_attach("BiasModule: 2", "B");
    // A source that fails to open: listed, but no device; those after it keep their order.
    sim_fail_next(sim_hvsrc_attach("Tessaro HV Source: 9", "G"), "FT_OpenEx", 3);
    ASSERT_GT(sim_hvold_attach("HV source AVR", "C"), 0);
    ASSERT_GT(sim_hvsrc_attach("xx Tessaro HV Source: 4 yy", "D"), 0);
    ASSERT_GT(sim_hvold_attach("HV source AVR BiasModule", "E"), 0);
    ASSERT_GT(sim_bias_attach("Tessaro HV Source BiasModule: 3", "F"), 0);
    sim_hvsrc_set_count(hv1, 2);
    sim_hvsrc_set_range(hv1, 1, 0, 1000);
    // The listing fails after filling its slots: logged, and its entries are still taken.
    sim_fail_listing_late(4);

    framework.setLogDirectory(dir);
    ASSERT_EQ(0, lib->initialize(&framework));
    host::DeviceList list;
    ASSERT_EQ(0, lib->registerDevices(&list));
    ASSERT_EQ(6u, list.devices().size());
    EXPECT_EQ(
        hvtest::logLines(plat::joinPath(dir, "hvsrc.log")),
        (std::vector<std::string>{
            "[MSG]: Listing Devices ...", "[ERR]: Listing FTDI devices failed (4)",
            "[MSG]: Device: Tessaro HV Source: 1", "[MSG]: Device: BiasModule: 2",
            "[MSG]: Device: Tessaro HV Source: 9", "[MSG]: Device: HV source AVR",
            "[MSG]: Device: xx Tessaro HV Source: 4 yy", "[MSG]: Device: HV source AVR BiasModule",
            "[MSG]: Device: Tessaro HV Source BiasModule: 3"}));

    // Name, number, source count and log show which class each description made; "HV source
    // AVR" wins over "BiasModule", "BiasModule" over "Tessaro HV Source". Each is driven through
    // its own protocol.
    const struct {
        const char* name;
        uint32_t number;
        int64_t sources;
        const char* log;
    } made[] = {{"HV Source", 1, 2, "hvsrc_1.log"},    {"BiasMod", 2, 1, "hvsrc_biasmod_2.log"},
                {"HV Source", 1, 2, "hvsrcold_1.log"}, {"HV Source", 4, -1, "hvsrc_4 yy.log"},
                {"HV Source", 1, 2, "hvsrcold_1.log"}, {"BiasMod", 3, 1, "hvsrc_biasmod_3.log"}};
    for (size_t i = 0; i < 6; ++i) {
        SCOPED_TRACE(i);
        jd::IHwDevHvSrc* dev = list.source(i);
        jd::HwDevInfo info{};
        dev->getInfo(&info);
        EXPECT_STREQ(made[i].name, dev->deviceName());
        EXPECT_EQ(made[i].number, info.number);
        if (made[i].sources >= 0) {
            EXPECT_EQ(made[i].sources, dev->sourceCount());
        }
        EXPECT_TRUE(plat::fileExists(plat::joinPath(dir, made[i].log)));
        if (i < 3) {
            EXPECT_EQ(0, dev->setVoltage(i == 0 ? 1 : 0, 40.0));
            EXPECT_EQ(40.0, dev->readVoltage(i == 0 ? 1 : 0));
        }
    }

    // The source that failed to open recorded why in its own log.
    EXPECT_EQ(1u, hvtest::countLines(hvtest::logLines(plat::joinPath(dir, "hvsrc_9.log")),
                                     "[ERR]: Cannot open device: Tessaro HV Source: 9"));
    // One log directory request for the library, one per device created.
    EXPECT_EQ(1 + 7, framework.logDirectoryCalls());

    // Every call hands over the same devices. deinitialize closes every bridge and gives back
    // every list; initialize twice without deinitialize releases the first one's devices, so no
    // bridge is held twice.
    host::DeviceList again;
    lib->registerDevices(&again);
    EXPECT_EQ(list.devices(), again.devices());
    EXPECT_TRUE(isOpen(hv1));
    EXPECT_EQ(0, lib->deinitialize());
    EXPECT_FALSE(isOpen(hv1) || isOpen(bias2));
    EXPECT_EQ(0, framework.paramListsAlive());
    host::DeviceList none;
    EXPECT_EQ(0, lib->registerDevices(&none));
    EXPECT_TRUE(none.devices().empty());
    ASSERT_EQ(0, lib->initialize(&framework));
    ASSERT_EQ(0, lib->initialize(&framework));
    lib->registerDevices(&none);
    EXPECT_EQ(7u, none.devices().size());  // the failed open was a one-off
    EXPECT_EQ(14, framework.paramListsAlive());
    lib->deinitialize();
    plugin.unload();
    sim_reset();
}

}  // namespace
