// A machine without the D2XX library: this program neither links the stand-in driver nor can find
// it. The plug-in still loads and initialises, logs the failed listing with status 18 ("Other
// Error") and finds no device (the loader's suite checks each call-through's answer).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "FT2XXLoader.h"
#include "platform.h"
#include "plugin_host.h"
#include "refhost/HostFramework.h"
#include "refhost/PluginLoader.h"
#include "test_files.h"

TEST(NoDriver, ThePluginListsNothing) {
    // Where a D2XX driver is installed this situation cannot be made here.
    if (ft2xx.loaded()) {
        GTEST_SKIP() << "a D2XX library is reachable; this test needs none";
    }
    // The plug-in still loads and initialises: header, listing, failure, nothing else.
    host::PluginLoader loader;
    ASSERT_TRUE(loader.load(hvtest::pluginPath())) << loader.error();
    jd::IHwLib* lib = loader.library();
    const std::string dir = hvtest::freshDirectory("nodriver_logs");
    host::Framework framework(dir);
    EXPECT_EQ(lib->initialize(&framework), 0);

    const std::string text = hvtest::readFile(plat::joinPath(dir, "hvsrc.log"));
    const size_t listing = text.find(") [MSG]: Listing Devices ...\n");
    const size_t failed = text.find(") [ERR]: Listing FTDI devices failed (18)\n");
    EXPECT_EQ(text.compare(0, 30, "################# LOG OPENED ("), 0) << text;
    EXPECT_NE(listing, std::string::npos) << text;
    EXPECT_NE(failed, std::string::npos) << text;
    EXPECT_LT(listing, failed);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;

    host::DeviceList devices;
    EXPECT_EQ(lib->registerDevices(&devices), 0);
    EXPECT_TRUE(devices.devices().empty());
    EXPECT_EQ(lib->deinitialize(), 0);
    EXPECT_EQ(framework.paramListsCreated(), 0);
    loader.unload();
}
