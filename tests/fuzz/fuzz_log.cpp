// The log writer on any text, bytes, limits and levels: an entry past the threshold is written and
// answers its code; a dump shows the bytes in order (head, skip, tail), printables, count after 32.
#include <sstream>

#include "FileLog.h"
#include "fuzz_support.h"
#include "test_files.h"

namespace {

int hexValue(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Checks the dump the log appended (after its label line) against the bytes.
void checkDump(const std::string& dump, const std::string& bytes, size_t limit, bool printable,
               bool hexDump) {
    const std::string count = "   Bytes: " + std::to_string(bytes.size());
    if (!hexDump) {
        FUZZ_CHECK(dump == count + "\n");
        return;
    }
    std::string head, tail;
    bool skipped = false, counted = false;
    std::istringstream lines(dump);
    for (std::string line; std::getline(lines, line);) {
        FUZZ_CHECK(!counted);  // the count is the last line
        if (line == "          ----- SKIPPED DATA -----") {
            FUZZ_CHECK(!skipped);
            skipped = true;
            continue;
        }
        if ((counted = line == count)) {
            continue;
        }
        FUZZ_CHECK(line.size() == (printable ? 74u : 55u));
        std::string shown;
        for (size_t k = 0; k < 16 && hexValue(line[3 + 3 * k]) >= 0; ++k) {
            FUZZ_CHECK(hexValue(line[4 + 3 * k]) >= 0);
            shown += static_cast<char>(hexValue(line[3 + 3 * k]) * 16 + hexValue(line[4 + 3 * k]));
            const unsigned char b = static_cast<unsigned char>(shown[k]);
            FUZZ_CHECK(!printable || line[55 + k] == (b >= 0x21 && b <= 0x7f ? shown[k] : '.'));
        }
        FUZZ_CHECK(!shown.empty() && (!printable || line[54] == '|'));
        (skipped ? tail : head) += shown;
    }
    FUZZ_CHECK(counted == (bytes.size() > 32));
    FUZZ_CHECK(skipped ? bytes.size() > limit : head == bytes);
    FUZZ_CHECK(head.size() + tail.size() <= bytes.size() &&
               bytes.compare(0, head.size(), head) == 0 &&
               bytes.compare(bytes.size() - tail.size(), tail.size(), tail) == 0);
    FUZZ_CHECK(bytes.size() <= limit || head.size() + tail.size() <= limit + 32);
}

// A text from the input; the C string the log sees ends at its first zero byte.
std::string text(fuzz::Input& in) {
    const std::string raw = in.bytes(in.byte());
    return raw.substr(0, raw.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    static const std::string path = fuzz::logDirectory() + "/writer.log";
    FileLog log(path.c_str(), true, false, false, true);
    log.setLevel(LOG_DBG);
    for (int step = 0; step < 16 && !in.empty(); ++step) {
        const uint8_t op = in.byte();
        const int level = static_cast<int>(in.byte() % 6) - 1;
        const int code = static_cast<int8_t>(in.byte());
        const bool passes = level <= log.level();
        if (op % 6 <= 1) {
            // logAndReturn answers its code whether or not the entry is written.
            const std::string message = text(in);
            const int rc = op % 6 == 0 ? log.log(code, level, message.c_str())
                                       : log.logAndReturn(code, level, "%s", message.c_str());
            FUZZ_CHECK(rc == (passes || op % 6 == 1 ? code : 0));
            FUZZ_CHECK(!passes || log.lastMessage() == message);
        } else if (op % 6 == 2) {
            const std::string label = text(in), message = text(in);
            FUZZ_CHECK(log.logText(code, level, message.c_str(),
                                   (op & 0x40) != 0 ? nullptr : label.c_str()) ==
                       (passes ? code : 0));
        } else if (op % 6 == 3) {
            const std::string label = text(in);
            const std::string bytes = in.bytes(in.u16() % 2048);
            const uint8_t how = in.byte();
            const bool printable = how & 1, noNewline = how & 2, nullLabel = how & 0x10;
            const size_t limits[4] = {0, static_cast<size_t>(in.byte()), 250, SIZE_MAX};
            const size_t limit = limits[(how >> 2) & 3];
            const size_t before = hvtest::readFile(path).size();
            FUZZ_CHECK(log.logBuffer(code, level, bytes.data(), bytes.size(),
                                     nullLabel ? nullptr : label.c_str(), printable, limit,
                                     noNewline) == (passes ? code : 0));
            const std::string added = hvtest::readFile(path).substr(before);
            FUZZ_CHECK(passes || added.empty());
            // The label line: time stamp, level, label, then a line feed unless left out.
            const std::string labelLine =
                "]: " + std::string(nullLabel ? "Buffer:" : label) + (noNewline ? "" : "\n");
            const size_t at = added.find("]: ");
            if (passes) {
                FUZZ_CHECK(at != std::string::npos &&
                           added.compare(at, labelLine.size(), labelLine) == 0);
                checkDump(added.substr(at + labelLine.size()), bytes,
                          limit != 0 ? limit : log.dumpLimit(), printable, log.hexDump());
            }
        } else if (op % 6 == 4) {
            log.setHexDump((op & 0x40) == 0);
        } else {
            log.setDumpLimit(in.byte() * 4u);
        }
    }
    return 0;
}
