// The library's life as a host sees it: the built plug-in loaded by path, driven only through
// jdGetHwLib and jd::IHwLib. The stand-in driver linked into this program is the D2XX library the
// plug-in finds by its bare name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HostFramework.h"
#include "PluginLoader.h"
#include "hvdev_support.h"
#include "platform.h"
#include "plugin_host.h"
#include "simctl.h"

namespace {

using Lines = std::vector<std::string>;

TEST(Plugin, LifeThroughTheLoadedLibrary) {
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
    lib->setCallback(0x1234, 0x5678);
    EXPECT_EQ(lib->reserved1(), 0);
    EXPECT_EQ(lib->reserved2(), 0u);
    EXPECT_EQ(lib->initialize(nullptr), 0);
    EXPECT_EQ(lib->registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(sim_call_count(0, "FT_ListDevices"), 0u);

    // A listed source that cannot be opened shows in the log but not in the device list.
    const std::string dir = hvtest::freshDirectory("plugin_life");
    host::Framework framework(dir);
    const int bridge = sim_attach("BiasModule: 3", "BM3");
    sim_fail_next(bridge, "FT_OpenEx", 3);
    EXPECT_EQ(lib->initialize(&framework), 0);
    EXPECT_EQ(hvtest::logLines(plat::joinPath(dir, "hvsrc.log")),
              (Lines{"[MSG]: Listing Devices ...", "[MSG]: Device: BiasModule: 3"}));
    EXPECT_EQ(lib->registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(lib->deinitialize(), 0);
    EXPECT_EQ(framework.paramListsAlive(), 0);

    loader.unload();
    EXPECT_EQ(loader.library(), nullptr);
    sim_reset();
}

}  // namespace
