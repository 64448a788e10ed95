// The plug-in without a D2XX library anywhere it looks: it still loads and initialises, logs the
// failed listing with status 18 and finds no device.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "HostFramework.h"
#include "PluginLoader.h"
#include "platform.h"
#include "plugin_host.h"
#include "test_files.h"

TEST(PluginWithoutDriver, ListingFailsWith18AndNoDevices) {
    // Where a D2XX driver is installed this situation cannot be made here.
    void* driver = plat::loadLibrary(plat::d2xxLibraryName());
    if (driver != nullptr) {
        plat::freeLibrary(driver);
        GTEST_SKIP() << "a D2XX library is reachable; this test needs none";
    }
    host::PluginLoader loader;
    ASSERT_TRUE(loader.load(hvtest::pluginPath())) << loader.error();
    jd::IHwLib* lib = loader.library();
    const std::string dir = hvtest::freshDirectory("nodriver_logs");
    host::Framework framework(dir);
    EXPECT_EQ(lib->initialize(&framework), 0);

    // Header, listing, failure: nothing else.
    const std::string text = hvtest::readFile(plat::joinPath(dir, "hvsrc.log"));
    const size_t listing = text.find(") [MSG]: Listing Devices ...\n");
    const size_t failed = text.find(") [ERR]: Listing FTDI devices failed (18)\n");
    EXPECT_EQ(text.compare(0, 30, "################# LOG OPENED ("), 0) << text;
    EXPECT_NE(listing, std::string::npos) << text;
    EXPECT_NE(failed, std::string::npos) << text;
    EXPECT_LT(listing, failed);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3) << text;

    host::DeviceList list;
    EXPECT_EQ(lib->registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(lib->deinitialize(), 0);
    EXPECT_EQ(framework.paramListsCreated(), 0);
    loader.unload();
}
