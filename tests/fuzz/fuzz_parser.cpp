// The raw parsers on hostile bytes, one target per define. FUZZ_CMD_FRAME: the frame receiver on
// bytes in delayed pieces; a success is exactly the code, the payload handed over, status 0 and a
// line feed, a failure leaves a message. FUZZ_HVOLD_STATUS: the legacy status line, raw or ten hex
// numbers (then raw text) read back exactly; fields 4 and 5 become volts. FUZZ_BIAS_REPLY: reply
// lines end in their one ")", fields are never empty, hold no ";" and read as strtoul reads their
// leading hex digits (0 for odd lengths and lengths outside 2 to 8). FUZZ_SCENARIO: an accepted
// scenario gives sources with a kind and a description, a refused one a message.
#include <memory>
#include <vector>

#include "fuzz_support.h"

#if defined(FUZZ_CMD_FRAME)
#include "CmdMgr.h"
#include "FtdiDev.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Line line("Frames", in);
    const signed char expected = static_cast<signed char>(in.byte());
    const uint32_t length = in.byte() % 40;
    const double timeout = (in.byte() % 32) * 0.01;
    const uint8_t split = in.byte();
    const std::string stream = in.rest();
    // Up to eight pieces, each arriving a multiple of 10 ms after the one before.
    fuzz::deliver(stream, 1 + (split & 7), (split >> 3) * 0.01, (split >> 3) * 0.01);
    FtdiDev channel("Frames", false);
    FUZZ_CHECK(channel.open(false) == 0);
    static const std::string logPath = fuzz::logDirectory() + "/frames.log";
    FileLog log(logPath.c_str(), true, false, false, true);
    log.setLevel(LOG_DBG);
    HwHvSrc::CmdMgr cmd(&channel, &log, HwHvSrc::kHvCommandNames, HwHvSrc::kHvCommandCount);

    std::unique_ptr<uint8_t[]> buffer(length != 0 ? new uint8_t[length] : nullptr);
    const int rc = cmd.receiveResponse(expected, buffer.get(), length, timeout);
    const std::string read = fuzz::since(fuzz::kRead, 0);
    if (rc == 0) {
        FUZZ_CHECK(read.size() == length + 3u && static_cast<signed char>(read[0]) == expected);
        FUZZ_CHECK(read.compare(1, length, reinterpret_cast<const char*>(buffer.get()), length) ==
                   0);
        FUZZ_CHECK(read[length + 1] == 0 && read[length + 2] == 0x0A);
    } else {
        FUZZ_CHECK(!cmd.lastError().empty());
    }
    channel.close();
    return 0;
}

#elif defined(FUZZ_HVOLD_STATUS)
#include "HvDevOld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    int32_t fields[10] = {};
    const bool numbers = (in.byte() & 1) != 0;
    uint32_t values[10];
    std::string line;
    for (int i = 0; numbers && i < 10; ++i) {
        values[i] = in.u32();
        char text[16];
        std::snprintf(text, sizeof(text), i == 0 ? "%x" : "\t%x", values[i]);
        line += text;
    }
    line += numbers ? "\t" + in.rest() : in.rest();
    const bool parsed = HwHvSrc::HvDevOld::parseStatusLine(line, fields);
    FUZZ_CHECK(parsed || !numbers);
    for (int i = 0; numbers && i < 10; ++i) {
        FUZZ_CHECK(static_cast<uint32_t>(fields[i]) == values[i]);
    }
    if (parsed) {
        HwHvSrc::HvDevOld::fieldVolts(0, fields[4]);
        HwHvSrc::HvDevOld::fieldVolts(1, fields[5]);
    }
    return 0;
}

#elif defined(FUZZ_BIAS_REPLY)
#include "BiasSrcProtocol.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<std::string> lines =
        HwHvSrc::replyLines(reinterpret_cast<const char*>(data), size);
    for (const std::string& line : lines) {
        FUZZ_CHECK(line.size() >= 1 && line.find(')') == line.size() - 1);
    }
    for (const std::string& field : HwHvSrc::replyFields(lines)) {
        FUZZ_CHECK(!field.empty() && field.find(';') == std::string::npos);
        const size_t digits = field.find_first_not_of("0123456789abcdefABCDEF");
        const bool counted = field.size() >= 2 && field.size() <= 8 && field.size() % 2 == 0;
        const uint32_t reference =
            counted && digits != 0
                ? static_cast<uint32_t>(std::strtoul(field.substr(0, digits).c_str(), nullptr, 16))
                : 0;
        const uint32_t value = HwHvSrc::parseHexField(field);
        FUZZ_CHECK(value == reference && HwHvSrc::statusOk(field) == (value == 0));
        const int32_t tenths = HwHvSrc::signedTenths(field);
        FUZZ_CHECK(tenths >= -32768 && tenths <= 32767 && (tenths & 0xFFFF) == (value & 0xFFFF));
    }
    return 0;
}

#else
#include "scenario/Scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<host::ScenarioSource> sources;
    std::string error;
    const bool accepted =
        host::parseScenario(std::string(reinterpret_cast<const char*>(data), size), sources, error);
    FUZZ_CHECK(accepted || !error.empty());
    for (const host::ScenarioSource& source : sources) {
        FUZZ_CHECK(!accepted || (!source.kind.empty() && !source.description.empty()));
    }
    return 0;
}
#endif
