// The channel's readers over delayed pieces, failed reads and overstated counts: a reader hands
// back what the driver handed it, in order, within the buffer; readLine's lines add up to the text.
#include <vector>

#include "FtdiDev.h"
#include "fuzz_support.h"

namespace {

// -0.5 s to 12.1 s, or 100 s now and then (the only time-outs long enough to pause between reads).
double timeoutOf(uint8_t b) {
    return b == 255 ? 100.0 : (b % 64) * 0.2 - 0.5;
}

// Bytes for the host, a fault for the next driver call, or a pause in the host's reading.
void lineEvent(fuzz::Input& in) {
    const uint8_t what = in.byte();
    if ((what & 3) == 0) {
        const std::string bytes = in.bytes(in.byte());
        fuzz_line_deliver(bytes.data(), bytes.size(), (what >> 2) * 0.05);
    } else if ((what & 3) == 1) {
        fuzz_line_arm((what & 4) != 0 ? FUZZ_FN_READ : FUZZ_FN_QUEUE, 1 + in.byte() % 18u);
    } else if ((what & 3) == 2) {
        fuzz_line_arm(FUZZ_OVERSTATE, 1 + in.byte());
    } else {
        *fuzz_line_clock() += what * 0.001;
    }
}

// The bytes a reader returned are those the driver handed over during the call.
void checkHanded(int rc, const std::vector<uint8_t>& buffer, size_t readBefore) {
    const std::string handed = fuzz::since(fuzz::kRead, readBefore);
    FUZZ_CHECK(rc < 0 || handed.empty() ||
               (static_cast<size_t>(rc) == handed.size() && handed.size() <= buffer.size() &&
                handed.compare(0, handed.size(), reinterpret_cast<const char*>(buffer.data()),
                               handed.size()) == 0));
}

void binaryReaders(fuzz::Input& in, FtdiDev& channel) {
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        const size_t before = fuzz::since(fuzz::kRead, 0).size();
        std::vector<uint8_t> buffer(in.byte() % 80);
        if (op % 6 == 0) {
            const size_t count = in.byte() % 100;
            const int rc = channel.read(buffer.data(), buffer.size(), count, timeoutOf(in.byte()),
                                        (op & 0x80) != 0);
            checkHanded(rc, buffer, before);
            // A shorter read ends its text with a zero byte.
            FUZZ_CHECK(rc < 0 || static_cast<size_t>(rc) >= buffer.size() || count == 0 ||
                       buffer[static_cast<size_t>(rc)] == 0);
        } else if (op % 6 == 1) {
            checkHanded(channel.readAvailable(buffer.data(), buffer.size(), in.byte() % 8), buffer,
                        before);
        } else if (op % 6 == 2) {
            const std::string pattern = in.bytes(in.byte() % 4);
            checkHanded(channel.readUntil(buffer.data(), buffer.size(), pattern.data(),
                                          pattern.size(), timeoutOf(in.byte())),
                        buffer, before);
        } else if (op % 6 == 3) {
            channel.clearInput();
        } else if (op % 6 == 4) {
            channel.availableBytes();
        } else {
            lineEvent(in);
        }
    }
}

// readLine alone: its lines, each with its terminator, and a given-up call's text add up to the
// start of what the driver handed over (unless a zero byte came: it ends its chunk's text).
void lineReader(fuzz::Input& in, FtdiDev& channel) {
    std::string returned;
    for (int step = 0; step < 64 && !in.empty(); ++step) {
        if (in.byte() % 3 != 0) {
            lineEvent(in);
            continue;
        }
        const char terminator = static_cast<char>(in.byte());
        std::string out;
        const int rc = channel.readLine(out, terminator, timeoutOf(in.byte()));
        returned += out;
        if (rc == 0) {
            FUZZ_CHECK(out.find(terminator) == std::string::npos);
            returned += terminator;
        }
        const std::string handed = fuzz::since(fuzz::kRead, 0);
        FUZZ_CHECK(handed.find('\0') != std::string::npos ||
                   handed.compare(0, returned.size(), returned) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    fuzz::Line line("Channel", in);
    FtdiDev channel("Channel", false);
    FUZZ_CHECK(channel.open(false) == 0);
    if ((in.byte() & 1) == 0) {
        binaryReaders(in, channel);
    } else {
        lineReader(in, channel);
    }
    channel.close();
    return 0;
}
