// What the fuzzers share: the input as a stream of choices, a log directory, the simulated clock,
// and a peer answering every write with bytes, pieces, delays and faults from the input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "TextUtil.h"
#include "fuzz_line.h"

// A broken property: say which and stop, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                                     \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)

namespace fuzz {

// The input as a stream of choices, taken from the front; 0 once it is used up.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>((byte() << 8) | byte()); }
    uint32_t u32() { return (static_cast<uint32_t>(u16()) << 16) | u16(); }
    // Up to n bytes, fewer when the input ends.
    std::string bytes(size_t n) {
        const size_t take = n < size_ - pos_ ? n : size_ - pos_;
        std::string out(reinterpret_cast<const char*>(data_) + pos_, take);
        pos_ += take;
        return out;
    }
    // Whatever is left.
    std::string rest() { return bytes(size_ - pos_); }
    double raw64() {
        const uint64_t bits = (static_cast<uint64_t>(u32()) << 32) | u32();
        double value;
        std::memcpy(&value, &bits, sizeof(value));
        return value;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The process's own log directory, removed at exit; in memory where offered (logs are rewritten
// afresh all the time).
inline const std::string& logDirectory() {
    static std::string dir;
    if (dir.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        std::error_code error;
        dir = std::filesystem::is_directory("/dev/shm", error) ? "/dev/shm"
              : tmp != nullptr && *tmp != '\0'                 ? tmp
                                                               : "/tmp";
        dir += "/hvsrc-fuzz-XXXXXX";
        if (mkdtemp(&dir[0]) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(logDirectory(), ignored);
        });
    }
    return dir;
}

// The library's clock becomes the line's simulated one.
inline void useSimulatedClock() {
    static const ClockHooks hooks = {
        [](void*) { return fuzz_line_now(); },
        [](unsigned ms, void*) { fuzz_line_pause(ms); },
        nullptr,
    };
    setClockHooks(&hooks);
}

// The peer: every FT_Write takes a control byte from the input.
//   bits 0-2: 0 answer; 1, 2 answer and fail the next queue query or read; 3 answer and
//             overstate the next queue count; 4 the write fails; 5 the write takes only part of
//             the bytes (after a 250 ms stall); 6 the write claims more than it was offered;
//             7 answer followed by a flood of one byte (1 to 256 KiB)
//   bits 3-4: the answer comes in 1 to 4 pieces
//   bits 5-7: delay before the first piece (0 to 2.5 s; each further piece half of it)
// An answer is a length byte and that many bytes.
inline uint32_t answerWrite(void* context, const uint8_t* /*data*/, uint32_t length,
                            uint32_t* accepted) {
    static const double kDelays[8] = {0.0, 0.001, 0.01, 0.1, 0.19, 0.3, 1.1, 2.5};
    Input& in = *static_cast<Input*>(context);
    const uint8_t control = in.byte();
    const int mode = control & 7;
    const size_t pieces = 1 + ((control >> 3) & 3);
    const double delay = kDelays[control >> 5];
    *accepted = length;
    switch (mode) {
        case 4:
            return 1 + in.byte() % 18u;
        case 5:
            *accepted = length > 0 ? in.byte() % length : 0;
            fuzz_line_pause(250);
            return 0;
        case 6:
            *accepted = length + 1 + in.byte();
            return 0;
        default:
            break;
    }
    std::string reply = in.bytes(in.byte());
    if (mode == 7) {
        const size_t kib = 1 + in.byte();
        reply.append(kib * 1024, static_cast<char>(in.byte()));
    }
    for (size_t i = 0; i < pieces; ++i) {
        const size_t from = reply.size() * i / pieces;
        const size_t to = reply.size() * (i + 1) / pieces;
        fuzz_line_deliver(reply.data() + from, to - from, i == 0 ? delay : delay / 2);
    }
    if (mode == 1) {
        fuzz_line_fail_next(FUZZ_FN_QUEUE, 1 + in.byte() % 18u);
    } else if (mode == 2) {
        fuzz_line_fail_next(FUZZ_FN_READ, 1 + in.byte() % 18u);
    } else if (mode == 3) {
        fuzz_line_overstate_next(1 + in.byte());
    }
    return 0;
}

// A fresh line for one input, its peer answering from `in`, emptied when the input is done
// (declare it before anything that uses the line).
class Line {
public:
    Line(const char* description, Input& in) {
        useSimulatedClock();
        fuzz_line_reset(description, &answerWrite, &in);
    }
    ~Line() { fuzz_line_reset("", nullptr, nullptr); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
};

// What the host wrote (or read) on the line from the given count of bytes on.
template <size_t (*record)(const uint8_t**)>
std::string since(size_t from) {
    const uint8_t* data = nullptr;
    const size_t size = record(&data);
    return std::string(reinterpret_cast<const char*>(data) + from, from < size ? size - from : 0);
}
constexpr auto writtenSince = since<fuzz_line_written>;
constexpr auto readSince = since<fuzz_line_read>;

}  // namespace fuzz
