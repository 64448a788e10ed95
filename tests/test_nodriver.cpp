// The channel on a machine without the D2XX library: this program neither links the stand-in
// driver nor can find it, so the process-wide loader binds nothing and every operation fails with
// status 18 ("Other Error") instead of crashing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FT2XXLoader.h"
#include "FtdiDev.h"

TEST(NoDriver, EveryOperationFailsWithOtherError) {
    // Where a D2XX driver is installed this situation cannot be made here.
    if (ft2xx.loaded()) {
        GTEST_SKIP() << "a D2XX library is reachable; this test needs none";
    }
    std::vector<FtdiDevInfo> list{{"kept", "S0"}};
    const char* const filters[] = {"HV"};
    EXPECT_EQ(FtdiDev::listDevices(filters, 1, list, true, true), 18);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].description, "kept");

    FtdiDev dev("Tessaro HV Source", false);
    EXPECT_EQ(dev.open(false), 18);
    EXPECT_EQ(dev.lastError(), "Other Error");
    EXPECT_FALSE(dev.isOpen());
    EXPECT_EQ(dev.setBitMode(true), 18);
    EXPECT_EQ(dev.availableBytes(), -18);
    unsigned char buffer[16] = {};
    EXPECT_EQ(dev.read(buffer, sizeof(buffer), 4, 0.2, false), -18);
    EXPECT_EQ(dev.readAvailable(buffer, sizeof(buffer), 5), -18);
    EXPECT_EQ(dev.readUntil(buffer, sizeof(buffer), ")", 1, 0.2), -18);
    std::string line = "x";
    EXPECT_EQ(dev.readLine(line, '\n', 0.2), -18);
    EXPECT_EQ(dev.write("abc", 3, 0.2), -18);
    EXPECT_EQ(dev.lastError(), "Other Error");
    EXPECT_EQ(dev.clearInput(), 0);
    EXPECT_EQ(dev.close(), 0);
}
