// The command manager of the current HV source model over a real channel on a simulated bridge:
// the frames on the wire, the debug lines and dumps in the log, and every failure's code, text
// and log entry, including the draining of stray input.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CmdMgr.h"
#include "FileLog.h"
#include "FtdiDev.h"
#include "hvdev_support.h"
#include "sim_hvsrc.h"
#include "simctl.h"

using hvtest::Bytes;
using hvtest::dumpLine;
using hvtest::logLines;
using hvtest::written;
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
        ASSERT_GT(bridge, 0);
        path = plat::joinPath(hvtest::logDirectory(), "cmdmgr.log");
        log.reset(new FileLog(path.c_str(), true, false, false, true));
        log->setLevel(LOG_DBG);
        channel.reset(new FtdiDev(kDescription, false));
        ASSERT_EQ(channel->open(false), 0);
        channel->setBaudRate(115200);
        cmd.reset(new CmdMgr(channel.get(), log.get(), kHvCommandNames, kHvCommandCount));
        sim_clear_written(bridge);
    }
    void TearDown() override {
        cmd.reset();
        channel->close();
        sim_reset();
    }
    Lines lines() { return logLines(path); }

    int bridge = 0;
    std::string path;
    std::unique_ptr<FileLog> log;
    std::unique_ptr<FtdiDev> channel;
    std::unique_ptr<CmdMgr> cmd;
};

TEST_F(CmdMgrTest, ExchangesPutExactFramesOnTheWireAndLogThem) {
    // A command without payload: two bytes out, the send and receive lines, no dump.
    EXPECT_EQ(cmd->transact(HwHvSrc::HV_CMD_TEST, nullptr, 0, nullptr, 0, 1.0), 0);
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x01}));
    EXPECT_EQ(lines(), (Lines{"[DBG]: CMD 01 (Test) >>>", "[DBG]: CMD 01 (Test) <<< "}));
    EXPECT_EQ(cmd->lastError(), "");

    // Payload both ways, each dumped with its printable column.
    sim_clear_written(bridge);
    ASSERT_EQ(sim_hvsrc_set_range(bridge, 1, 500, -500), 0);
    const unsigned char index = 1;
    unsigned char answer[8] = {};
    EXPECT_EQ(cmd->transact(HwHvSrc::HV_CMD_GET_RANGES, &index, 1, answer, 8, 1.0), 0);
    EXPECT_EQ(written(bridge), (Bytes{0x55, 0x04, 0x01}));
    EXPECT_EQ(Bytes(answer, answer + 8), (Bytes{0x01, 0xF4, 0xFE, 0x0C, 0x00, 0x0F, 0x42, 0x40}));
    const Lines all = lines();
    ASSERT_EQ(all.size(), 8u);
    EXPECT_EQ(Lines(all.begin() + 2, all.end()),
              (Lines{"[DBG]: CMD 04 (GetRanges) >>>", "[DBG]: Sent data:", dumpLine("01 ", "."),
                     "[DBG]: CMD 04 (GetRanges) <<< ",
                     "[DBG]: Received data:", dumpLine("01 f4 fe 0c 00 0f 42 40 ", "......B@")}));

    // Without a log the exchange works all the same.
    CmdMgr quiet(channel.get(), nullptr, kHvCommandNames, kHvCommandCount);
    EXPECT_EQ(quiet.transact(HwHvSrc::HV_CMD_TEST, nullptr, 0, nullptr, 0, 1.0), 0);
    sim_hvsrc_fault(bridge, SIM_HV_BAD_STATUS, 0);
    EXPECT_EQ(quiet.transact(HwHvSrc::HV_CMD_TEST, nullptr, 0, nullptr, 0, 1.0), -4);
    EXPECT_EQ(quiet.lastError(), "Command failed (error code: 7)");
    EXPECT_EQ(lines().size(), 8u);
}

TEST_F(CmdMgrTest, NamesStayInsideTheTable) {
    EXPECT_STREQ(cmd->nameOf(0), "Nothing");
    EXPECT_STREQ(cmd->nameOf(6), "ReadVoltCurr");
    EXPECT_STREQ(cmd->nameOf(7), "Unknown");
    EXPECT_STREQ(cmd->nameOf(static_cast<signed char>(0xFF)), "Unknown");
    CmdMgr shortTable(channel.get(), log.get(), kHvCommandNames, 2);
    EXPECT_STREQ(shortTable.nameOf(2), "Unknown");
}

TEST_F(CmdMgrTest, AnswerFailuresGiveTheirCodeAndText) {
    struct Case {
        const char* what;
        signed char code;
        uint32_t length;
        int faults;
        Bytes raw;  // used instead of the faults when not empty
        int result;
        std::string message;
        std::string receiveLine;  // the debug line of the received code, empty: none
        size_t leftover = 0;      // bytes of the answer still waiting afterwards
    };
    const std::vector<Case> cases = {
        {"no answer",
         0x02,
         30,
         SIM_HV_NO_ANSWER,
         {},
         -1,
         "Could not receive command, error: 0 (Timeout)",
         ""},
        {"status 7",
         0x01,
         0,
         SIM_HV_BAD_STATUS,
         {},
         -4,
         "Command failed (error code: 7)",
         "[DBG]: CMD 01 (Test) <<< "},
        {"no line feed",
         0x01,
         0,
         SIM_HV_BAD_TRAILER,
         {},
         -4,
         "Command failed (error code: 0)",
         "[DBG]: CMD 01 (Test) <<< "},
        {"unknown code",
         0x02,
         30,
         SIM_HV_WRONG_CODE,
         {},
         -5,
         "Instead of response 02 (FwInfo) received 09 (Unknown)",
         "[DBG]: CMD 09 (Unknown) <<< "},
        {"known code",
         0x03,
         1,
         0,
         {0x04, 0x02, 0x00, 0x0A},
         -5,
         "Instead of response 03 (SourcesCount) received 04 (GetRanges)",
         "[DBG]: CMD 04 (GetRanges) <<< "},
        {"high code",
         0x01,
         0,
         0,
         {0x85, 0x00, 0x0A},
         -5,
         "Instead of response 01 (Test) received FFFFFF85 (Unknown)",
         "[DBG]: CMD FFFFFF85 (Unknown) <<< "},
        // The trailer is checked before the code.
        {"wrong code and status",
         0x01,
         0,
         0,
         {0x02, 0x03, 0x0A},
         -4,
         "Command failed (error code: 3)",
         "[DBG]: CMD 02 (FwInfo) <<< "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.reset(new FileLog(path.c_str(), true, false, false, true));
        log->setLevel(LOG_DBG);
        cmd.reset(new CmdMgr(channel.get(), log.get(), kHvCommandNames, kHvCommandCount));
        if (!c.raw.empty()) {
            sim_hvsrc_reply_next(bridge, c.raw.data(), c.raw.size());
        } else {
            sim_hvsrc_fault(bridge, c.faults, 0);
        }
        std::vector<unsigned char> buffer(c.length + 1);
        EXPECT_EQ(cmd->transact(c.code, nullptr, 0, buffer.data(), c.length, kShort), c.result);
        EXPECT_EQ(cmd->lastError(), c.message);
        const Lines all = lines();
        EXPECT_EQ(hvtest::countLines(all, "[ERR]: " + c.message), 1u);
        size_t errors = 0;
        for (const std::string& line : all) {
            errors += line.rfind("[ERR]", 0) == 0 ? 1 : 0;
        }
        EXPECT_EQ(errors, 1u);
        if (!c.receiveLine.empty()) {
            EXPECT_EQ(hvtest::countLines(all, c.receiveLine), 1u);
        }
        EXPECT_EQ(sim_pending_input(bridge), c.leftover);
        cmd->flushInput(false);
    }
}

TEST_F(CmdMgrTest, ShortPayloadIsReportedBeforeTheTrailerIsRead) {
    // Three of eight bytes, then (well after the payload's time-out) what would be a trailer.
    const Bytes head = {0x04, 0x01, 0x02, 0x03};
    sim_hvsrc_reply_next(bridge, head.data(), head.size());
    const unsigned char index = 0;
    unsigned char answer[8] = {};
    EXPECT_EQ(cmd->transact(HwHvSrc::HV_CMD_GET_RANGES, &index, 1, answer, 8, kShort), -2);
    const Bytes trailer = {0x00, 0x0A};
    sim_deliver(bridge, trailer.data(), trailer.size(), 0);
    EXPECT_EQ(cmd->lastError(), "Received data too short (3 < 8).");
    const Lines all = lines();
    ASSERT_EQ(all.size(), 7u);
    EXPECT_EQ(all[4], "[DBG]: Received data:");
    EXPECT_EQ(all[5], dumpLine("01 02 03 ", "..."));
    EXPECT_EQ(all[6], "[ERR]: Received data too short (3 < 8).");
    // The trailer was never asked for, so it is still waiting.
    EXPECT_EQ(sim_pending_input(bridge), 2u);
}

TEST_F(CmdMgrTest, MissingTrailer) {
    sim_hvsrc_fault(bridge, SIM_HV_NO_TRAILER, 0);
    // The status byte and line feed get 2.0 s of their own, whatever the caller's time-out.
    int result = 0;
    EXPECT_GE(hvtest::secondsTaken([&] {
                  result = cmd->transact(HwHvSrc::HV_CMD_TEST, nullptr, 0, nullptr, 0, kShort);
              }),
              2.0 - hvtest::kClockSlack);
    EXPECT_EQ(result, -3);
    EXPECT_EQ(cmd->lastError(), "Missing termination of command");
    EXPECT_EQ(lines().back(), "[ERR]: Missing termination of command");
}

TEST_F(CmdMgrTest, FailedReadsDrainAndDumpWhatIsWaiting) {
    // The code read fails in the driver; the answer already waiting is drained and dumped.
    sim_fail_next(bridge, "FT_GetQueueStatus", 4);
    EXPECT_EQ(cmd->transact(HwHvSrc::HV_CMD_TEST, nullptr, 0, nullptr, 0, 1.0), -4);
    EXPECT_EQ(cmd->lastError(), "Could not receive command, error: -4 (USB device disconnected)");
    EXPECT_EQ(lines(), (Lines{"[DBG]: CMD 01 (Test) >>>",
                              "[ERR]: Could not receive command, error: -4 (USB device "
                              "disconnected)",
                              "[DBG]: Buffer:", dumpLine("01 00 0a ", "...")}));
    EXPECT_EQ(sim_pending_input(bridge), 0u);

    // The payload read fails after the code arrived: -1, and the rest is drained.
    const Bytes request = {0x55, 0x06, 0x00};
    const Bytes reply = {0x06, 0xFF, 0x38, 0x00, 0x00, 0x05, 0xDC, 0x00, 0x0A};
    ASSERT_EQ(sim_script_expect(bridge, request.data(), request.size(), reply.data(), reply.size(),
                                1, 0, 150),
              0);
    const unsigned reads = sim_call_count(bridge, "FT_Read");
    std::thread injector([&] {
        // Once the code byte is read, the payload's next queue query fails.
        while (sim_call_count(bridge, "FT_Read") == reads) {
            std::this_thread::yield();
        }
        sim_fail_next(bridge, "FT_GetQueueStatus", 4);
    });
    const unsigned char index = 0;
    unsigned char answer[6] = {};
    const int result = cmd->transact(HwHvSrc::HV_CMD_READ_VOLT_CURR, &index, 1, answer, 6, 1.0);
    injector.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(cmd->lastError(), "Command data not received, error=-4 (USB device disconnected)");
    const Lines all = lines();
    ASSERT_EQ(all.size(), 9u);
    EXPECT_EQ(all[7], "[DBG]: CMD 06 (ReadVoltCurr) <<< ");
    EXPECT_EQ(all[8], "[ERR]: Command data not received, error=-4 (USB device disconnected)");
}

TEST_F(CmdMgrTest, FlushStopsOnInputThatNeverEnds) {
    const Bytes stray = {'a', 'b', 0x20, 0x80, 0x7F};
    sim_deliver(bridge, stray.data(), stray.size(), 0);
    EXPECT_EQ(cmd->flushInput(true), 0);
    EXPECT_EQ(lines(), (Lines{"[DBG]: Buffer:", dumpLine("61 62 20 80 7f ", "ab..\x7f")}));
    EXPECT_EQ(cmd->lastError(), "");

    // A babbling line: the drain gives up (after 1 MiB or 2 s) instead of staying for good.
    sim_flood(bridge, 1, 0x5A);
    EXPECT_EQ(cmd->flushInput(true), 0);
    const size_t dumps = hvtest::countLines(lines(), "[DBG]: Buffer:") - 1;
    EXPECT_GE(dumps, 1u);
    EXPECT_LE(dumps, CmdMgr::kFlushMaxBytes / 4096 + 1);
    EXPECT_EQ(cmd->flushInput(false), 0);
    EXPECT_EQ(hvtest::countLines(lines(), "[DBG]: Buffer:"), dumps + 1);
    sim_flood(bridge, 0, 0);
}

// A peer that answers nothing and makes the write after the command's head fail.
void failSecondWrite(void* context, int bridge, const uint8_t*, size_t length) {
    if (length == 2) {
        sim_fail_next(bridge, "FT_Write", 10);
    }
    ++*static_cast<std::atomic<int>*>(context);
}

TEST_F(CmdMgrTest, SendFailuresEndTheExchange) {
    sim_fail_next(bridge, "FT_Write", 4);
    EXPECT_EQ(cmd->transact(HwHvSrc::HV_CMD_TEST, nullptr, 0, nullptr, 0, 1.0), -4);
    EXPECT_EQ(cmd->lastError(),
              "Sending command 01 (Test) failed. Error: -4 (USB device disconnected).");
    EXPECT_EQ(written(bridge), Bytes{});

    std::atomic<int> writes{0};
    const SimPeer peer{failSecondWrite, nullptr, nullptr, &writes};
    ASSERT_EQ(sim_set_peer(bridge, &peer), 0);
    const unsigned char payload[3] = {0x01, 0x01, 0x2C};
    EXPECT_EQ(cmd->transact(HwHvSrc::HV_CMD_SET_VOLTAGE, payload, 3, nullptr, 0, 1.0), -10);
    // The code goes into the "%c" conversion as it is: here the character 0x05.
    EXPECT_EQ(cmd->lastError(),
              "Sending data for command \x05 (SetVoltage) failed. Error: -10 (Failed to write "
              "device).");
    EXPECT_EQ(writes.load(), 1);
    EXPECT_EQ(lines(),
              (Lines{"[ERR]: Sending command 01 (Test) failed. Error: -4 (USB device "
                     "disconnected).",
                     "[ERR]: Sending data for command \x05 (SetVoltage) failed. Error: -10 (Failed "
                     "to write device)."}));
}

}  // namespace

namespace {

// The frame report that the two-thread test of the device relies on does catch mixed frames.
TEST_F(CmdMgrTest, ModelFlagsMixedAndMalformedFrames) {
    const auto write = [&](Bytes bytes) { channel->write(bytes.data(), bytes.size(), 1.0); };
    write({0x55, 0x04});                                    // this thread starts GetRanges ...
    std::thread other([&] { write({0x55, 0x06, 0x00}); });  // ... another sends a frame
    other.join();
    write({0x01});
    ASSERT_EQ(sim_hvsrc_frame_count(bridge), 3);
    SimHvFrame frame{};
    ASSERT_EQ(sim_hvsrc_frame(bridge, 0, &frame), 0);
    EXPECT_EQ(frame.code, 0x04);
    EXPECT_EQ(frame.length, 1);
    EXPECT_EQ(frame.payload[0], 0x55);
    EXPECT_EQ(frame.interleaved, 1);
    EXPECT_EQ(frame.malformed, 0);
    ASSERT_EQ(sim_hvsrc_frame(bridge, 1, &frame), 0);
    EXPECT_EQ(frame.malformed, 1);
    EXPECT_EQ(frame.length, 2);  // 06 00 where a sync byte was due
    EXPECT_EQ(frame.payload[0], 0x06);
    ASSERT_EQ(sim_hvsrc_frame(bridge, 2, &frame), 0);
    EXPECT_EQ(frame.malformed, 1);
    EXPECT_EQ(frame.length, 1);
    EXPECT_EQ(sim_hvsrc_bad_frame_count(bridge), 3);

    // A frame sent before the previous answer was read, and an unknown code.
    sim_hvsrc_clear_frames(bridge);
    cmd->flushInput(false);
    write({0x55, 0x01});
    write({0x55, 0x01});
    write({0x55, 0x07});
    ASSERT_EQ(sim_hvsrc_frame_count(bridge), 3);
    ASSERT_EQ(sim_hvsrc_frame(bridge, 0, &frame), 0);
    EXPECT_EQ(frame.overlapped, 0);
    ASSERT_EQ(sim_hvsrc_frame(bridge, 1, &frame), 0);
    EXPECT_EQ(frame.overlapped, 1);
    ASSERT_EQ(sim_hvsrc_frame(bridge, 2, &frame), 0);
    EXPECT_EQ(frame.code, 0x07);
    EXPECT_EQ(frame.malformed, 1);
    EXPECT_EQ(frame.overlapped, 1);
    EXPECT_EQ(sim_hvsrc_bad_frame_count(bridge), 2);
}

}  // namespace
