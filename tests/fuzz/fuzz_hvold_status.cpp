// The legacy status-line parser on raw text, and on ten hex numbers (then raw text) that it must
// read back exactly; either way fields 4 and 5 are turned into volts.
#include <cstdio>

#include "HvDevOld.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    int32_t fields[10] = {};
    if ((in.byte() & 1) == 0) {
        if (HwHvSrc::HvDevOld::parseStatusLine(in.rest(), fields)) {
            HwHvSrc::HvDevOld::fieldVolts(0, fields[4]);
            HwHvSrc::HvDevOld::fieldVolts(1, fields[5]);
        }
        return 0;
    }
    uint32_t values[10];
    std::string line;
    for (int i = 0; i < 10; ++i) {
        values[i] = in.u32();
        char text[16];
        std::snprintf(text, sizeof(text), i == 0 ? "%x" : "\t%x", values[i]);
        line += text;
    }
    line += "\t" + in.rest();
    FUZZ_CHECK(HwHvSrc::HvDevOld::parseStatusLine(line, fields));
    for (int i = 0; i < 10; ++i) {
        FUZZ_CHECK(static_cast<uint32_t>(fields[i]) == values[i]);
    }
    HwHvSrc::HvDevOld::fieldVolts(0, fields[4]);
    HwHvSrc::HvDevOld::fieldVolts(1, fields[5]);
    return 0;
}
