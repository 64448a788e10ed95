// The fault matrix: each kind of source x each device operation x each fault a bridge or source
// can show. Every cell returns within a bound made of the time-outs the fault lets expire, with
// the result or failure and ERR entry it should give, and the next operation works once the fault
// is gone. The matrix is printed; cells run on three workers with bridges and logs of their own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "BiasSrcDev.h"
#include "HostFramework.h"
#include "HvDev.h"
#include "HvDevOld.h"
#include "sim_kinds.h"

namespace {

using namespace simkind;
using HwHvSrc::BiasSrcDev;
using HwHvSrc::DevBase;
using HwHvSrc::HvDev;
using HwHvSrc::HvDevOld;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

enum Op { kInit, kSet, kReadV, kReadI, kPolarity, kParam, kDeinit, kOps };
const char* const kKindNames[kKinds] = {"hvsrc", "legacy", "bias"};
const char* const kOpNames[kOps] = {"initialize", "setVoltage", "readVoltage", "readCurrent",
                                    "polarity",   "param read", "deinitialize"};
// The worker's number follows.
const char* const kDescriptions[kKinds] = {"Tessaro HV Source: 9", "HV source AVR #",
                                           "BiasModule: 8"};

// setVoltage's requests (the second after the fault is gone); the bias output before readings.
const double kSetFirst[kKinds] = {321.0, 250.0, 12.5};
const double kSetSecond[kKinds] = {322.0, 251.0, 13.5};
const double kBiasOutput = 42.5;

std::string format(const char* fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), fmt, value);
    return text;
}

// One worker's host framework and log directory.
struct Slot {
    int index;
    std::string logDir;
    host::Framework framework;

    explicit Slot(int i)
        : index(i),
          logDir(plat::joinPath(hvtest::logDirectory(), "faults_" + std::to_string(i))),
          framework(logDir) {
        std::filesystem::create_directories(std::filesystem::u8path(logDir));
    }
};

// One cell's bridge, source and device.
class Bench {
public:
    Bench(Kind kind, Slot& slot)
        : model(kModels[kind]),
          kind_(kind),
          description_(kDescriptions[kind] + std::to_string(slot.index + 1)) {
        attach();
        jd::IFramework* fw = &slot.framework;
        dev_.reset(kind == kHv ? static_cast<DevBase*>(new HvDev(description_, fw, slot.logDir))
                   : kind == kOld
                       ? static_cast<DevBase*>(new HvDevOld(description_, fw, slot.logDir))
                       : static_cast<DevBase*>(new BiasSrcDev(description_, fw, slot.logDir)));
    }
    ~Bench() {
        dev_.reset();
        sim_detach(bridge);
    }

    // A fresh bridge (after a detach: plugged in again) with a healthy source reading apart from 0.
    void attach() {
        sim_detach(bridge);
        lastReceived_ = "?";
        bridge = model.attach(description_.c_str(), "FM1");
        kind_ == kHv    ? sim_hvsrc_set_reading(bridge, 0, 123, 4567)
        : kind_ == kOld ? sim_hvold_set_output(bridge, 0, 250.0)
                        : sim_bias_set_current(bridge, 15);
    }
    // After a start-up: the bias module's output is set through the device.
    bool prepare() { return kind_ != kBias || dev_->setVoltage(0, kBiasOutput) == 0; }

    // Runs the operation and gives its value; describe() then shows what it gave.
    double act(Op op, bool second) {
        host::Param* p = nullptr;
        if (op == kParam) {
            static_cast<host::ParamList*>(dev_->parameters())
                ->read(kind_ == kBias ? "Firmware" : "VoltageSense1", &p);
            paramText_ = p == nullptr ? "(none)" : kind_ == kBias ? p->text() : "";
        }
        return op == kParam      ? (p != nullptr ? p->intValue() : -1.0)
               : op == kInit     ? dev_->initialize()
               : op == kSet      ? dev_->setVoltage(0, (second ? kSetSecond : kSetFirst)[kind_])
               : op == kReadV    ? dev_->readVoltage(0)
               : op == kReadI    ? dev_->readCurrent(0)
               : op == kPolarity ? dev_->polarity()
                                 : dev_->deinitialize();
    }
    std::string describe(Op op, double value) {
        const std::string rc = "rc " + format("%g", value);
        return op == kInit                           ? rc + state()
               : op == kSet                          ? rc + ", source has " + received()
               : op == kDeinit                       ? rc + (isOpen() ? ", open" : ", closed")
               : op == kParam && !paramText_.empty() ? paramText_
                                                     : format("%g", value);
    }
    std::string run(Op op, bool second) { return describe(op, act(op, second)); }

    // Pulls the bridge out; what its source had received stays known.
    void detach() {
        lastReceived_ = received();
        sim_detach(bridge);
    }

    // The device log's entries (none before the first start-up).
    std::vector<std::string> log() const {
        return dev_->logPath().empty() ? std::vector<std::string>{}
                                       : hvtest::logLines(dev_->logPath());
    }

    const Model& model;
    int bridge = 0;

private:
    bool isOpen() const {
        SimSettings settings{};
        return sim_settings(bridge, &settings) == 0 && settings.open != 0;
    }
    std::string state() {
        std::string s;
        if (kind_ != kOld) {
            s = ", fw " + dev_->firmware() +
                (kind_ == kHv ? ", " + format("%g", dev_->sourceCount()) + " sources" : "") +
                ", limits";
            for (int i = 0; i < (kind_ == kHv ? 2 : 1); ++i) {
                s += " " + format("%g", dev_->minVoltage(i)) + ".." +
                     format("%g", dev_->maxVoltage(i));
            }
        }
        return s + (isOpen() ? ", open" : ", closed");
    }
    // The voltage the source last received, as it read it.
    std::string received() {
        double volts = 0.0;
        return lastSet(kind_, bridge, 0, volts) ? format("%g", volts) : lastReceived_;
    }
    struct Release {
        void operator()(DevBase* dev) const { dev->release(); }
    };

    Kind kind_;
    std::string description_;
    std::string lastReceived_ = "?";
    std::string paramText_;
    std::unique_ptr<DevBase, Release> dev_;
};

// Acts in the writing thread right after the source received one more whole request, before the
// operation reads its answer: the action always lands mid-exchange.
struct FirstRequest {
    const Model& model;
    int bridge;
    int base;
    std::function<void()> action;
    std::atomic<bool> fired{false};

    static void onWrite(void* context, int) {
        auto* self = static_cast<FirstRequest*>(context);
        if (!self->fired && self->model.requests(self->bridge) > self->base) {
            self->fired = true;
            self->action();
        }
    }
};

enum class How { Fail, Lie, Unplug, Detach, Stall, Flood, NoAnswer, Late, Garbage };
// Armed before the operation, or once the source has its first whole request (mid-exchange).
enum class When { Before, Request };
// Once the fault is gone: the next operation at once, after a new start-up, or after plugging the
// bridge in again and a new start-up.
enum class Then { Next, Restart, Replug };

// `expect`: per kind, one character per Op: '.' healthy result, no ERR entry; 'W' healthy result
// with an ERR entry matching `text`; 'E' failure value and a matching ERR entry; 'S' failure value
// and no entry (an exchange that brought nothing); '-' not run.
struct Fault {
    const char* name;
    How how;
    When when;
    const char* function;  // Fail and Lie: the D2XX function
    uint32_t value;        // Fail: the status; Lie: the count reported
    Then then;
    const char* expect[kKinds];
    const char* text[kKinds];
};

const uint32_t kIoError = 4;
const uint32_t kHuge = 0xFFFFFFFFu;

// clang-format off
const Fault kFaults[] = {
    {"FT_OpenEx fails (3)", How::Fail, When::Before, "FT_OpenEx", 3, Then::Next,
     {"E------", "E------", "E------"},
     {"Cannot open device", "Cannot open device", "Cannot open device"}},
    {"FT_Purge fails (4)", How::Fail, When::Before, "FT_Purge", kIoError, Then::Next,
     {".------", ".------", ".------"}, {}},
    {"FT_SetTimeouts fails (4)", How::Fail, When::Before, "FT_SetTimeouts", kIoError, Then::Next,
     {".------", ".------", ".------"}, {}},
    {"FT_SetLatencyTimer fails (4)", How::Fail, When::Before, "FT_SetLatencyTimer", kIoError,
     Then::Next, {".------", ".------", ".------"}, {}},
    {"FT_SetUSBParameters fails (4)", How::Fail, When::Before, "FT_SetUSBParameters", kIoError,
     Then::Next, {".------", ".------", ".------"}, {}},
    {"FT_SetBaudRate fails (7)", How::Fail, When::Before, "FT_SetBaudRate", 7, Then::Next,
     {".------", ".------", "S------"}, {}},
    {"FT_SetDataCharacteristics fails (4)", How::Fail, When::Before, "FT_SetDataCharacteristics",
     kIoError, Then::Next, {".------", ".------", "S------"}, {}},
    {"FT_SetBitMode fails (17)", How::Fail, When::Before, "FT_SetBitMode", 17, Then::Next,
     {"-------", "-------", "S------"}, {}},
    {"FT_GetQueueStatus fails (4)", How::Fail, When::Request, "FT_GetQueueStatus", kIoError,
     Then::Next, {"WEEE-E-", ".-..-.-", ".....--"}, {"USB device disconnected", "", ""}},
    {"FT_Read fails (4)", How::Fail, When::Request, "FT_Read", kIoError, Then::Next,
     {"WEEE-E-", "--EW-E-", "EEEEE--"},
     {"USB device disconnected", "USB device disconnected", "USB device disconnected"}},
    {"FT_Write fails (4)", How::Fail, When::Before, "FT_Write", kIoError, Then::Next,
     {"WEEE-E-", "-EEW-E-", "EEEEE--"},
     {"USB device disconnected", "USB device disconnected", "Cannot send command"}},
    {"FT_Close fails (4)", How::Fail, When::Before, "FT_Close", kIoError, Then::Replug,
     {"------E", "------E", "------E"},
     {"USB device disconnected", "USB device disconnected", "USB device disconnected"}},
    {"unplugged mid-exchange", How::Unplug, When::Request, nullptr, 0, Then::Next,
     {"EEEE.E.", "..EW.E.", "EEEEE.."},
     {"USB device disconnected", "USB device disconnected", "USB device disconnected"}},
    {"writes stall", How::Stall, When::Before, nullptr, 0, Then::Next,
     {"EEEE-E-", "-EEW-E-", "EEEEE--"}, {"Timeout", "Timeout", "Cannot send command"}},
    {"input floods", How::Flood, When::Before, nullptr, 0, Then::Next,
     {"....-.-", "....-.-", ".....--"}, {}},
    {"FT_Write claims too much", How::Lie, When::Before, "FT_Write", kHuge, Then::Restart,
     {"WEEE-E-", "-EEW-E-", "EEEEE--"},
     {"Device disconnected", "Device disconnected", "Cannot send command"}},
    {"FT_Read claims too much", How::Lie, When::Request, "FT_Read", kHuge, Then::Next,
     {"....-.-", "--..-.-", ".....--"}, {}},
    {"FT_GetQueueStatus claims too much", How::Lie, When::Request, "FT_GetQueueStatus", kHuge,
     Then::Next, {"....-.-", ".-..-.-", ".....--"}, {}},
    {"no answer", How::NoAnswer, When::Before, nullptr, 0, Then::Next,
     {"EEEE-E-", "--S.-S-", "SSSSS--"}, {"Timeout", "", ""}},
    {"late answer", How::Late, When::Request, nullptr, 0, Then::Next,
     {"WEEE-E-", "--S.-S-", "SSSSS--"}, {"Timeout", "", ""}},
    {"garbage answer", How::Garbage, When::Before, nullptr, 0, Then::Next,
     {"WEEE-E-", "--S.-S-", "SSSSS--"}, {"Command failed", "", ""}},
    {"detached, attached again", How::Detach, When::Request, nullptr, 0, Then::Replug,
     {"EEEE.E.", "E.EW.E.", "EEEEE.."},
     {"USB device disconnected",
      "Cannot open device|USB device disconnected", "USB device disconnected"}},
};
// clang-format on

// One exchange: its write time-out, how long it waits for an answer, and a pause it always makes.
struct Exchange {
    double write;
    double answer;
    double pause;
};

const double kDriverBlock = FtdiDev::kDriverTimeoutMs / 1000.0;
const double kLateBy = 0.3;  // a late answer comes this long after its exchange gave up
// A mid-exchange fault's first answer waits this long, so the fault is armed before it is read.
const unsigned kFirstAnswerDelayMs = 100;
const double kMarginFixed = 0.3;
const double kMarginShare = 0.1;

std::vector<Exchange> exchangesOf(Kind kind, Op op) {
    const Exchange hvTest{HwHvSrc::kCmdWriteTimeout, HvDev::kTestTimeout, 0.0};
    const Exchange hvQuery{HwHvSrc::kCmdWriteTimeout, HvDev::kQueryTimeout, 0.0};
    const Exchange bias{HwHvSrc::kBiasWriteTimeout, HwHvSrc::kBiasReceiveTimeout, 0.0};
    const double pause = HvDevOld::kStatusPauseMs / 1000.0;
    const Exchange oldStatus{HvDevOld::kStatusWriteTimeout, pause + HvDevOld::kStatusReadTimeout,
                             pause};
    const Exchange oldSet{HvDevOld::kSetWriteTimeout, 0.0, 0.0};
    // Per kind, the exchanges of each operation in the order of Op.
    // clang-format off
    const std::vector<Exchange> table[kKinds][kOps] = {
        {{hvTest, hvTest, hvQuery, hvQuery, hvQuery, hvQuery}, {hvQuery}, {hvQuery}, {hvQuery},
         {}, {hvQuery}, {}},
        {{}, {oldSet}, {oldStatus}, {oldStatus}, {}, {oldStatus}, {}},
        {{bias, bias}, {bias}, {bias}, {bias}, {bias}, {}, {}},
    };
    // clang-format on
    return table[kind][op];
}

bool lineSetting(const Fault& fault) {
    static const std::regex settings("FT_Set(BaudRate|DataCharacteristics|BitMode)");
    return fault.function != nullptr && std::regex_match(fault.function, settings);
}

// The longest the operation may take: the pauses and the time-outs the fault lets expire in each
// exchange (a stalled write may add one driver block; a wrong count one driver read time-out), plus
// a margin.
double boundOf(Kind kind, Op op, const Fault& fault) {
    const std::vector<Exchange> xs = exchangesOf(kind, op);
    double sum = 0.0;
    for (const Exchange& x : xs) {
        sum += x.pause;
    }
    const double drain = FtdiDev::kClearMaxSeconds + kDriverBlock;
    switch (fault.how) {
        case How::Stall:
            for (const Exchange& x : xs) {
                sum += x.write + kDriverBlock;
            }
            break;
        case How::NoAnswer:
            for (const Exchange& x : xs) {
                sum += x.answer;
            }
            break;
        case How::Late:
        case How::Garbage:
            // Only the first exchange meets it; the one after a late answer waits for it too.
            sum += xs.empty() ? 0.0 : xs[0].answer + kLateBy;
            break;
        case How::Flood:
            sum += drain * static_cast<double>(xs.size() + (op == kInit ? 1 : 0));
            break;
        case How::Fail:
            // A line left at the wrong speed, format or mode: every exchange waits out its answer.
            if (lineSetting(fault)) {
                for (const Exchange& x : xs) {
                    sum += x.answer;
                }
            }
            sum += kDriverBlock;
            break;
        case How::Lie:
            sum += kDriverBlock;
            break;
        case How::Unplug:
        case How::Detach:
            break;
    }
    if (fault.when == When::Request) {
        sum += kFirstAnswerDelayMs / 1000.0;
    }
    return sum + kMarginFixed + kMarginShare * sum;
}

// The healthy results as describe() shows them (`second`: the run after the fault is gone).
std::string goodOf(Kind kind, Op op, bool second) {
    static const char* const kGood[kKinds][kOps] = {
        {"rc 0, fw HVS-2.1.0, 2 sources, limits -2000..2000 -2000..2000, open", "", "123", "4.567",
         "0", "123", "rc 0, closed"},
        {"rc 0, open", "", "250", "0", "0", "250", "rc 0, closed"},
        {"rc 0, fw BM-1.04, limits 0..90, open", "", "42.5", "1.5", "1", "BM-1.04", "rc 0, closed"},
    };
    return op == kSet
               ? "rc 0, source has " + format("%g", second ? kSetSecond[kind] : kSetFirst[kind])
               : kGood[kind][op];
}

// A healthy answer to the operation's first request, with other values than the source has now.
std::string lateAnswer(Kind kind, Op op) {
    using namespace std::string_literals;
    const std::string hvRead = "\x06\x00\x63\x00\x00\x00\x07\x00\x0A"s;
    const std::string oldStatus = "1\t2a\t3ff\t0\t318\t1f40\t10\t0\t7\t55\n";
    const std::string biasRead = "(03E7;0007;00)\n\r";
    // clang-format off
    const std::string table[kKinds][kOps] = {
        {"\x01\x00\x0A"s, "\x05\x00\x0A"s, hvRead, hvRead, hvRead, hvRead, hvRead},
        {oldStatus, oldStatus, oldStatus, oldStatus, oldStatus, oldStatus, oldStatus},
        {"(OLD-FW;00)\n\r", "(0;00)\n\r", biasRead, biasRead, "(NEG;00)\n\r", biasRead, biasRead},
    };
    // clang-format on
    return table[kind][op];
}

// Bytes that mean nothing to any protocol (zero bytes, stray brackets, separators and line ends),
// long enough for any answer the current model expects, with no 0 status byte.
const Bytes kGarbage = {0xA7, 0x3C, 0x00, 0xFF, 0x28, 0x3B, 0x91, 0x0A, 0x0D, 0x29, 0x55, 0x06,
                        0xE2, 0x7F, 0x80, 0x20, 0x3B, 0x29, 0x0A, 0x28, 0x46, 0x46, 0x3B, 0x3B,
                        0xC3, 0x28, 0x00, 0x0D, 0x0A, 0x29, 0x13, 0x37, 0xB0, 0x0B, 0x5A, 0x5A,
                        0xEE, 0x01, 0x02, 0x03, 0x29, 0x0A, 0x0D, 0x3B, 0xFE, 0xED, 0xFA, 0xCE};

struct Cell {
    Kind kind = kHv;
    Op op = kInit;
    const Fault* fault = nullptr;
    char expect = '.';
    double bound = 0.0;
    // Filled by the run:
    double seconds = 0.0;
    std::string result;
    std::vector<std::string> problems;
};

// initialize gives 0 for a degraded start-up, or the open's D2XX status.
bool failureValue(Op op, double value) {
    return op == kInit  ? value >= 0.0
           : op == kSet ? value != 0.0
                        : value == (op == kPolarity ? -1.0 : 0.0);
}

void runCell(Cell& cell, Slot& slot) {
    const Fault& f = *cell.fault;
    const Kind kind = cell.kind;
    const Op op = cell.op;
    Bench bench(kind, slot);
    auto problem = [&cell](const std::string& text) { cell.problems.push_back(text); };
    // A start-up that must give the healthy result, and the bias module's output set after it.
    auto startUp = [&](const char* what) {
        const std::string shown = bench.run(kInit, false);
        const bool ok = shown == goodOf(kind, kInit, false) && bench.prepare();
        if (!ok) {
            problem(what + shown);
        }
        return ok;
    };
    if (op != kInit && !startUp("set-up failed: ")) {
        return;
    }
    const size_t logBefore = op == kInit ? 0 : bench.log().size();

    // The fault.
    const int bridge = bench.bridge;
    std::function<void()> arm;
    Clock::time_point lateArrives{};
    switch (f.how) {
        case How::Fail:
            arm = [bridge, &f] { sim_fail_next(bridge, f.function, f.value); };
            break;
        case How::Lie:
            arm = [bridge, &f] { sim_fake_count_next(bridge, f.function, f.value); };
            break;
        case How::Unplug:
            arm = [bridge] { sim_unplug(bridge, 1); };
            break;
        case How::Detach:
            arm = [&bench] { bench.detach(); };
            break;
        case How::Stall:
            sim_stall(bridge, 1);
            break;
        case How::Flood:
            sim_flood(bridge, 1, 0xA5);
            break;
        case How::NoAnswer:
            bench.model.fault(bridge, bench.model.noAnswer, 1);
            break;
        case How::Late:
            // The source answers the first request only after its exchange gave up.
            bench.model.fault(bridge, bench.model.noAnswer, 0);
            arm = [bridge, &lateArrives, kind, op] {
                const std::vector<Exchange> xs = exchangesOf(kind, op);
                const auto after = std::chrono::milliseconds(
                    static_cast<int>((xs.empty() ? 0.0 : xs[0].answer + kLateBy) * 1000.0));
                const std::string late = lateAnswer(kind, op);
                sim_deliver(bridge, late.data(), late.size(), static_cast<unsigned>(after.count()));
                lateArrives = Clock::now() + after;
            };
            break;
        case How::Garbage:
            bench.model.replyNext(bridge, kGarbage.data(), kGarbage.size());
            break;
    }
    std::unique_ptr<FirstRequest> trigger;
    if (arm && f.when == When::Request && !exchangesOf(kind, op).empty()) {
        // The first answer waits until the fault is armed; then answers come at once again.
        bench.model.setDelay(bridge, kFirstAnswerDelayMs);
        trigger.reset(
            new FirstRequest{bench.model, bridge, bench.model.requests(bridge), [arm, &bench] {
                                 arm();
                                 bench.model.setDelay(bench.bridge, 0);
                             }});
        sim_set_write_hook(bridge, &FirstRequest::onWrite, trigger.get());
    } else if (arm) {
        arm();
    }
    const unsigned callsBefore = f.how == How::Fail ? sim_call_count(bridge, f.function) : 0;

    const Clock::time_point start = Clock::now();
    const double value = bench.act(op, false);
    cell.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (trigger) {
        sim_set_write_hook(bridge, nullptr, nullptr);
        if (!trigger->fired) {
            problem("the source never had a request, so the fault was never armed");
        }
    }
    const std::string shown = bench.describe(op, value);

    // What it gave.
    std::vector<std::string> errors;
    const std::vector<std::string> lines = bench.log();
    for (size_t i = std::min(logBefore, lines.size()); i < lines.size(); ++i) {
        if (lines[i].rfind("[ERR]: ", 0) == 0) {
            errors.push_back(lines[i].substr(7));
        }
    }
    cell.result = shown + (errors.empty() ? "" : " | " + errors.front());
    if (f.how == How::Fail && sim_call_count(bridge, f.function) == callsBefore) {
        problem(std::string("the operation never called ") + f.function);
    }
    if (cell.seconds > cell.bound) {
        problem("took " + format("%.3f s", cell.seconds) + ", bound " +
                format("%.3f s", cell.bound));
    }
    const std::string good = goodOf(kind, op, false);
    // The text is a pattern: "A|B" takes either.
    const std::string text = f.text[kind] != nullptr ? f.text[kind] : "";
    const bool textFound =
        !text.empty() && std::any_of(errors.begin(), errors.end(), [&text](const std::string& e) {
            return std::regex_search(e, std::regex(text));
        });
    const bool healthy = cell.expect == '.' || cell.expect == 'W';
    if (healthy && shown != good) {
        problem("expected the healthy result \"" + good + "\"");
    } else if (!healthy && (shown == good || !failureValue(op, value))) {
        problem("expected the failure value, not \"" + shown + "\"");
    }
    if ((cell.expect == 'W' || cell.expect == 'E') && !textFound) {
        problem("expected an error entry matching \"" + text + "\"");
    } else if ((cell.expect == '.' || cell.expect == 'S') && !errors.empty()) {
        problem("expected no error entry");
    }

    // The fault goes away.
    sim_unplug(bridge, 0);
    sim_stall(bridge, 0);
    sim_flood(bridge, 0, 0);
    bench.model.setDelay(bench.bridge, 0);
    bench.model.clearFaults(bridge);
    if (f.how == How::Late) {
        std::this_thread::sleep_until(lateArrives + std::chrono::milliseconds(50));
    }
    if (f.then == Then::Replug) {
        bench.attach();
    }
    const Op next = op == kDeinit ? kInit : op;
    if (f.then != Then::Next && next != kInit && !startUp("starting again failed: ")) {
        return;
    }
    const std::string after = bench.run(next, true);
    if (after != goodOf(kind, next, true)) {
        problem(std::string("afterwards ") + kOpNames[next] + " gave \"" + after + "\", not \"" +
                goodOf(kind, next, true) + "\"");
    }
}

TEST(FaultMatrix, EveryCellReturnsInTimeReportsAndRecovers) {
    sim_reset();
    std::vector<Cell> cells;
    for (int k = 0; k < kKinds; ++k) {
        for (int o = 0; o < kOps; ++o) {
            for (const Fault& f : kFaults) {
                if (f.expect[k][o] != '-') {
                    cells.push_back({Kind(k),
                                     Op(o),
                                     &f,
                                     f.expect[k][o],
                                     boundOf(Kind(k), Op(o), f),
                                     0.0,
                                     "",
                                     {}});
                }
            }
        }
    }
    // The longest cells first, so the workers finish together.
    std::vector<Cell*> order;
    for (Cell& c : cells) {
        order.push_back(&c);
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const Cell* a, const Cell* b) { return a->bound > b->bound; });
    constexpr int kWorkers = 3;
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    const Clock::time_point start = Clock::now();
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            Slot slot(w);
            for (size_t i = next++; i < order.size(); i = next++) {
                runCell(*order[i], slot);
            }
        });
    }
    for (std::thread& t : workers) {
        t.join();
    }
    const double total = std::chrono::duration<double>(Clock::now() - start).count();

    std::printf("%-7s %-13s %-36s %-80s %7s %7s\n", "kind", "operation", "fault", "result", "time",
                "bound");
    for (const Cell& c : cells) {
        const std::string shown = c.result.size() > 80 ? c.result.substr(0, 77) + "..." : c.result;
        std::printf("%-7s %-13s %-36s %-80s %7.3f %7.3f%s\n", kKindNames[c.kind], kOpNames[c.op],
                    c.fault->name, shown.c_str(), c.seconds, c.bound,
                    c.problems.empty() ? "" : "  <-- FAILED");
        for (const std::string& p : c.problems) {
            ADD_FAILURE() << kKindNames[c.kind] << " / " << kOpNames[c.op] << " / " << c.fault->name
                          << ": " << p << "\n  result: " << c.result;
        }
    }
    std::printf("%zu cells on %d workers in %.1f s\n", cells.size(), kWorkers, total);
}

}  // namespace
