// Sending, receiving, checking and logging the command frames of the current HV source model.
#include "CmdMgr.h"

#include <cstdarg>
#include <vector>

#include "TextUtil.h"

namespace HwHvSrc {

const char* const kHvCommandNames[kHvCommandCount] = {
    "Nothing", "Test", "FwInfo", "SourcesCount", "GetRanges", "SetVoltage", "ReadVoltCurr",
};

namespace {

// A code as the messages show it: widened as a signed character, so 0x80..0xFF come out as
// FFFFFF80..FFFFFFFF under "%02X".
unsigned shown(signed char code) {
    return static_cast<unsigned>(static_cast<int>(code));
}

}  // namespace

CmdMgr::CmdMgr(FtdiDev* channel, FileLog* log, const char* const* names, uint32_t nameCount)
    : channel_(channel), log_(log), names_(names), nameCount_(nameCount) {}

CmdMgr::~CmdMgr() = default;

const char* CmdMgr::nameOf(signed char code) const {
    const uint32_t index = static_cast<unsigned char>(code);
    if (names_ == nullptr || index >= nameCount_ || names_[index] == nullptr) {
        return "Unknown";
    }
    return names_[index];
}

std::string CmdMgr::lastError() {
    ThreadSyncGuard guard(&lock_);
    return lastError_;
}

int CmdMgr::fail(int code, const char* format, ...) {
    ThreadSyncGuard guard(&lock_);
    va_list args;
    va_start(args, format);
    std::string message = formatStringV(format, args);
    va_end(args);
    if (log_ != nullptr) {
        log_->log(code, LOG_ERR, message.c_str());
    }
    lastError_ = std::move(message);
    return code;
}

int CmdMgr::sendCommand(signed char code, const void* payload, uint32_t length) {
    ThreadSyncGuard guard(&lock_);
    const unsigned char head[2] = {kSync, static_cast<unsigned char>(code)};
    const int sent = channel_->write(head, sizeof(head), kCmdWriteTimeout);
    if (sent != 2) {
        // A short count is a failure too; it must never come back as 0.
        const int result = sent < 0 ? sent : -1;
        return fail(result, "Sending command %02X (%s) failed. Error: %d (%s).", shown(code),
                    nameOf(code), sent, channel_->lastError().c_str());
    }
    if (length != 0) {
        const int sentData = channel_->write(payload, length, kCmdWriteTimeout);
        if (sentData < 0 || static_cast<uint32_t>(sentData) != length) {
            const int result = sentData < 0 ? sentData : -1;
            return fail(result, "Sending data for command %c (%s) failed. Error: %d (%s).",
                        static_cast<int>(code), nameOf(code), sentData,
                        channel_->lastError().c_str());
        }
    }
    if (log_ != nullptr) {
        log_->logf(LOG_DBG, "CMD %02X (%s) >>>", shown(code), nameOf(code));
        if (length != 0) {
            log_->logBuffer(0, LOG_DBG, payload, length, "Sent data:", true, 0, false);
        }
    }
    return 0;
}

int CmdMgr::receiveResponse(signed char expected, void* buffer, uint32_t length, double timeout) {
    ThreadSyncGuard guard(&lock_);
    unsigned char codeByte = 0;
    const int gotCode = channel_->read(&codeByte, 1, 1, timeout, false);
    if (gotCode != 1) {
        fail(gotCode < 0 ? gotCode : CMD_ERR_READ, "Could not receive command, error: %d (%s)",
             gotCode, channel_->lastError().c_str());
        flushInput(true);
        return gotCode < 0 ? gotCode : CMD_ERR_READ;
    }
    const signed char received = static_cast<signed char>(codeByte);
    if (log_ != nullptr) {
        log_->logf(LOG_DBG, "CMD %02X (%s) <<< ", shown(received), nameOf(received));
    }

    if (buffer != nullptr && length != 0) {
        const int got = channel_->read(buffer, length, length, timeout, false);
        if (got < 0) {
            fail(CMD_ERR_READ, "Command data not received, error=%d (%s)", got,
                 channel_->lastError().c_str());
            flushInput(true);
            return CMD_ERR_READ;
        }
        if (log_ != nullptr) {
            log_->logBuffer(0, LOG_DBG, buffer, static_cast<size_t>(got), "Received data:", true, 0,
                            false);
        }
        if (static_cast<uint32_t>(got) < length) {
            return fail(CMD_ERR_SHORT, "Received data too short (%d < %u).", got,
                        static_cast<unsigned>(length));
        }
    }

    unsigned char trailer[2] = {0, 0};
    const int gotTrailer = channel_->read(trailer, sizeof(trailer), 2, kCmdTrailerTimeout, false);
    if (gotTrailer < 2) {
        return fail(CMD_ERR_NO_TRAILER, "Missing termination of command");
    }
    if (trailer[0] != 0 || trailer[1] != kLineFeed) {
        return fail(CMD_ERR_STATUS, "Command failed (error code: %d)",
                    static_cast<int>(trailer[0]));
    }
    if (received == expected) {
        return 0;
    }
    if (static_cast<uint32_t>(codeByte) < nameCount_) {
        return fail(CMD_ERR_MISMATCH, "Instead of response %02X (%s) received %02X (%s)",
                    shown(expected), nameOf(expected), shown(received), nameOf(received));
    }
    return fail(CMD_ERR_MISMATCH, "Instead of response %02X (%s) received %02X (Unknown)",
                shown(expected), nameOf(expected), shown(received));
}

int CmdMgr::transact(signed char code, const void* request, uint32_t requestLength, void* response,
                     uint32_t responseLength, double timeout) {
    // Held across both halves, so the exchange stays whole even for a caller without a lock of
    // its own.
    ThreadSyncGuard guard(&lock_);
    // Input waiting before the request goes out belongs to no answer of it: an answer that came
    // after its exchange gave up, or the rest of a malformed one. It is dropped (and dumped), so
    // it cannot be taken for this exchange's answer.
    if (channel_->availableBytes() > 0) {
        flushInput(true);
    }
    const int sent = sendCommand(code, request, requestLength);
    if (sent != 0) {
        return sent;
    }
    return receiveResponse(code, response, responseLength, timeout);
}

int CmdMgr::flushInput(bool logIt) {
    ThreadSyncGuard guard(&lock_);
    std::vector<unsigned char> chunk(kFlushChunk);
    // Input that never stops (a babbling device) must not keep the caller here for good.
    const double giveUp = preciseTime() + kFlushMaxSeconds;
    size_t drained = 0;
    int got = channel_->readAvailable(chunk.data(), chunk.size(), kFlushPolls);
    while (got > 0) {
        if (logIt && log_ != nullptr) {
            log_->logBuffer(0, LOG_DBG, chunk.data(), static_cast<size_t>(got), nullptr, true, 0,
                            false);
        }
        drained += static_cast<size_t>(got);
        if (drained >= kFlushMaxBytes || preciseTime() >= giveUp) {
            break;
        }
        got = channel_->readAvailable(chunk.data(), chunk.size(), kFlushPolls);
    }
    return 0;
}

}  // namespace HwHvSrc
