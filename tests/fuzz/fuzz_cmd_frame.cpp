// The command manager's frame receiver on raw bytes arriving in delayed pieces: a success is
// exactly the code, the payload handed over, status 0 and a line feed; a failure leaves a message.
#include <memory>
#include <vector>

#include "CmdMgr.h"
#include "FtdiDev.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Line line("Frames", in);
    const signed char expected = static_cast<signed char>(in.byte());
    const uint32_t length = in.byte() % 40;
    const double timeout = (in.byte() % 32) * 0.01;
    const uint8_t split = in.byte();
    const std::string stream = in.rest();

    // Up to eight pieces, each arriving a multiple of 10 ms after the one before.
    const size_t pieces = 1 + (split & 7);
    for (size_t i = 0; i < pieces; ++i) {
        const size_t from = stream.size() * i / pieces;
        const size_t to = stream.size() * (i + 1) / pieces;
        fuzz_line_deliver(stream.data() + from, to - from, (split >> 3) * 0.01);
    }

    FtdiDev channel("Frames", false);
    FUZZ_CHECK(channel.open(false) == 0);
    static const std::string logPath = fuzz::logDirectory() + "/frames.log";
    FileLog log(logPath.c_str(), true, false, false, true);
    log.setLevel(LOG_DBG);
    HwHvSrc::CmdMgr cmd(&channel, &log, HwHvSrc::kHvCommandNames, HwHvSrc::kHvCommandCount);

    std::unique_ptr<uint8_t[]> buffer(length != 0 ? new uint8_t[length] : nullptr);
    const int rc = cmd.receiveResponse(expected, buffer.get(), length, timeout);
    const std::string read = fuzz::readSince(0);
    if (rc == 0) {
        FUZZ_CHECK(read.size() == length + 3u);
        FUZZ_CHECK(static_cast<signed char>(read[0]) == expected);
        FUZZ_CHECK(read.compare(1, length, reinterpret_cast<const char*>(buffer.get()), length) ==
                   0);
        FUZZ_CHECK(read[length + 1] == 0 && read[length + 2] == 0x0A);
    } else {
        FUZZ_CHECK(!cmd.lastError().empty());
    }
    channel.close();
    return 0;
}
