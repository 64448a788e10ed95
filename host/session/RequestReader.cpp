#include "session/RequestReader.h"

#include <chrono>

#include "cli/HostPlatform.h"

namespace host {

namespace {

// A request line longer than this is refused (and read to its end without being kept).
constexpr size_t kMaxRequestLine = 64 * 1024;

// One line of `in` without its end ("\n" or "\r\n"); false at the end of the input with nothing
// read. `tooLong` when the line was longer than kMaxRequestLine.
bool readLine(std::istream& in, std::string& line, bool& tooLong) {
    line.clear();
    tooLong = false;
    bool any = false;
    for (char c; in.get(c);) {
        any = true;
        if (c == '\n') {
            break;
        }
        if (line.size() < kMaxRequestLine) {
            line += c;
        } else {
            tooLong = true;
        }
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return any;
}

}  // namespace

bool parseRequest(const std::string& text, OrderedJson& id, std::vector<std::string>& argv,
                  std::string& error) {
    OrderedJson request;
    try {
        request = OrderedJson::parse(text);
    } catch (const OrderedJson::exception& e) {  // a syntax error, or a number out of range
        error =
            "not JSON (" + std::string(e.what()).substr(std::string(e.what()).find(' ') + 1) + ")";
        return false;
    }
    if (!request.is_object()) {
        error = "a request is a JSON object: {\"id\": 1, \"argv\": [\"list\"]}";
        return false;
    }
    const auto idField = request.find("id");
    if (idField != request.end() && (idField->is_number() || idField->is_string())) {
        id = *idField;
    }
    for (auto it = request.begin(); it != request.end(); ++it) {
        if (it.key() != "id" && it.key() != "argv") {
            error = "unknown field '" + it.key() + "' (a request has \"id\" and \"argv\")";
            return false;
        }
    }
    if (id.is_null()) {
        error = "the request has no \"id\" (a number or a text)";
        return false;
    }
    const auto words = request.find("argv");
    if (words == request.end() || !words->is_array() || words->empty()) {
        error = "the request has no \"argv\": the command and its arguments as a list of texts";
        return false;
    }
    std::vector<std::string> read;
    for (const OrderedJson& word : *words) {
        if (!word.is_string()) {
            error = "every word of \"argv\" is a text; " +
                    word.dump(-1, ' ', false, OrderedJson::error_handler_t::replace) + " is not";
            return false;
        }
        read.push_back(word.get<std::string>());
    }
    argv = std::move(read);
    return true;
}

RequestReader::RequestReader(std::istream& in, std::shared_ptr<LineChannel> channel)
    : shared_(std::make_shared<Shared>()) {
    thread_ = std::thread(readAll, std::ref(in), shared_, std::move(channel));
}

RequestReader::~RequestReader() {
    bool ended = false;
    {
        std::lock_guard<std::mutex> guard(shared_->mutex);
        ended = shared_->ended;
    }
    if (ended) {
        thread_.join();
    } else {
        thread_.detach();
    }
}

void RequestReader::readAll(std::istream& in, std::shared_ptr<Shared> shared,
                            std::shared_ptr<LineChannel> channel) {
    std::string text;
    bool tooLong = false;
    for (uint64_t line = 1; readLine(in, text, tooLong); ++line) {
        if (text.find_first_not_of(" \t") == std::string::npos && !tooLong) {
            continue;  // blank lines are let pass
        }
        Request request;
        request.line = line;
        if (tooLong) {
            request.error = "the line is longer than " + std::to_string(kMaxRequestLine) + " bytes";
        } else {
            parseRequest(text, request.id, request.argv, request.error);
        }
        if (request.error.empty() && request.argv.front() == "stop") {
            stop(*shared, *channel, request);
            continue;
        }
        std::lock_guard<std::mutex> guard(shared->mutex);
        shared->queue.push_back(std::move(request));
        shared->ready.notify_all();
    }
    std::lock_guard<std::mutex> guard(shared->mutex);
    shared->ended = true;
    shared->ready.notify_all();
}

void RequestReader::stop(Shared& shared, LineChannel& channel, const Request& request) {
    if (request.argv.size() > 1) {
        channel.write(
            {{"id", request.id},
             {"error", "'stop' takes no arguments, got " + std::to_string(request.argv.size() - 1)},
             {"exit", 2}});
        channel.write({{"id", request.id}, {"done", true}, {"exit", 2}});
        return;
    }
    {
        std::lock_guard<std::mutex> guard(shared.mutex);
        shared.stopBefore = request.line;
        if (shared.running != 0) {
            hostplat::requestStop();
        }
    }
    channel.write({{"id", request.id}, {"done", true}, {"exit", 0}});
}

bool RequestReader::next(Request& request, const std::function<bool()>& idle, unsigned pollMs) {
    std::unique_lock<std::mutex> lock(shared_->mutex);
    for (;;) {
        if (!shared_->queue.empty()) {
            request = std::move(shared_->queue.front());
            shared_->queue.pop_front();
            return true;
        }
        if (shared_->ended) {
            return false;
        }
        hostplat::clearStop();
        lock.unlock();
        if (!idle()) {
            return false;
        }
        lock.lock();
        shared_->ready.wait_for(lock, std::chrono::milliseconds(pollMs));
    }
}

bool RequestReader::begin(const Request& request) {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    if (request.line < shared_->stopBefore) {
        return false;
    }
    hostplat::clearStop();
    shared_->running = request.line;
    return true;
}

void RequestReader::end() {
    std::lock_guard<std::mutex> guard(shared_->mutex);
    shared_->running = 0;
    hostplat::clearStop();
}

}  // namespace host
