#include "Operations.h"

#include <chrono>

#include "D2xxTypes.h"
#include "jd/IHwDev.h"
#include "platform.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

std::string frame(std::initializer_list<unsigned char> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

Exchange fixed(std::string request, size_t answer) {
    Exchange e;
    e.request = std::move(request);
    e.answerLength = answer;
    return e;
}

Exchange ending(std::string request, std::string end, unsigned pauseMs = 0) {
    Exchange e;
    e.request = std::move(request);
    e.answerEnd = std::move(end);
    e.pauseMs = pauseMs;
    return e;
}

// Reads one answer as the library does: polling the queue and never asking for more than waits.
bool readAnswer(SimApi& sim, void* handle, const Exchange& e, size_t& got) {
    got = 0;
    if (e.answerLength == 0 && e.answerEnd.empty()) {
        return true;
    }
    std::string answer;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
    char buffer[512];
    while (Clock::now() < deadline) {
        uint32_t waiting = 0;
        if (sim.FT_GetQueueStatus(handle, &waiting) != FT_OK) {
            return false;
        }
        if (waiting == 0) {
            continue;
        }
        uint32_t ask = std::min<uint32_t>(waiting, sizeof(buffer));
        if (e.answerLength > 0) {
            ask = std::min<uint32_t>(ask, static_cast<uint32_t>(e.answerLength - answer.size()));
        }
        uint32_t read = 0;
        if (sim.FT_Read(handle, buffer, ask, &read) != FT_OK) {
            return false;
        }
        answer.append(buffer, read);
        got = answer.size();
        const bool whole = e.answerLength > 0
                               ? answer.size() >= e.answerLength
                               : answer.size() >= e.answerEnd.size() &&
                                     answer.compare(answer.size() - e.answerEnd.size(),
                                                    e.answerEnd.size(), e.answerEnd) == 0;
        if (whole) {
            return true;
        }
    }
    return false;
}

}  // namespace

const std::vector<Operation>& operations() {
    static const std::vector<Operation> list = {
        {Kind::HvSrc,
         "readVoltage",
         [](jd::IHwDevHvSrc* d) { d->readVoltage(0); },
         {fixed(frame({0x55, 0x06, 0x00}), 9)},
         true},
        {Kind::HvSrc,
         "setVoltage",
         [](jd::IHwDevHvSrc* d) { d->setVoltage(0, 100.0); },
         {fixed(frame({0x55, 0x05, 0x00, 0x00, 0x64}), 3)},
         true},
        {Kind::HvSrc,
         "initialize",
         [](jd::IHwDevHvSrc* d) { d->initialize(); },
         {fixed(frame({0x55, 0x01}), 3), fixed(frame({0x55, 0x01}), 3),
          fixed(frame({0x55, 0x02}), 33), fixed(frame({0x55, 0x03}), 4),
          fixed(frame({0x55, 0x04, 0x00}), 11), fixed(frame({0x55, 0x04, 0x01}), 11)},
         false},
        {Kind::Bias,
         "readVoltage",
         [](jd::IHwDevHvSrc* d) { d->readVoltage(0); },
         {ending("getUI(1)\n", ")\n\r")},
         true},
        {Kind::Bias,
         "setVoltage",
         [](jd::IHwDevHvSrc* d) { d->setVoltage(0, 50.0); },
         {ending("setU(500)\n", ")\n\r")},
         true},
        {Kind::Bias,
         "polarity",
         [](jd::IHwDevHvSrc* d) { d->polarity(); },
         {ending("printPolarity()\n", ")\n\r")},
         true},
        {Kind::HvOld,
         "readVoltage",
         [](jd::IHwDevHvSrc* d) { d->readVoltage(0); },
         {ending("o", "\n", 50)},
         true},
        {Kind::HvOld,
         "setVoltage",
         [](jd::IHwDevHvSrc* d) { d->setVoltage(0, 100.0); },
         {ending("400a", "")},
         true},
    };
    return list;
}

bool bareExchange(SimApi& sim, void* handle, const Operation& op, std::vector<size_t>& answers) {
    answers.clear();
    for (const Exchange& e : op.exchanges) {
        std::string request = e.request;
        uint32_t written = 0;
        if (sim.FT_Write(handle, &request[0], static_cast<uint32_t>(request.size()), &written) !=
                FT_OK ||
            written != request.size()) {
            return false;
        }
        if (e.pauseMs > 0) {
            plat::sleepMs(e.pauseMs);
        }
        size_t got = 0;
        if (!readAnswer(sim, handle, e, got)) {
            return false;
        }
        answers.push_back(got);
    }
    return true;
}

Limit lineLimit(const Operation& op, const std::vector<size_t>& answers) {
    Limit limit;
    const double byteSeconds = 10.0 / baudOf(op.kind);
    for (size_t i = 0; i < op.exchanges.size(); ++i) {
        const size_t answer = i < answers.size() ? answers[i] : 0;
        limit.line += static_cast<double>(op.exchanges[i].request.size() + answer) * byteSeconds;
        limit.handover += answer > 0 ? kLatencyMs / 1000.0 : 0.0;
        limit.pause += op.exchanges[i].pauseMs / 1000.0;
    }
    return limit;
}

}  // namespace bench
