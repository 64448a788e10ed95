// The bias module's reply lines and fields on raw bytes: each line ends in its one ")", fields are
// never empty and hold no ";", and read as the standard library reads their leading hex digits
// (0 for odd lengths and lengths outside 2 to 8).
#include <cstdlib>

#include "BiasSrcProtocol.h"
#include "fuzz_support.h"

namespace {

uint32_t referenceHex(const std::string& field) {
    if (field.size() < 2 || field.size() > 8 || field.size() % 2 != 0) {
        return 0;
    }
    const size_t digits = field.find_first_not_of("0123456789abcdefABCDEF");
    const std::string run = field.substr(0, digits);
    return run.empty() ? 0 : static_cast<uint32_t>(std::strtoul(run.c_str(), nullptr, 16));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> lines =
        HwHvSrc::replyLines(reinterpret_cast<const char*>(data), size);
    for (const std::string& line : lines) {
        FUZZ_CHECK(line.size() >= 1 && line.find(')') == line.size() - 1);
    }
    for (const std::string& field : HwHvSrc::replyFields(lines)) {
        FUZZ_CHECK(!field.empty() && field.find(';') == std::string::npos);
        const uint32_t value = HwHvSrc::parseHexField(field);
        FUZZ_CHECK(value == referenceHex(field));
        FUZZ_CHECK(HwHvSrc::statusOk(field) == (value == 0));
        const int32_t tenths = HwHvSrc::signedTenths(field);
        FUZZ_CHECK(tenths >= -32768 && tenths <= 32767 && (tenths & 0xFFFF) == (value & 0xFFFF));
    }
    return 0;
}
