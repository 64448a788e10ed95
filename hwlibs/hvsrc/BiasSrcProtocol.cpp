// One exchange of the bias module's text protocol: the command goes out as one line, the answer
// is read up to ")" LF CR (or for one second), cut into reply lines at ")" and logged; query
// picks the bracketed line and cuts it into its ';'-separated fields.
#include "BiasSrcDev.h"
#include "TextUtil.h"

namespace HwHvSrc {

const char kBiasReplyEnd[3] = {')', '\n', '\r'};

std::string trimChars(const std::string& text, const std::string& set) {
    const size_t first = text.find_first_not_of(set);
    if (first == std::string::npos) {
        return std::string();
    }
    const size_t last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}

std::vector<std::string> splitAny(const std::string& text, const std::string& delimiters,
                                  bool dropEmpty) {
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find_first_of(delimiters, start);
        const size_t end = at == std::string::npos ? text.size() : at;
        if (!dropEmpty || end > start) {
            pieces.push_back(text.substr(start, end - start));
        }
        if (at == std::string::npos) {
            break;
        }
        start = at + 1;
    }
    return pieces;
}

uint32_t parseHexField(const std::string& text) {
    const size_t length = text.size();
    if (length < 2 || length > 8 || length % 2 != 0) {
        return 0;
    }
    // At most eight digits, so the value always fits 32 bits.
    uint32_t value = 0;
    for (const char c : text) {
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else {
            break;
        }
        value = (value << 4) | digit;
    }
    return value;
}

std::vector<std::string> replyLines(const char* data, size_t count) {
    size_t length = 0;
    while (length < count && data[length] != '\0') {
        ++length;
    }
    std::vector<std::string> lines = splitAny(std::string(data, length), ")", true);
    for (std::string& line : lines) {
        line += ')';
    }
    return lines;
}

std::vector<std::string> replyFields(const std::vector<std::string>& lines) {
    std::string candidate;
    for (const std::string& line : lines) {
        candidate = trimChars(line, " ");
        if (!candidate.empty() && candidate[0] == '(') {
            break;
        }
    }
    // Without room for both brackets there is nothing between them.
    if (candidate.size() < 2) {
        return {};
    }
    return splitAny(candidate.substr(1, candidate.size() - 2), ";", true);
}

std::vector<std::string> BiasSrcDev::sendCommand(const std::string& command) {
    ThreadSyncGuard guard(&deviceLock_);
    if (!channel_) {
        exchangeFailure_ = kNotOpenText;
        return {};
    }
    channel_->clearInput();
    const std::string line = command + "\n";
    const int written = channel_->write(line.data(), line.size(), kBiasWriteTimeout);
    if (log_) {
        log_->logText(0, LOG_DBG, command.c_str(), "Sent");
    }
    if (written > 0) {
        return receiveLines();
    }
    if (log_) {
        log_->logAndReturn(-1, LOG_ERR, "Cannot send command: %s", command.c_str());
    }
    // The log entry keeps its words; the recorded reason adds the channel's text.
    exchangeFailure_ = formatString("Cannot send command: %s (%s)", command.c_str(),
                                    channel_->lastError().c_str());
    return {};
}

std::vector<std::string> BiasSrcDev::receiveLines() {
    ThreadSyncGuard guard(&deviceLock_);
    if (!channel_) {
        exchangeFailure_ = kNotOpenText;
        return {};
    }
    if (!receiveBuffer_) {
        receiveBuffer_.reset(new char[kBiasReceiveBufferSize]);
    }
    char* buffer = receiveBuffer_.get();
    const int received = channel_->readUntil(buffer, kBiasReceiveBufferSize, kBiasReplyEnd,
                                             sizeof(kBiasReplyEnd), kBiasReceiveTimeout);
    if (received <= 0) {
        // Nothing in time gives no lines and no entry; a driver failure is logged.
        if (received < 0) {
            exchangeFailure_ =
                formatString("Cannot receive answer: %s", channel_->lastError().c_str());
            if (log_) {
                log_->logAndReturn(received, LOG_ERR, "%s", exchangeFailure_.c_str());
            }
        } else {
            exchangeFailure_ = "No answer (Timeout)";
        }
        return {};
    }
    std::vector<std::string> lines = replyLines(buffer, static_cast<size_t>(received));
    if (lines.empty()) {
        exchangeFailure_ = "Empty answer";
    }
    if (log_) {
        for (const std::string& line : lines) {
            log_->logText(0, LOG_DBG, line.c_str(), "Received");
        }
    }
    return lines;
}

std::vector<std::string> BiasSrcDev::query(const std::string& command) {
    return replyFields(sendCommand(command));
}

}  // namespace HwHvSrc
