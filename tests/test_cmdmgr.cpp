// The current model's command manager over a real channel on a simulated bridge: frames on the
// wire, debug lines and dumps in the log, every failure's code, text and entry, stray input
// drained.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <tuple>

#include "CmdMgr.h"
#include "FileLog.h"
#include "FtdiDev.h"
#include "hvdev_support.h"
#include "sim_hvsrc.h"

using hvtest::Bytes;
using hvtest::dumpLine;
using HwHvSrc::CmdMgr;
using HwHvSrc::kHvCommandCount;
using HwHvSrc::kHvCommandNames;
using Lines = std::vector<std::string>;

namespace {

const char* const kDescription = "Tessaro HV Source: 3";
constexpr double kShort = 0.05;  // response time-out where nothing is meant to arrive

class CmdMgrTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim_reset();
        bridge = sim_hvsrc_attach(kDescription, "HV0003");
        channel.reset(new FtdiDev(kDescription, false));
        ASSERT_EQ(channel->open(false), 0);
        channel->setBaudRate(115200);
        restart();
        sim_clear_written(bridge);
    }
    void TearDown() override {
        cmd.reset();
        channel->close();
        sim_reset();
    }
    void restart() {
        cmd.reset();
        log.reset(new FileLog(path.c_str(), true, false, false, true));
        log->setLevel(LOG_DBG);
        cmd.reset(new CmdMgr(channel.get(), log.get(), kHvCommandNames, kHvCommandCount));
    }
    Lines lines() { return hvtest::logLines(path); }
    int test(double timeout = 1.0) {
        return cmd->transact(HwHvSrc::HV_CMD_TEST, nullptr, 0, nullptr, 0, timeout);
    }

    int bridge = 0;
    const std::string path = plat::joinPath(hvtest::logDirectory(), "cmdmgr.log");
    std::unique_ptr<FileLog> log;
    std::unique_ptr<FtdiDev> channel;
    std::unique_ptr<CmdMgr> cmd;
};

TEST_F(CmdMgrTest, ExchangesPutExactFramesOnTheWireAndLogThem) {
    // A command without payload: two bytes out, the send and receive lines, no dump.
    EXPECT_EQ(test(), 0);
    EXPECT_EQ(hvtest::written(bridge), (Bytes{0x55, 0x01}));
    EXPECT_EQ(lines(), (Lines{"[DBG]: CMD 01 (Test) >>>", "[DBG]: CMD 01 (Test) <<< "}));

    // Payload both ways, each dumped with its printable column.
    sim_clear_written(bridge);
    ASSERT_EQ(sim_hvsrc_set_range(bridge, 1, 500, -500), 0);
    const unsigned char index = 1;
    unsigned char answer[8] = {};
    EXPECT_EQ(cmd->transact(HwHvSrc::HV_CMD_GET_RANGES, &index, 1, answer, 8, 1.0), 0);
    EXPECT_EQ(hvtest::written(bridge), (Bytes{0x55, 0x04, 0x01}));
    EXPECT_EQ(Bytes(answer, answer + 8), (Bytes{0x01, 0xF4, 0xFE, 0x0C, 0x00, 0x0F, 0x42, 0x40}));
    const Lines all = lines();
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(Lines(all.begin() + 2, all.end()),
              (Lines{"[DBG]: CMD 04 (GetRanges) >>>", "[DBG]: Sent data:", dumpLine({0x01}),
                     "[DBG]: CMD 04 (GetRanges) <<< ", "[DBG]: Received data:",
                     dumpLine({0x01, 0xF4, 0xFE, 0x0C, 0x00, 0x0F, 0x42, 0x40})}));

    // Without a log the exchange works all the same.
    CmdMgr quiet(channel.get(), nullptr, kHvCommandNames, kHvCommandCount);
    EXPECT_EQ(quiet.transact(HwHvSrc::HV_CMD_TEST, nullptr, 0, nullptr, 0, 1.0), 0);
    sim_hvsrc_fault(bridge, SIM_HV_BAD_STATUS, 0);
    EXPECT_EQ(quiet.transact(HwHvSrc::HV_CMD_TEST, nullptr, 0, nullptr, 0, 1.0), -4);
    EXPECT_EQ(quiet.lastError(), "Command failed (error code: 7)");
    EXPECT_EQ(lines().size(), 8u);
}

// Each failed answer (code, payload length, reply or none): its result, the receive line's code
// (if any), its text as the last error and as the one ERR entry, and nothing left waiting.
TEST_F(CmdMgrTest, AnswerFailuresGiveTheirCodeAndText) {
    const std::tuple<signed char, uint32_t, Bytes, int, std::string, std::string> cases[] = {
        // clang-format off
        {0x02, 30, {}, -1, "", "Could not receive command, error: 0 (Timeout)"},
        {0x01, 0, {0x01, 0x07, 0x0A}, -4, "01 (Test)", "Command failed (error code: 7)"},
        {0x01, 0, {0x01, 0x00, 0x0D}, -4, "01 (Test)", "Command failed (error code: 0)"},
        {0x02, 1, {0x07, 0x00, 0x00, 0x0A}, -5, "07 (Unknown)",
         "Instead of response 02 (FwInfo) received 07 (Unknown)"},
        {0x03, 1, {0x04, 0x02, 0x00, 0x0A}, -5, "04 (GetRanges)",
         "Instead of response 03 (SourcesCount) received 04 (GetRanges)"},
        {0x01, 0, {0x85, 0x00, 0x0A}, -5, "FFFFFF85 (Unknown)",
         "Instead of response 01 (Test) received FFFFFF85 (Unknown)"},
        // The code alone: a payload of nothing is a short one, not a failed read.
        {0x02, 30, {0x02}, -2, "02 (FwInfo)", "Received data too short (0 < 30)."},
        // The trailer is checked before the code.
        {0x01, 0, {0x02, 0x03, 0x0A}, -4, "02 (FwInfo)", "Command failed (error code: 3)"},
        // clang-format on
    };
    for (const auto& [code, length, reply, result, received, message] : cases) {
        SCOPED_TRACE(message);
        restart();
        if (reply.empty()) {
            sim_hvsrc_fault(bridge, SIM_HV_NO_ANSWER, 0);
        } else {
            sim_hvsrc_reply_next(bridge, reply.data(), reply.size());
        }
        std::vector<unsigned char> buffer(length + 1);
        EXPECT_EQ(cmd->transact(code, nullptr, 0, buffer.data(), length, kShort), result);
        EXPECT_EQ(cmd->lastError(), message);
        const Lines all = lines();
        EXPECT_EQ(1, std::count_if(all.begin(), all.end(),
                                   [](const std::string& l) { return l.rfind("[ERR]", 0) == 0; }));
        EXPECT_EQ(hvtest::countLines(all, "[ERR]: " + message), 1u);
        EXPECT_EQ(hvtest::countLines(all, "[DBG]: CMD " + received + " <<< "),
                  received.empty() ? 0u : 1u);
        EXPECT_EQ(sim_pending_input(bridge), 0u);
    }
}

TEST_F(CmdMgrTest, ShortPayloadIsReportedBeforeTheTrailerIsRead) {
    // Three of eight bytes, then (after the payload's time-out, well inside the 2 s a trailer read
    // would wait) a trailer, which is never asked for.
    const Bytes request = {0x55, 0x04, 0x00};
    const Bytes reply = {0x04, 0x01, 0x02, 0x03, 0x00, 0x0A};
    ASSERT_EQ(sim_script_expect(bridge, request.data(), request.size(), reply.data(), reply.size(),
                                4, 0, 500),
              0);
    const unsigned char index = 0;
    unsigned char answer[8] = {};
    EXPECT_EQ(cmd->transact(HwHvSrc::HV_CMD_GET_RANGES, &index, 1, answer, 8, kShort), -2);
    const Lines all = lines();
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(Lines(all.begin() + 4, all.end()),
              (Lines{"[DBG]: Received data:", dumpLine({0x01, 0x02, 0x03}),
                     "[ERR]: Received data too short (3 < 8)."}));
    EXPECT_EQ(sim_pending_input(bridge), 2u);
}

TEST_F(CmdMgrTest, MissingTrailer) {
    // The trailer gets its own 2 s, whatever the caller's time-out.
    sim_hvsrc_fault(bridge, SIM_HV_NO_TRAILER, 0);
    EXPECT_GE(hvtest::secondsTaken([&] { EXPECT_EQ(test(kShort), -3); }),
              2.0 - hvtest::kClockSlack);
    EXPECT_EQ(lines().back(), "[ERR]: Missing termination of command");
}

// A babbling line: the drain gives up after 1 MiB (or 2 s) instead of staying for good.
TEST_F(CmdMgrTest, FlushStopsOnInputThatNeverEnds) {
    sim_flood(bridge, 1, 0x5A);
    EXPECT_EQ(cmd->flushInput(true), 0);
    const size_t dumps = hvtest::countLines(lines(), "[DBG]: Buffer:");
    EXPECT_GE(dumps, 1u);
    EXPECT_LE(dumps, 1024u * 1024u / 4096u + 1u);  // at most 1 MiB is drained
    sim_flood(bridge, 0, 0);
}

// A peer that answers a Test at once and makes the next queue query (the answer's) fail.
void answerThenFailQuery(void*, int bridge, const uint8_t*, size_t) {
    const Bytes answer = {0x01, 0x00, 0x0A};
    sim_deliver(bridge, answer.data(), answer.size(), 0);
    sim_fail_next(bridge, "FT_GetQueueStatus", 4);
}

TEST_F(CmdMgrTest, FailedReadsDrainAndDumpWhatIsWaiting) {
    // The code read fails in the driver; the answer already waiting is drained and dumped.
    const SimPeer failing{answerThenFailQuery, nullptr, nullptr, nullptr};
    ASSERT_EQ(sim_set_peer(bridge, &failing), 0);
    EXPECT_EQ(test(), -4);
    EXPECT_EQ(lines(), (Lines{"[DBG]: CMD 01 (Test) >>>",
                              "[ERR]: Could not receive command, error: -4 (USB device "
                              "disconnected)",
                              "[DBG]: Buffer:", dumpLine({0x01, 0x00, 0x0A})}));
    EXPECT_EQ(sim_pending_input(bridge), 0u);

    // Input waiting before a request (an answer that came too late) is no answer to it: it is
    // dumped and dropped before the request goes out, and the exchange reads its own answer.
    const Bytes late = {0x01, 0x07, 0x0A};
    const Bytes request = {0x55, 0x01};
    const Bytes passed = {0x01, 0x00, 0x0A};
    ASSERT_EQ(sim_script_expect(bridge, request.data(), 2, passed.data(), 3, 0, 0, 0), 0);
    ASSERT_EQ(sim_deliver(bridge, late.data(), late.size(), 0), 0);
    EXPECT_EQ(test(), 0);
    Lines all = lines();
    EXPECT_EQ(Lines(all.begin() + 4, all.end()),
              (Lines{"[DBG]: Buffer:", dumpLine({0x01, 0x07, 0x0A}), "[DBG]: CMD 01 (Test) >>>",
                     "[DBG]: CMD 01 (Test) <<< "}));

    // The payload read fails in the driver after the code arrived: -1, and the rest, waiting by
    // then, is drained and dumped.
    const Bytes reading = {0x55, 0x06, 0x00};
    const Bytes code = {0x06};
    const Bytes rest = {0xFF, 0x38, 0x00, 0x00, 0x05, 0xDC, 0x00, 0x0A};
    ASSERT_EQ(sim_script_expect(bridge, reading.data(), 3, code.data(), 1, 0, 0, 0), 0);
    ASSERT_EQ(sim_script_expect(bridge, nullptr, 0, rest.data(), rest.size(), 0, 150, 0), 0);
    const unsigned reads = sim_call_count(bridge, "FT_Read");
    std::thread injector([&] {
        // Once the code byte is read, the payload's read fails (its queue query finds the rest).
        while (sim_call_count(bridge, "FT_Read") == reads) {
            std::this_thread::yield();
        }
        sim_fail_next(bridge, "FT_Read", 4);
    });
    const unsigned char index = 0;
    unsigned char answer[6] = {};
    const int result = cmd->transact(HwHvSrc::HV_CMD_READ_VOLT_CURR, &index, 1, answer, 6, 1.0);
    injector.join();
    EXPECT_EQ(result, -1);
    all = lines();
    ASSERT_EQ(all.size(), 15u);
    EXPECT_EQ(
        Lines(all.begin() + 11, all.end()),
        (Lines{"[DBG]: CMD 06 (ReadVoltCurr) <<< ",
               "[ERR]: Command data not received, error=-4 (USB device disconnected)",
               "[DBG]: Buffer:", dumpLine({0xFF, 0x38, 0x00, 0x00, 0x05, 0xDC, 0x00, 0x0A})}));
    EXPECT_EQ(sim_pending_input(bridge), 0u);
}

// A peer that answers nothing and makes the write after the command's head fail.
void failSecondWrite(void* context, int bridge, const uint8_t*, size_t length) {
    if (length == 2) {
        sim_fail_next(bridge, "FT_Write", 10);
    }
    ++*static_cast<int*>(context);
}

TEST_F(CmdMgrTest, SendFailuresEndTheExchange) {
    sim_fail_next(bridge, "FT_Write", 4);
    EXPECT_EQ(test(), -4);
    EXPECT_EQ(hvtest::written(bridge), Bytes{});

    int writes = 0;
    const SimPeer peer{failSecondWrite, nullptr, nullptr, &writes};
    ASSERT_EQ(sim_set_peer(bridge, &peer), 0);
    const unsigned char payload[3] = {0x01, 0x01, 0x2C};
    EXPECT_EQ(cmd->transact(HwHvSrc::HV_CMD_SET_VOLTAGE, payload, 3, nullptr, 0, 1.0), -10);
    EXPECT_EQ(writes, 1);
    // The code goes into the "%c" conversion as it is: here the character 0x05.
    EXPECT_EQ(lines(),
              (Lines{"[ERR]: Sending command 01 (Test) failed. Error: -4 (USB device "
                     "disconnected).",
                     "[ERR]: Sending data for command \x05 (SetVoltage) failed. Error: -10 (Failed "
                     "to write device)."}));
}

}  // namespace
