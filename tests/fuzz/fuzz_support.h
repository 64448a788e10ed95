// What the fuzzers share: the fuzzing driver's line, the input as a stream of choices, a log
// directory, and a peer answering every write with bytes, pieces, delays and faults from the input.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "TextUtil.h"

// A broken property: say which and stop, so libFuzzer keeps the input.
#define FUZZ_CHECK(condition) ((condition) ? void() : fuzz::broken(__FILE__, __LINE__, #condition))

namespace fuzz {

[[noreturn]] inline void broken(const char* file, int line, const char* condition) {
    std::fprintf(stderr, "%s:%d: property broken: %s\n", file, line, condition);
    std::abort();
}

// The input as a stream of choices, taken from the front; 0 once it is used up.
class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>((byte() << 8) | byte()); }
    uint32_t u32() { return (static_cast<uint32_t>(u16()) << 16) | u16(); }
    // Up to n bytes, fewer when the input ends; rest() is whatever is left.
    std::string bytes(size_t n) {
        const size_t take = n < size_ - pos_ ? n : size_ - pos_;
        pos_ += take;
        return std::string(reinterpret_cast<const char*>(data_) + pos_ - take, take);
    }
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

}  // namespace fuzz

// The fuzzing driver's one bridge (fuzz_line.cpp); FT_Write goes to fuzz::answerWrite. Time is
// simulated (100 us a call; an empty queue query runs on to the next arrival, or 50 ms) and is the
// library's clock. reset: closed, nothing queued, recorded or kept, `description` the one FT_OpenEx
// opens; deliver: bytes arriving `delay` s after now or the previous delivery, whichever is later;
// arm: the next call of a function fails with `value`, or the next queue query that finds bytes
// adds `value`; clock: simulated seconds; record: what the host wrote (accepted) or read; marks:
// where the writes and reads fell in those records.
namespace fuzz {
// Where the exchanges lie in the records: for every write that put bytes on the line, the sizes of
// the written and read records before it; for every read that brought bytes, the read record's
// size after it.
struct Marks {
    std::vector<size_t> writtenAt, readAtWrite, readEnds;
};
}  // namespace fuzz

enum { FUZZ_FN_OPEN, FUZZ_FN_READ, FUZZ_FN_QUEUE, FUZZ_FN_BITMODE, FUZZ_OVERSTATE, FUZZ_ARMS };
void fuzz_line_reset(const char* description, fuzz::Input* peer);
void fuzz_line_deliver(const void* data, size_t length, double delay);
void fuzz_line_arm(int what, uint32_t value);
double* fuzz_line_clock();
size_t fuzz_line_record(bool written, const uint8_t** data);
const fuzz::Marks& fuzz_line_marks();

namespace fuzz {

// The process's own log directory (in memory where offered), removed at exit.
inline const std::string& logDirectory() {
    static std::string dir =
        std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/hvsrc-fuzz-XXXXXX";
    static const bool made =
        mkdtemp(&dir[0]) != nullptr && std::atexit([] {
                                           std::error_code ignored;
                                           std::filesystem::remove_all(dir, ignored);
                                       }) == 0;
    FUZZ_CHECK(made);
    return dir;
}

// Bytes for the host in even pieces, the first after `first` seconds, each further one `later`.
inline void deliver(const std::string& bytes, size_t pieces, double first, double later) {
    for (size_t i = 0; i < pieces; ++i) {
        const size_t from = bytes.size() * i / pieces, to = bytes.size() * (i + 1) / pieces;
        fuzz_line_deliver(bytes.data() + from, to - from, i == 0 ? first : later);
    }
}

// The peer: every FT_Write takes a control byte from the input.
//   bits 0-2: 0 answer; 1, 2 answer and fail the next queue query or read; 3 answer and
//             overstate the next queue count; 4 the write fails; 5 the write takes only part of
//             the bytes (after a 250 ms stall); 6 the write claims more than it was offered;
//             7 answer followed by a flood of one byte (1 to 256 KiB)
//   bits 3-4: the answer comes in 1 to 4 pieces
//   bits 5-7: delay before the first piece (0 to 2.5 s; each further piece half of it)
// An answer is a length byte and that many bytes.
// *accepted: the count FT_Write reports; only accepted bytes (at most those offered) are written.
inline uint32_t answerWrite(Input& in, uint32_t length, uint32_t* accepted) {
    static const double kDelays[8] = {0.0, 0.001, 0.01, 0.1, 0.19, 0.3, 1.1, 2.5};
    const uint8_t control = in.byte();
    const int mode = control & 7;
    const size_t pieces = 1 + ((control >> 3) & 3);
    const double delay = kDelays[control >> 5];
    *accepted = length;
    if (mode == 4) {
        return 1 + in.byte() % 18u;
    }
    if (mode == 5) {
        *accepted = length > 0 ? in.byte() % length : 0;
        *fuzz_line_clock() += 0.25;
        return 0;
    }
    if (mode == 6) {
        *accepted = length + 1 + in.byte();
        return 0;
    }
    std::string reply = in.bytes(in.byte());
    if (mode == 7) {
        const size_t kib = 1 + in.byte();
        reply.append(kib * 1024, static_cast<char>(in.byte()));
    }
    deliver(reply, pieces, delay, delay / 2);
    if (mode == 1 || mode == 2) {
        fuzz_line_arm(mode == 1 ? FUZZ_FN_QUEUE : FUZZ_FN_READ, 1 + in.byte() % 18u);
    } else if (mode == 3) {
        fuzz_line_arm(FUZZ_OVERSTATE, 1 + in.byte());
    }
    return 0;
}

// One input's line on the library's clock, answered from `in`, emptied at the end (declare first).
class Line {
public:
    Line(const char* description, Input& in) {
        static const ClockHooks hooks = {
            [](void*) { return *fuzz_line_clock(); },
            [](unsigned ms, void*) { *fuzz_line_clock() += ms * 0.001; }, nullptr};
        setClockHooks(&hooks);
        fuzz_line_reset(description, &in);
    }
    ~Line() { fuzz_line_reset("", nullptr); }
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;
};

// What the host read (or wrote) on the line from the given count of bytes on.
enum Record { kRead, kWritten };
inline std::string since(Record record, size_t from) {
    const uint8_t* data = nullptr;
    const size_t size = fuzz_line_record(record == kWritten, &data);
    return std::string(reinterpret_cast<const char*>(data) + from, from < size ? size - from : 0);
}

// The answer to the first write that began `request`: the bytes read after it until the next
// write of other bytes, and where each read within them ended (an exchange that reads until a
// terminator took one of those prefixes as its answer). Empty when no write began so.
struct Answer {
    std::string bytes;
    std::vector<size_t> readEnds;
};
inline Answer answerTo(const std::string& request) {
    const Marks& marks = fuzz_line_marks();
    const std::string written = since(kWritten, 0), read = since(kRead, 0);
    for (size_t i = 0; i < marks.writtenAt.size(); ++i) {
        if (written.compare(marks.writtenAt[i], request.size(), request) != 0) {
            continue;
        }
        const size_t from = marks.readAtWrite[i];
        size_t to = read.size();
        for (size_t j = i + 1; j < marks.writtenAt.size(); ++j) {
            if (marks.writtenAt[j] >= marks.writtenAt[i] + request.size()) {
                to = marks.readAtWrite[j];
                break;
            }
        }
        Answer answer{read.substr(from, to - from), {}};
        for (const size_t end : marks.readEnds) {
            if (end > from && end <= to) {
                answer.readEnds.push_back(end - from);
            }
        }
        return answer;
    }
    return Answer();
}

}  // namespace fuzz
