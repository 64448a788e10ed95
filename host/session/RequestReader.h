// The session's input: a thread reads the request lines while the commands run, queues them in
// order, and answers "stop" at once, so that a stop reaches a ramp or monitor that is running.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <istream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "session/LineChannel.h"

namespace host {

struct Request {
    uint64_t line = 0;  // its line in the input, from 1
    OrderedJson id;     // null when the line had none that could be read
    std::vector<std::string> argv;
    std::string error;  // not empty: the line is refused as it stands (exit 2)
};

// Reads one request line: {"id": NUMBER or TEXT, "argv": [TEXT, ...]}. False with the reason;
// `id` is filled whenever the line has one.
bool parseRequest(const std::string& text, OrderedJson& id, std::vector<std::string>& argv,
                  std::string& error);

class RequestReader {
public:
    // Starts reading `in` at once. `in` must stay readable until the reader is destroyed, or for
    // the whole process when the session ends before its input does (see the destructor).
    RequestReader(std::istream& in, std::shared_ptr<LineChannel> channel);
    // Joins the thread when the input has ended; else (the session ends on a signal or a lost
    // output while the thread waits for a line that may never come) leaves it to end with the
    // process: it then touches nothing but what it shares with this object.
    ~RequestReader();
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

    // The next request, in the order of the input. Waits for one; every `pollMs` while waiting,
    // `idle` is called and the wait given up when it returns false. False too when the input
    // has ended and every request was taken. A Ctrl-C while nothing runs is let go.
    bool next(Request& request, const std::function<bool()>& idle, unsigned pollMs);
    // The request taken last begins: false when a stop read after it already cancelled it.
    // While it runs, a stop raises the interrupt flag the commands watch.
    bool begin(const Request& request);
    // It ended: the flag is lowered again.
    void end();

private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Request> queue;
        bool ended = false;       // the input has ended
        uint64_t stopBefore = 0;  // requests on lines before this one are stopped
        uint64_t running = 0;     // the line of the running request; 0: none
    };
    static void readAll(std::istream& in, std::shared_ptr<Shared> shared,
                        std::shared_ptr<LineChannel> channel);
    // A "stop" line: stops what runs and what waits, and answers at once.
    static void stop(Shared& shared, LineChannel& channel, const Request& request);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace host
