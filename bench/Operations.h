// The operations the benchmark times, what each puts on the line, the same traffic made directly
// through the D2XX calls (the bare exchange), and the line's arithmetic for it.
#pragma once

#include <string>
#include <vector>

#include "Rig.h"

namespace bench {

// One request and its answer: a fixed number of bytes, or bytes up to an ending, or none.
struct Exchange {
    std::string request;
    size_t answerLength = 0;
    std::string answerEnd;
    unsigned pauseMs = 0;  // the protocol's pause between the request and reading the answer
};

struct Operation {
    Kind kind;
    const char* name;
    void (*run)(jd::IHwDevHvSrc* device);
    std::vector<Exchange> exchanges;
    bool logSeam;  // false when the operation makes its log afresh (the level cannot be lowered)
};

const std::vector<Operation>& operations();

// Makes the operation's exchanges on an open bridge; `answers` receives the bytes each answer
// had. False when an answer did not come within two seconds.
bool bareExchange(SimApi& sim, void* handle, const Operation& op, std::vector<size_t>& answers);

// The line's arithmetic, shown beside the timings: request and answer bytes x 10 / baud, one
// latency-timer handover per answer, the protocol's pauses. No floor: the bridge hands received
// bytes over at its latency ticks, so an exchange that fits between two ticks takes one tick.
struct Limit {
    double line = 0.0;
    double handover = 0.0;
    double pause = 0.0;
    double total() const { return line + handover + pause; }
};
Limit lineLimit(const Operation& op, const std::vector<size_t>& answers);

}  // namespace bench
