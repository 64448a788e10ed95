// The D2XX loader: a library that is absent, one that lacks some names, the second name, and the
// stand-in driver (found by its bare name because this program links it).
#include <gtest/gtest.h>

#include <cstring>
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

}  // namespace

// Every call answers 18 (FT_OTHER_ERROR) without touching its arguments.
TEST(Loader, AbsentLibraryAnswers18AndTouchesNothing) {
    FT2XXLoader loader("no-such-d2xx-library");
    EXPECT_FALSE(loader.loaded());
    for (size_t i = 0; i <= FT2XXLoader::kFunctionCount; ++i) {
        EXPECT_EQ(loader.entry(i), nullptr) << i;
    }
    FT_HANDLE const h = reinterpret_cast<FT_HANDLE>(0x1234);
    FT_HANDLE handle = h;
    uint32_t count = 0xDEADBEEF;
    unsigned char buffer[8];
    std::memset(buffer, 0xA5, sizeof(buffer));
    char* slots[2] = {reinterpret_cast<char*>(buffer), nullptr};
    const FT_STATUS statuses[] = {
        loader.FT_ListDevices(slots, &count, 0x20000002),
        loader.FT_OpenEx(const_cast<char*>("Dev"), 2, &handle),
        loader.FT_Close(h),
        loader.FT_Read(h, buffer, sizeof(buffer), &count),
        loader.FT_Write(h, buffer, sizeof(buffer), &count),
        loader.FT_Purge(h, 3),
        loader.FT_SetTimeouts(h, 500, 500),
        loader.FT_SetLatencyTimer(h, 2),
        loader.FT_SetFlowControl(h, 0x100, 0, 0),
        loader.FT_SetUSBParameters(h, 65536, 65536),
        loader.FT_SetBaudRate(h, 115200),
        loader.FT_SetDataCharacteristics(h, 8, 0, 0),
        loader.FT_SetBitMode(h, 0xFF, 0x40),
        loader.FT_GetQueueStatus(h, &count),
        loader.FT_SetDtr(h),
        loader.FT_ClrRts(h),
    };
    for (size_t i = 0; i < sizeof(statuses) / sizeof(statuses[0]); ++i) {
        EXPECT_EQ(statuses[i], 18u) << i;
    }
    EXPECT_EQ(handle, h);
    EXPECT_EQ(count, 0xDEADBEEFu);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 8), std::string(8, '\xA5'));
}

// The second name is tried only when the first cannot be loaded, and every entry comes from the
// one module that loaded: a library that lacks some names leaves their entries empty (they answer
// 18) and is not topped up from the other one.
TEST(Loader, SecondNameOnlyWhenTheFirstFails) {
    const std::string partial =
        plat::joinPath(plat::executableDirectory(), plat::sharedLibraryFileName("partial_d2xx"));
    const char* const driver = plat::d2xxLibraryName();  // the stand-in, linked by this program
    void* partialModule = plat::loadLibrary(partial.c_str());
    void* driverModule = plat::loadLibrary(driver);
    ASSERT_TRUE(partialModule != nullptr && driverModule != nullptr);
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
        SCOPED_TRACE(std::string(c.first) + " / " + (c.second ? c.second : "-"));
        EXPECT_EQ(loader.loaded(), c.expected != nullptr);
        EXPECT_EQ(loader.entry(indexOf("FT_Read")), plat::findSymbol(c.expected, "FT_Read"));
        EXPECT_EQ(loader.entry(indexOf("FT_Write")), plat::findSymbol(c.expected, "FT_Write"));
        // Unloaded, it forgets the module and its entries: a late call answers 18.
        loader.unload();
        uint32_t count = 0;
        EXPECT_FALSE(loader.loaded());
        EXPECT_EQ(loader.entry(indexOf("FT_Read")), nullptr);
        EXPECT_EQ(loader.FT_GetQueueStatus(nullptr, &count), 18u);
    }
    plat::freeLibrary(driverModule);
    plat::freeLibrary(partialModule);
}

TEST(Loader, DriverPresentBindsEveryNameAndReturnsItsStatus) {
    ASSERT_TRUE(ft2xx.loaded());
    ASSERT_EQ(FT2XXLoader::kFunctionCount, 76u);
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
        EXPECT_NE(ft2xx.entry(indexOf("FT_Read")), plat::findSymbol(second, "FT_Read"));
        plat::freeLibrary(second);
    }
    plat::freeLibrary(module);

    sim_reset();
    const int bridge = sim_attach("Loader Dev", "LD1");
    char slot[65] = {};
    char* slots[2] = {slot, nullptr};
    uint32_t count = 0;
    ASSERT_EQ(sim_fail_next(0, "FT_ListDevices", 7), 0);
    EXPECT_EQ(ft2xx.FT_ListDevices(slots, &count, 0x20000002), 7u);
    EXPECT_EQ(ft2xx.FT_ListDevices(slots, &count, 0x20000002), 0u);
    EXPECT_STREQ(slot, "Loader Dev");
    FT_HANDLE handle = nullptr;
    ASSERT_EQ(ft2xx.FT_OpenEx(const_cast<char*>("LD1"), 1, &handle), 0u);
    ASSERT_EQ(sim_fail_next(bridge, "FT_SetBaudRate", 17), 0);
    EXPECT_EQ(ft2xx.FT_SetBaudRate(handle, 19200), 17u);
    EXPECT_EQ(ft2xx.FT_Close(handle), 0u);
    sim_reset();
}
