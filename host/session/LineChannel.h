// The session's standard output, which carries nothing but JSON lines: each object is written as
// one whole line by whichever thread has it, and the streams the commands print to are turned
// into such lines, tagged with the request they belong to.
#pragma once

#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <ostream>
#include <streambuf>
#include <string>

namespace host {

using OrderedJson = nlohmann::ordered_json;

class LineChannel {
public:
    explicit LineChannel(std::ostream& out) : out_(out) {}
    LineChannel(const LineChannel&) = delete;
    LineChannel& operator=(const LineChannel&) = delete;

    // Writes the object as one line and flushes it; false once the output cannot be written
    // (the reader of the session has gone) or the channel is closed.
    bool write(const OrderedJson& object);
    bool lost() const;
    // After this, nothing is written any more: the stream may go away.
    void close();

private:
    mutable std::mutex mutex_;
    std::ostream& out_;
    bool lost_ = false;
    bool closed_ = false;
};

// A stream buffer that hands each complete line (without its newline) to a function; what is
// left without a newline goes out with finish().
class LineBuffer : public std::streambuf {
public:
    explicit LineBuffer(std::function<void(const std::string&)> onLine)
        : onLine_(std::move(onLine)) {}
    void finish();

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;

private:
    // A line longer than this is handed on in pieces of this size.
    static constexpr size_t kMaxLine = 1 << 20;
    std::function<void(const std::string&)> onLine_;
    std::string line_;
};

// A command's results turned into tagged lines: each JSON object the command prints gets the
// request's "id" in front; anything else it prints becomes {"id": ID, "text": LINE}.
OrderedJson tagResult(const OrderedJson& id, const std::string& line);

}  // namespace host
