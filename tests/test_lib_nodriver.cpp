// The plug-in without a D2XX library anywhere it looks: it still loads and initialises, logs the
// failed listing with status 18 and finds no device.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "HostFramework.h"
#include "PluginLoader.h"
#include "platform.h"
#include "test_files.h"

namespace fs = std::filesystem;

namespace {

std::string pluginPath() {
    std::string dir = plat::executableDirectory();
    for (int up = 0; up < 3; ++up) {
        dir = plat::joinPath(dir, "..");
        const std::string path = plat::joinPath(dir, plat::sharedLibraryFileName("hvsrc"));
        if (plat::fileExists(path)) {
            return path;
        }
    }
    return "<plug-in not found>";
}

using hvtest::readFile;

TEST(PluginWithoutDriver, ListingFailsWith18AndNoDevices) {
    // Where a D2XX driver is installed this situation cannot be made here.
    void* driver = plat::loadLibrary(plat::d2xxLibraryName());
    if (driver != nullptr) {
        plat::freeLibrary(driver);
        GTEST_SKIP() << "a D2XX library is reachable; this test needs none";
    }

    host::PluginLoader loader;
    ASSERT_TRUE(loader.load(pluginPath())) << loader.error();
    jd::IHwLib* lib = loader.library();

    std::random_device random;
    const fs::path dir = fs::temp_directory_path() / ("hvsrc_nodriver_" + std::to_string(random()));
    fs::create_directories(dir);
    host::Framework framework(dir.string());
    EXPECT_EQ(lib->initialize(&framework), 0);

    const std::string text = readFile(plat::joinPath(dir.string(), "hvsrc.log"));
    const size_t listing = text.find(") [MSG]: Listing Devices ...\n");
    const size_t failed = text.find(") [ERR]: Listing FTDI devices failed (18)\n");
    EXPECT_EQ(text.compare(0, 30, "################# LOG OPENED ("), 0) << text;
    EXPECT_NE(listing, std::string::npos) << text;
    EXPECT_NE(failed, std::string::npos) << text;
    EXPECT_LT(listing, failed);
    EXPECT_EQ(text.find("Device: "), std::string::npos) << text;
    // Header, listing, failure: nothing else.
    size_t lines = 0;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    EXPECT_EQ(lines, 3u) << text;

    host::DeviceList list;
    EXPECT_EQ(lib->registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(lib->deinitialize(), 0);
    EXPECT_EQ(framework.paramListsCreated(), 0);
    loader.unload();

    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

}  // namespace
