// The fault matrix, kind x operation x fault, printed: each cell returns within the time-outs the
// fault lets expire, with its result and ERR entry, and the next operation works once it is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <numeric>
#include <thread>

#include "BiasSrcDev.h"
#include "HvDev.h"
#include "HvDevOld.h"
#include "plugin_host.h"
#include "sim_kinds.h"

namespace {

using namespace simkind;
using HwHvSrc::BiasSrcDev;
using HwHvSrc::DevBase;
using HwHvSrc::HvDev;
using HwHvSrc::HvDevOld;
using Clock = std::chrono::steady_clock;
using namespace std::string_literals;

enum Op { kInit, kSet, kReadV, kReadI, kPolarity, kParam, kDeinit, kOps };
const char* const kOpNames[kOps] = {"initialize", "setVoltage", "readVoltage", "readCurrent",
                                    "polarity",   "param read", "deinitialize"};

std::string format(const char* fmt, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), fmt, value);
    return text;
}

enum How { kFail, kLie, kUnplug, kDetach, kStall, kFlood, kNoAnswer, kLate, kGarbage };
enum When { kBefore, kMid };  // armed before the operation, or mid-exchange
// Once the fault is gone: the operation again, after a start-up, or after a replug and start-up.
enum Then { kNext, kRestart, kReplug };

// `expect`: per kind, one character per Op: '.' healthy result, no ERR entry; 'W' healthy result
// and an ERR entry matching `text`; 'E' failure value and a matching entry; 'S' failure value and
// no entry (an exchange that brought nothing); '-' not run.
struct Fault {
    How how;
    When when;
    const char* what;  // kFail and kLie: the D2XX function; otherwise the fault's name
    uint32_t value;    // kFail: the status; kLie: the count reported
    const char* expect;
    const char* text[kKinds];
    Then then = kNext;

    std::string name() const {
        return how == kFail  ? what + std::string(" fails (") + std::to_string(value) + ")"
               : how == kLie ? what + std::string(" claims too much")
                             : what;
    }
};

const char* const kUsb = "USB device disconnected";
const char* const kSend = "Cannot send command";
const char* const kGone = "Device disconnected";
const char* const kOpen = "Cannot open device";
const char* const kTimeout = "Timeout";
// A write that stalls fails as the channel's time-out, -1.
const char* const kWriteStalled = "failed\\. Error: -1 \\(Timeout\\)\\.$";
const uint32_t kHuge = 0xFFFFFFFFu;

// clang-format off
const Fault kFaults[] = {
    {kFail, kBefore, "FT_OpenEx", 3, "E------ E------ E------", {kOpen, kOpen, kOpen}},
    {kFail, kBefore, "FT_Purge", 4, ".------ .------ .------", {}},
    {kFail, kBefore, "FT_SetTimeouts", 4, ".------ .------ .------", {}},
    {kFail, kBefore, "FT_SetLatencyTimer", 4, ".------ .------ .------", {}},
    {kFail, kBefore, "FT_SetUSBParameters", 4, ".------ .------ .------", {}},
    {kFail, kBefore, "FT_SetBaudRate", 7, ".------ .------ S------", {}},
    {kFail, kBefore, "FT_SetDataCharacteristics", 4, ".------ .------ S------", {}},
    {kFail, kBefore, "FT_SetBitMode", 17, "------- ------- S------", {}},
    {kFail, kMid, "FT_GetQueueStatus", 4, "WEEE-E- .-..-.- .....--", {kUsb, "", ""}},
    {kFail, kMid, "FT_Read", 4, "WEEE-E- --EW-E- EEEEE--", {kUsb, kUsb, kUsb}},
    {kFail, kBefore, "FT_Write", 4, "WEEE-E- -EEW-E- EEEEE--", {kUsb, kUsb, kSend}},
    {kFail, kBefore, "FT_Close", 4, "------E ------E ------E", {kUsb, kUsb, kUsb}, kReplug},
    {kUnplug, kMid, "unplugged mid-exchange", 0, "EEEE.E. ..EW.E. EEEEE..", {kUsb, kUsb, kUsb}},
    {kStall, kBefore, "writes stall", 0, "EEEE-E- -EEW-E- EEEEE--", {kWriteStalled, kTimeout, kSend}},
    {kFlood, kBefore, "input floods", 0, "....-.- ....-.- .....--", {}},
    {kLie, kBefore, "FT_Write", kHuge, "WEEE-E- -EEW-E- EEEEE--", {kGone, kGone, kSend}, kRestart},
    {kLie, kMid, "FT_Read", kHuge, "....-.- --..-.- .....--", {}},
    {kLie, kMid, "FT_GetQueueStatus", kHuge, "....-.- .-..-.- .....--", {}},
    {kNoAnswer, kBefore, "no answer", 0, "EEEE-E- --S.-S- SSSSS--", {kTimeout, "", ""}},
    {kLate, kMid, "late answer", 0, "WEEE-E- --S.-S- SSSSS--", {kTimeout, "", ""}},
    {kGarbage, kBefore, "garbage answer", 0, "WEEE-E- --S.-S- SSSSS--", {"Command failed", "", ""}},
    {kDetach, kMid, "detached, attached again", 0, "EEEE.E. E.EW.E. EEEEE..",
     {kUsb, "Cannot open device|USB device disconnected", kUsb}, kReplug},
};
// clang-format on

// One exchange: its write time-out, how long it waits for an answer, and a pause it always makes.
// The seconds are the fixed values each protocol stands for, written out here: a changed
// time-out in the code must show as a cell out of its bound, not move the bound with it.
struct Exchange {
    double write, answer, pause;
};
const Exchange kHvTest{2.0, 2.0, 0.0};
const Exchange kHvQuery{2.0, 0.2, 0.0};
const Exchange kBiasAsk{2.0, 1.0, 0.0};
const Exchange kOldStatus{2.0, 0.05 + 2.0, 0.05};
const Exchange kOldSet{1.0, 0.0, 0.0};
const std::string kHvRead = "\x06\x00\x63\x00\x00\x00\x07\x00\x0A"s;
const std::string kOldLine = "1\t2a\t3ff\t0\t318\t1f40\t10\t0\t7\t55\n";
const std::string kBiasRead = "(03E7;0007;00)\n\r";

// Per kind and Op: the exchanges, the healthy result as runCell shows it (setVoltage's: the
// request), and a late answer: a healthy one to its first request with values the source lacks.
struct KindRow {
    const char* name;
    const char* description;  // the worker's number follows
    double set[2];            // setVoltage's requests, the second after the fault is gone
    std::vector<Exchange> exchanges[kOps];
    const char* good[kOps];
    std::string late[kOps];
};
// clang-format off
const KindRow kRows[kKinds] = {
    {"hvsrc", "Tessaro HV Source: 9", {321.0, 322.0},
     {{kHvTest, kHvTest, kHvQuery, kHvQuery, kHvQuery, kHvQuery}, {kHvQuery}, {kHvQuery},
      {kHvQuery}, {}, {kHvQuery}, {}},
     {"rc 0, fw HVS-2.1.0, 2 sources, limits -2000..2000 -2000..2000, open", "", "123", "4.567",
      "0", "123", "rc 0, closed"},
     {"\x01\x00\x0A"s, "\x05\x00\x0A"s, kHvRead, kHvRead, kHvRead, kHvRead, kHvRead}},
    {"legacy", "HV source AVR #", {250.0, 251.0},
     {{}, {kOldSet}, {kOldStatus}, {kOldStatus}, {}, {kOldStatus}, {}},
     {"rc 0, open", "", "250", "0", "0", "250", "rc 0, closed"},
     {kOldLine, kOldLine, kOldLine, kOldLine, kOldLine, kOldLine, kOldLine}},
    {"bias", "BiasModule: 8", {12.5, 13.5},
     {{kBiasAsk, kBiasAsk}, {kBiasAsk}, {kBiasAsk}, {kBiasAsk}, {kBiasAsk}, {}, {}},
     {"rc 0, fw BM-1.04, limits 0..90, open", "", "42.5", "1.5", "1", "BM-1.04", "rc 0, closed"},
     {"(OLD-FW;00)\n\r", "(0;00)\n\r", kBiasRead, kBiasRead, "(NEG;00)\n\r", kBiasRead, kBiasRead}},
};
// clang-format on

// The healthy result (`second`: of the run after the fault is gone).
std::string goodOf(Kind kind, Op op, bool second) {
    return op == kSet ? "rc 0, source has " + format("%g", kRows[kind].set[second ? 1 : 0])
                      : kRows[kind].good[op];
}

const double kDriverBlock = 0.5;  // the driver's own read and write time-out
const double kLateBy = 0.3;       // a late answer comes this long after its exchange gave up
// A mid-exchange fault's first answer waits this long, so the fault is armed before it is read.
const unsigned kFirstAnswerDelayMs = 100;

// When a late answer comes: after the operation's first exchange gave up.
double lateAfter(const std::vector<Exchange>& xs) {
    return xs.empty() ? 0.0 : xs[0].answer + kLateBy;
}

// The pauses and time-outs the fault lets expire in each exchange (a stalled write adds a driver
// block; a failed call or wrong count a driver read time-out), plus a margin.
double boundOf(Kind kind, Op op, const Fault& f) {
    const std::vector<Exchange>& xs = kRows[kind].exchanges[op];
    const auto total = [&xs](double Exchange::*part, double extra) {
        return std::accumulate(xs.begin(), xs.end(), 0.0, [&](double sum, const Exchange& x) {
            return sum + x.*part + extra;
        });
    };
    // A line left at the wrong speed, format or mode: every exchange waits out its answer.
    const bool lineSetting =
        f.how == kFail &&
        std::regex_match(f.what, std::regex("FT_Set(BaudRate|DataCharacteristics|BitMode)"));
    const double drain = 2.0 + kDriverBlock;  // clearing input gives up after 2 s
    // Only the first exchange meets a late or garbage answer.
    double sum = total(&Exchange::pause, 0.0) +
                 (f.how == kStall                       ? total(&Exchange::write, kDriverBlock)
                  : f.how == kNoAnswer || lineSetting   ? total(&Exchange::answer, 0.0)
                  : f.how == kLate || f.how == kGarbage ? lateAfter(xs)
                  : f.how == kFlood ? drain * static_cast<double>(xs.size() + (op == kInit ? 1 : 0))
                                    : 0.0);
    sum += (f.how == kFail || f.how == kLie ? kDriverBlock : 0.0) +
           (f.when == kMid ? kFirstAnswerDelayMs / 1000.0 : 0.0);
    return sum * 1.1 + 0.3;  // a margin of a tenth and 0.3 s
}

// Bytes that mean nothing to any protocol (zero bytes, stray brackets, separators and line ends),
// long enough for any answer the current model expects, with no 0 status byte.
const std::string kNonsense = std::string(
    "\xA7<\0\xFF(;\x91\n\r)U\x06\xE2\x7F\x80 ;)\n(FF;;\xC3(\0\r\n)\x13"
    "7\xB0\x0BZZ\xEE\x01\x02\x03)\n\r;\xFE\xED\xFA\xCE",
    48);

struct Cell {
    Kind kind;
    Op op;
    const Fault* fault;
    double bound, seconds;  // the time, and what follows, from the run
    std::string result;
    std::vector<std::string> problems;
};

void runCell(Cell& cell, int worker, host::Framework& fw, const std::string& dir) {
    const Fault& f = *cell.fault;
    const Kind kind = cell.kind;
    const Op op = cell.op;
    const char expect = f.expect[kind * 8 + op];
    // The cell's bridge, source and device; the bridge goes after the device.
    const Model& model = kModels[kind];
    const std::string name = kRows[kind].description + std::to_string(worker + 1);
    int bridge = 0;
    std::string lastReceived;  // what the source received before it was detached
    // A fresh bridge (after a detach: plugged in again) with a healthy source reading apart from 0.
    const auto attach = [&] {
        sim_detach(bridge);
        lastReceived = "?";
        bridge = model.attach(name.c_str(), "FM1");
        kind == kHv    ? sim_hvsrc_set_reading(bridge, 0, 123, 4567)
        : kind == kOld ? sim_hvold_set_output(bridge, 0, 250.0)
                       : sim_bias_set_current(bridge, 15);
    };
    attach();
    const std::unique_ptr<int, void (*)(int*)> detachAtEnd(&bridge, [](int* b) { sim_detach(*b); });
    const hvtest::DevPtr<DevBase> dev(kind == kHv ? static_cast<DevBase*>(new HvDev(name, &fw, dir))
                                      : kind == kOld
                                          ? static_cast<DevBase*>(new HvDevOld(name, &fw, dir))
                                          : static_cast<DevBase*>(new BiasSrcDev(name, &fw, dir)));
    // The voltage the source last received, as it read it.
    const auto received = [&] {
        double volts = 0.0;
        return lastSet(kind, bridge, 0, volts) ? format("%g", volts) : lastReceived;
    };
    // Runs the operation, timed; gives what it showed, and its value in `result`.
    double seconds = 0.0;
    const auto run = [&](Op op, bool second, double* result = nullptr) {
        double scratch = 0.0;
        double& value = result != nullptr ? *result : scratch;
        host::Param* p = nullptr;
        const Clock::time_point start = Clock::now();
        if (op == kParam) {
            static_cast<host::ParamList*>(dev->parameters())
                ->read(kind == kBias ? "Firmware" : "VoltageSense1", &p);
        }
        value = op == kParam      ? (p != nullptr ? p->intValue() : -1.0)
                : op == kInit     ? dev->initialize()
                : op == kSet      ? dev->setVoltage(0, kRows[kind].set[second ? 1 : 0])
                : op == kReadV    ? dev->readVoltage(0)
                : op == kReadI    ? dev->readCurrent(0)
                : op == kPolarity ? dev->polarity()
                                  : dev->deinitialize();
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::string rc = "rc " + format("%g", value);
        if (op == kInit && kind != kOld) {
            rc += ", fw " + dev->firmware() +
                  (kind == kHv ? ", " + format("%g", dev->sourceCount()) + " sources" : "") +
                  ", limits";
            for (int i = 0; i < (kind == kHv ? 2 : 1); ++i) {
                rc += " " + format("%g", dev->minVoltage(i)) + ".." +
                      format("%g", dev->maxVoltage(i));
            }
        }
        SimSettings settings{};
        const bool open = sim_settings(bridge, &settings) == 0 && settings.open != 0;
        return op == kInit || op == kDeinit    ? rc + (open ? ", open" : ", closed")
               : op == kSet                    ? rc + ", source has " + received()
               : op == kParam && p == nullptr  ? "(none)"
               : op == kParam && kind == kBias ? p->text()
                                               : format("%g", value);
    };
    // The device log's entries (none before the first start-up).
    const auto log = [&] {
        return dev->logPath().empty() ? std::vector<std::string>{}
                                      : hvtest::logLines(dev->logPath());
    };
    // A start-up giving the healthy result, then the bias output at 42.5 V (its readings show it).
    auto startUp = [&](const char* what) {
        const std::string shown = run(kInit, false);
        const bool ok =
            shown == goodOf(kind, kInit, false) && (kind != kBias || dev->setVoltage(0, 42.5) == 0);
        if (!ok) {
            cell.problems.push_back(what + shown);
        }
        return ok;
    };
    if (op != kInit && !startUp("set-up failed: ")) {
        return;
    }
    const size_t logBefore = op == kInit ? 0 : log().size();

    // The fault, in the order of How.
    const unsigned lateMs = static_cast<unsigned>(lateAfter(kRows[kind].exchanges[op]) * 1000.0);
    Clock::time_point lateArrives{};
    const std::function<void()> faults[] = {
        [&] { sim_fail_next(bridge, f.what, f.value); },
        [&] { sim_fake_count_next(bridge, f.what, f.value); },
        [&] { sim_unplug(bridge, 1); },
        [&] {
            lastReceived = received();
            sim_detach(bridge);
        },
        [&] { sim_stall(bridge, 1); },
        [&] { sim_flood(bridge, 1, 0xA5); },
        [&] { model.fault(bridge, model.noAnswer, 1); },
        [&] {
            const std::string& late = kRows[kind].late[op];
            sim_deliver(bridge, late.data(), late.size(), lateMs);
            lateArrives = Clock::now() + std::chrono::milliseconds(lateMs);
        },
        [&] { model.replyNext(bridge, kNonsense.data(), kNonsense.size()); },
    };
    if (f.how == kLate) {
        model.fault(bridge, model.noAnswer, 0);
    }
    // Mid-exchange: armed in the writing thread once the source has one more whole request (its
    // answer waits until then).
    std::atomic<bool> fired{false};
    const int base = model.requests(bridge);
    std::function<void()> onWrite = [&] {
        if (!fired && model.requests(bridge) > base) {
            fired = true;
            faults[f.how]();
            model.setDelay(bridge, 0);
        }
    };
    const bool mid = f.when == kMid && !kRows[kind].exchanges[op].empty();
    if (mid) {
        model.setDelay(bridge, kFirstAnswerDelayMs);
        sim_set_write_hook(
            bridge, [](void* hook, int) { (*static_cast<std::function<void()>*>(hook))(); },
            &onWrite);
    } else {
        faults[f.how]();
    }
    const unsigned callsBefore = f.how == kFail ? sim_call_count(bridge, f.what) : 0;

    double value = 0.0;
    const std::string shown = run(op, false, &value);
    cell.seconds = seconds;
    sim_set_write_hook(bridge, nullptr, nullptr);

    // What it gave. initialize gives 0 for a degraded start-up, or the open's D2XX status.
    const bool failed = op == kInit  ? value >= 0.0
                        : op == kSet ? value != 0.0
                                     : value == (op == kPolarity ? -1.0 : 0.0);
    std::vector<std::string> errors, lines = log();
    std::copy_if(lines.begin() + static_cast<long>(std::min(logBefore, lines.size())), lines.end(),
                 std::back_inserter(errors),
                 [](auto& line) { return line.rfind("[ERR]: ", 0) == 0; });
    cell.result = shown + (errors.empty() ? "" : " | " + errors.front());
    const std::string good = goodOf(kind, op, false);
    const std::string text = f.text[kind] != nullptr ? f.text[kind] : "";
    const bool textFound = !text.empty() && std::any_of(errors.begin(), errors.end(), [&](auto& e) {
        return std::regex_search(e, std::regex(text));
    });
    const bool healthy = expect == '.' || expect == 'W';
    const bool entry = expect == 'W' || expect == 'E';
    const std::pair<bool, std::string> checks[] = {
        {mid && !fired, "the source never had a request, so the fault was never armed"},
        {f.how == kFail && sim_call_count(bridge, f.what) == callsBefore,
         std::string("the operation never called ") + f.what},
        {cell.seconds > cell.bound,
         "took " + format("%.3f s", cell.seconds) + ", bound " + format("%.3f s", cell.bound)},
        {healthy && shown != good, "expected the healthy result \"" + good + "\""},
        {!healthy && (shown == good || !failed),
         "expected the failure value, not \"" + shown + "\""},
        {entry && !textFound, "expected an error entry matching \"" + text + "\""},
        {!entry && !errors.empty(), "expected no error entry"},
    };
    for (const auto& check : checks) {
        if (check.first) {
            cell.problems.push_back(check.second);
        }
    }

    // The fault goes away.
    sim_unplug(bridge, 0);
    sim_stall(bridge, 0);
    sim_flood(bridge, 0, 0);
    model.setDelay(bridge, 0);
    model.clearFaults(bridge);
    if (f.how == kLate) {
        std::this_thread::sleep_until(lateArrives + std::chrono::milliseconds(50));
    }
    if (f.then == kReplug) {
        attach();
    }
    const Op next = op == kDeinit ? kInit : op;
    if (f.then != kNext && next != kInit && !startUp("starting again failed: ")) {
        return;
    }
    const std::string after = run(next, true);
    if (after != goodOf(kind, next, true)) {
        cell.problems.push_back("afterwards: " + after);
    }
}

TEST(FaultMatrix, EveryCellReturnsInTimeReportsAndRecovers) {
    sim_reset();
    std::deque<Cell> cells;  // and the longest first, so the workers finish together
    std::vector<Cell*> order;
    for (int k = 0; k < kKinds; ++k) {
        for (int o = 0; o < kOps; ++o) {
            for (const Fault& f : kFaults) {
                if (f.expect[k * 8 + o] != '-') {
                    cells.push_back({Kind(k), Op(o), &f, boundOf(Kind(k), Op(o), f), 0.0, "", {}});
                    order.push_back(&cells.back());
                }
            }
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const Cell* a, const Cell* b) { return a->bound > b->bound; });
    constexpr int kWorkers = 3;
    std::atomic<size_t> next{0};
    std::vector<std::thread> workers;
    const Clock::time_point start = Clock::now();
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&, w] {
            const std::string dir = hvtest::freshDirectory("faults_" + std::to_string(w));
            host::Framework framework(dir);
            for (size_t i = next++; i < order.size(); i = next++) {
                runCell(*order[i], w, framework, dir);
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
        std::printf("%-7s %-13s %-36s %-80.80s %7.3f %7.3f%s\n", kRows[c.kind].name, kOpNames[c.op],
                    c.fault->name().c_str(), c.result.c_str(), c.seconds, c.bound,
                    c.problems.empty() ? "" : "  <-- FAILED");
        for (const std::string& p : c.problems) {
            ADD_FAILURE() << kRows[c.kind].name << " / " << kOpNames[c.op] << " / "
                          << c.fault->name() << ": " << p << "\n  result: " << c.result;
        }
    }
    std::printf("%zu cells on %d workers in %.1f s\n", cells.size(), kWorkers, total);
}

}  // namespace
