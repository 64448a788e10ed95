// The library's life as a host sees it: the built plug-in loaded by path, driven only through
// jdGetHwLib and jd::IHwLib. The stand-in driver linked into this program is the D2XX library the
// plug-in finds by its bare name.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "HostFramework.h"
#include "PluginLoader.h"
#include "platform.h"
#include "simctl.h"
#include "test_files.h"

namespace fs = std::filesystem;

namespace {

// The plug-in sits in bin/, above the directory of the test programs.
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

// The log's entries after the opening line, each without its time stamp.
std::vector<std::string> entries(const std::string& path) {
    const std::string text = readFile(path);
    std::vector<std::string> lines;
    size_t start = text.find('\n');
    if (text.compare(0, 30, "################# LOG OPENED (") != 0 || start == std::string::npos) {
        return {"<no header> " + text};
    }
    ++start;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        lines.push_back(line.size() > 18 && line[0] == '(' && line[17] == ' ' ? line.substr(18)
                                                                              : line);
    }
    return lines;
}

using Lines = std::vector<std::string>;

TEST(Plugin, LifeThroughTheLoadedLibrary) {
    sim_reset();
    host::PluginLoader loader;
    ASSERT_TRUE(loader.load(pluginPath())) << loader.error();
    jd::IHwLib* lib = loader.library();
    ASSERT_NE(lib, nullptr);

    // The entry found by name hands out the same object on every call.
    void* module = plat::loadLibrary(pluginPath().c_str());
    ASSERT_NE(module, nullptr);
    using Entry = jd::IHwLib* (*)();
    Entry entry = reinterpret_cast<Entry>(plat::findSymbol(module, "jdGetHwLib"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry(), lib);
    EXPECT_EQ(entry(), lib);
    plat::freeLibrary(module);

    // Loaded, not initialised: nothing to hand over or release.
    host::DeviceList list;
    EXPECT_EQ(lib->registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(lib->deinitialize(), 0);
    EXPECT_EQ(lib->deinitialize(), 0);
    EXPECT_EQ(lib->reserved1(), 0);
    EXPECT_EQ(lib->reserved2(), 0u);
    lib->setCallback(0x1234, 0x5678);
    EXPECT_EQ(lib->reserved1(), 0);
    EXPECT_EQ(lib->reserved2(), 0u);

    // A null framework does no harm.
    EXPECT_EQ(lib->initialize(nullptr), 0);
    EXPECT_EQ(lib->registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(sim_call_count(0, "FT_ListDevices"), 0u);

    // A real start-up into a log directory of its own.
    std::random_device random;
    const fs::path dir = fs::temp_directory_path() / ("hvsrc_plugin_" + std::to_string(random()));
    fs::create_directories(dir);
    host::Framework framework(dir.string());
    const std::string logPath = plat::joinPath(dir.string(), "hvsrc.log");

    EXPECT_EQ(lib->initialize(&framework), 0);
    EXPECT_EQ(entries(logPath), Lines{"[MSG]: Listing Devices ..."});
    EXPECT_EQ(sim_call_count(0, "FT_ListDevices"), 1u);

    // A listed source that cannot be opened shows in the log but not in the device list.
    const int bridge = sim_attach("BiasModule: 3", "BM3");
    sim_fail_next(bridge, "FT_OpenEx", 3);
    EXPECT_EQ(lib->initialize(&framework), 0);
    EXPECT_EQ(entries(logPath),
              (Lines{"[MSG]: Listing Devices ...", "[MSG]: Device: BiasModule: 3"}));
    EXPECT_EQ(lib->registerDevices(&list), 0);
    EXPECT_TRUE(list.devices().empty());
    EXPECT_EQ(lib->deinitialize(), 0);
    EXPECT_EQ(lib->deinitialize(), 0);
    EXPECT_EQ(framework.paramListsAlive(), 0);

    loader.unload();
    EXPECT_EQ(loader.library(), nullptr);
    sim_reset();
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

TEST(Plugin, LoaderRefusesWhatIsNoPlugin) {
    host::PluginLoader loader;
    EXPECT_FALSE(loader.load(plat::joinPath(plat::executableDirectory(), "no-such-plugin")));
    EXPECT_EQ(loader.library(), nullptr);
    EXPECT_FALSE(loader.error().empty());

    // A library without the entry (the stand-in driver) is loaded, found wanting and unloaded.
    const std::string dir = plat::executableDirectory();
    std::string driver = plat::joinPath(dir, plat::d2xxLibraryName());
    if (!plat::fileExists(driver)) {
        driver = plat::joinPath(plat::joinPath(plat::joinPath(dir, ".."), "sim"),
                                plat::d2xxLibraryName());
    }
    ASSERT_TRUE(plat::fileExists(driver)) << driver;
    EXPECT_FALSE(loader.load(driver));
    EXPECT_EQ(loader.library(), nullptr);
    EXPECT_NE(loader.error().find("jdGetHwLib"), std::string::npos) << loader.error();
}

}  // namespace
