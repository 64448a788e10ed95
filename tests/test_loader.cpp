// The D2XX loader: the binding order, a library that is absent, one that lacks some names, the
// second name, and the stand-in driver (found by its bare name because this program links it).
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "FT2XXLoader.h"
#include "platform.h"
#include "simctl.h"

namespace {

size_t indexOf(const char* name) {
    for (size_t i = 0; i < FT2XXLoader::kFunctionCount; ++i) {
        if (std::strcmp(FT2XXLoader::kFunctionNames[i], name) == 0) {
            return i;
        }
    }
    return FT2XXLoader::kFunctionCount;
}

// The 16 functions the channel calls.
const char* const kUsed[] = {
    "FT_ListDevices",    "FT_OpenEx",
    "FT_Close",          "FT_Read",
    "FT_Write",          "FT_Purge",
    "FT_SetTimeouts",    "FT_SetLatencyTimer",
    "FT_SetFlowControl", "FT_SetUSBParameters",
    "FT_SetBaudRate",    "FT_SetDataCharacteristics",
    "FT_SetBitMode",     "FT_GetQueueStatus",
    "FT_SetDtr",         "FT_ClrRts",
};

}  // namespace

TEST(Loader, NameTableOrder) {
    ASSERT_EQ(FT2XXLoader::kFunctionCount, 76u);
    const struct {
        size_t index;
        const char* name;
    } spots[] = {
        {0, "FT_Open"},
        {1, "FT_OpenEx"},
        {2, "FT_ListDevices"},
        {4, "FT_Read"},
        {15, "FT_ClrRts"},
        {18, "FT_Purge"},
        {20, "FT_GetQueueStatus"},
        {38, "FT_SetLatencyTimer"},
        {40, "FT_SetBitMode"},
        {42, "FT_SetUSBParameters"},
        {55, "FT_W32_ClearCommBreak"},
        {68, "FT_W32_WaitCommEvent"},
        {72, "FT_GetQueueStatusEx"},
        {75, "FT_GetDeviceInfoDetail"},
    };
    for (const auto& spot : spots) {
        EXPECT_STREQ(FT2XXLoader::kFunctionNames[spot.index], spot.name) << spot.index;
    }
    std::set<std::string> unique;
    for (size_t i = 0; i < FT2XXLoader::kFunctionCount; ++i) {
        ASSERT_NE(FT2XXLoader::kFunctionNames[i], nullptr);
        EXPECT_EQ(std::string(FT2XXLoader::kFunctionNames[i]).rfind("FT_", 0), 0u);
        unique.insert(FT2XXLoader::kFunctionNames[i]);
    }
    EXPECT_EQ(unique.size(), 76u);
    for (const char* name : kUsed) {
        EXPECT_LT(indexOf(name), FT2XXLoader::kFunctionCount) << name;
    }
}

TEST(Loader, AbsentLibraryAnswers18AndTouchesNothing) {
    FT2XXLoader loader("no-such-d2xx-library");
    EXPECT_FALSE(loader.loaded());
    for (size_t i = 0; i < FT2XXLoader::kFunctionCount; ++i) {
        EXPECT_EQ(loader.entry(i), nullptr) << i;
    }
    EXPECT_EQ(loader.entry(FT2XXLoader::kFunctionCount), nullptr);

    FT_HANDLE const sentinelHandle = reinterpret_cast<FT_HANDLE>(0x1234);
    FT_HANDLE handle = sentinelHandle;
    uint32_t count = 0xDEADBEEF;
    unsigned char buffer[8];
    std::memset(buffer, 0xA5, sizeof(buffer));
    char* slots[2] = {reinterpret_cast<char*>(buffer), nullptr};

    EXPECT_EQ(loader.FT_ListDevices(slots, &count, 0x20000002), 18u);
    EXPECT_EQ(loader.FT_OpenEx(const_cast<char*>("Dev"), 2, &handle), 18u);
    EXPECT_EQ(loader.FT_Close(sentinelHandle), 18u);
    EXPECT_EQ(loader.FT_Read(sentinelHandle, buffer, sizeof(buffer), &count), 18u);
    EXPECT_EQ(loader.FT_Write(sentinelHandle, buffer, sizeof(buffer), &count), 18u);
    EXPECT_EQ(loader.FT_Purge(sentinelHandle, 3), 18u);
    EXPECT_EQ(loader.FT_SetTimeouts(sentinelHandle, 500, 500), 18u);
    EXPECT_EQ(loader.FT_SetLatencyTimer(sentinelHandle, 2), 18u);
    EXPECT_EQ(loader.FT_SetFlowControl(sentinelHandle, 0x100, 0, 0), 18u);
    EXPECT_EQ(loader.FT_SetUSBParameters(sentinelHandle, 65536, 65536), 18u);
    EXPECT_EQ(loader.FT_SetBaudRate(sentinelHandle, 115200), 18u);
    EXPECT_EQ(loader.FT_SetDataCharacteristics(sentinelHandle, 8, 0, 0), 18u);
    EXPECT_EQ(loader.FT_SetBitMode(sentinelHandle, 0xFF, 0x40), 18u);
    EXPECT_EQ(loader.FT_GetQueueStatus(sentinelHandle, &count), 18u);
    EXPECT_EQ(loader.FT_SetDtr(sentinelHandle), 18u);
    EXPECT_EQ(loader.FT_ClrRts(sentinelHandle), 18u);

    EXPECT_EQ(handle, sentinelHandle);
    EXPECT_EQ(count, 0xDEADBEEFu);
    for (unsigned char byte : buffer) {
        EXPECT_EQ(byte, 0xA5);
    }
}

TEST(Loader, MissingNamesAnswer18PresentOnesPassThrough) {
    const std::string path =
        plat::joinPath(plat::executableDirectory(), plat::sharedLibraryFileName("partial_d2xx"));
    FT2XXLoader loader(path.c_str());
    ASSERT_TRUE(loader.loaded()) << path;

    // A second reference to the same module, to read what its functions recorded.
    void* probe = plat::loadLibrary(path.c_str());
    ASSERT_NE(probe, nullptr);
    auto calls = reinterpret_cast<unsigned (*)()>(plat::findSymbol(probe, "partial_calls"));
    auto lastHandle = reinterpret_cast<void* (*)()>(plat::findSymbol(probe, "partial_last_handle"));
    auto lastCount =
        reinterpret_cast<uint32_t (*)()>(plat::findSymbol(probe, "partial_last_count"));
    ASSERT_TRUE(calls != nullptr && lastHandle != nullptr && lastCount != nullptr);

    for (size_t i = 0; i < FT2XXLoader::kFunctionCount; ++i) {
        const std::string name = FT2XXLoader::kFunctionNames[i];
        const bool exported = name == "FT_Read" || name == "FT_GetQueueStatus";
        EXPECT_EQ(loader.entry(i) != nullptr, exported) << name;
        if (exported) {
            EXPECT_EQ(loader.entry(i), plat::findSymbol(probe, name.c_str())) << name;
        }
    }

    FT_HANDLE const handle = reinterpret_cast<FT_HANDLE>(0x4321);
    uint32_t count = 0xDEADBEEF;
    unsigned char buffer[6] = {1, 2, 3, 4, 5, 6};

    // Missing: 18, no call, nothing touched.
    EXPECT_EQ(loader.FT_Write(handle, buffer, sizeof(buffer), &count), 18u);
    EXPECT_EQ(loader.FT_OpenEx(const_cast<char*>("Dev"), 2, nullptr), 18u);
    EXPECT_EQ(loader.FT_ListDevices(nullptr, &count, 0x20000002), 18u);
    EXPECT_EQ(loader.FT_SetDtr(handle), 18u);
    EXPECT_EQ(calls(), 0u);
    EXPECT_EQ(count, 0xDEADBEEFu);
    EXPECT_EQ(buffer[0], 1);

    // Present: arguments reach the function, its status comes back unchanged.
    EXPECT_EQ(loader.FT_Read(handle, buffer, 4, &count), 11u);
    EXPECT_EQ(calls(), 1u);
    EXPECT_EQ(lastHandle(), handle);
    EXPECT_EQ(lastCount(), 4u);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(buffer[3], 0x5A);
    EXPECT_EQ(buffer[4], 5);
    EXPECT_EQ(loader.FT_GetQueueStatus(handle, &count), 0u);
    EXPECT_EQ(count, 1234u);
    EXPECT_EQ(calls(), 2u);

    plat::freeLibrary(probe);
}

// The second name is tried only when the first cannot be loaded, and every entry comes from the
// one module that loaded: a partial library chosen first is not topped up from the other one.
TEST(Loader, SecondNameOnlyWhenTheFirstFails) {
    const std::string partial =
        plat::joinPath(plat::executableDirectory(), plat::sharedLibraryFileName("partial_d2xx"));
    const char* const driver = plat::d2xxLibraryName();  // the stand-in, linked by this program
    void* partialModule = plat::loadLibrary(partial.c_str());
    void* driverModule = plat::loadLibrary(driver);
    ASSERT_TRUE(partialModule != nullptr && driverModule != nullptr);

    const size_t read = indexOf("FT_Read");
    const size_t write = indexOf("FT_Write");
    const struct {
        const char* first;
        const char* second;
        void* expected;  // the module whose entries are bound, or null for none
    } cases[] = {
        {"no-such-d2xx-library", partial.c_str(), partialModule},
        {partial.c_str(), driver, partialModule},
        {driver, partial.c_str(), driverModule},
        {"no-such-d2xx-library", nullptr, nullptr},
        {"no-such-d2xx-library", "no-such-d2xx-library-either", nullptr},
    };
    for (const auto& c : cases) {
        FT2XXLoader loader(c.first, c.second);
        const std::string label = std::string(c.first) + " / " + (c.second ? c.second : "-");
        EXPECT_EQ(loader.loaded(), c.expected != nullptr) << label;
        EXPECT_EQ(loader.entry(read), plat::findSymbol(c.expected, "FT_Read")) << label;
        EXPECT_EQ(loader.entry(write), plat::findSymbol(c.expected, "FT_Write")) << label;
    }
    plat::freeLibrary(driverModule);
    plat::freeLibrary(partialModule);
}

TEST(Loader, DriverPresentBindsInOrderAndReturnsItsStatus) {
    ASSERT_TRUE(ft2xx.loaded());
    void* module = plat::loadLibrary(plat::d2xxLibraryName());
    ASSERT_NE(module, nullptr);
    for (size_t i = 0; i < FT2XXLoader::kFunctionCount; ++i) {
        EXPECT_EQ(ft2xx.entry(i), plat::findSymbol(module, FT2XXLoader::kFunctionNames[i]))
            << FT2XXLoader::kFunctionNames[i];
    }
    // Where the platform has a second name, the stand-in sits beside this program under it as
    // well: the first name still wins.
    if (plat::d2xxFallbackLibraryName() != nullptr) {
        void* second = plat::loadLibrary(plat::d2xxFallbackLibraryName());
        ASSERT_NE(second, nullptr);
        EXPECT_NE(second, module);
        EXPECT_NE(ft2xx.entry(indexOf("FT_Read")), plat::findSymbol(second, "FT_Read"));
        plat::freeLibrary(second);
    }
    for (const char* name : kUsed) {
        EXPECT_NE(ft2xx.entry(indexOf(name)), nullptr) << name;
    }
    plat::freeLibrary(module);

    sim_reset();
    const int bridge = sim_attach("Loader Dev", "LD1");
    ASSERT_GT(bridge, 0);

    char slot[65] = {};
    char* slots[2] = {slot, nullptr};
    uint32_t count = 0;
    ASSERT_EQ(sim_fail_next(0, "FT_ListDevices", 7), 0);
    EXPECT_EQ(ft2xx.FT_ListDevices(slots, &count, 0x20000002), 7u);
    EXPECT_EQ(ft2xx.FT_ListDevices(slots, &count, 0x20000002), 0u);
    EXPECT_EQ(count, 1u);
    EXPECT_STREQ(slot, "Loader Dev");

    FT_HANDLE handle = nullptr;
    EXPECT_EQ(ft2xx.FT_OpenEx(const_cast<char*>("Nobody"), 2, &handle), 2u);
    ASSERT_EQ(ft2xx.FT_OpenEx(const_cast<char*>("LD1"), 1, &handle), 0u);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(ft2xx.FT_SetBaudRate(handle, 9600), 0u);
    ASSERT_EQ(sim_fail_next(bridge, "FT_SetBaudRate", 17), 0);
    EXPECT_EQ(ft2xx.FT_SetBaudRate(handle, 19200), 17u);
    SimSettings settings{};
    ASSERT_EQ(sim_settings(bridge, &settings), 0);
    EXPECT_EQ(settings.baud_rate, 9600u);  // the failed call did nothing
    EXPECT_EQ(ft2xx.FT_Close(handle), 0u);
    sim_reset();
}
