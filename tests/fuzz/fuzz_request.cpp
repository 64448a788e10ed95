// A session's hostile input: any bytes as a request line are either a request (an id that is a
// number or a text, argv a non-empty list of texts) or refused with a reason, never an exception;
// and any line a command prints comes back as one JSON object with the id first.
#include "fuzz_support.h"
#include "session/LineChannel.h"
#include "session/RequestReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    host::OrderedJson id;
    std::vector<std::string> argv;
    std::string error;
    if (host::parseRequest(text, id, argv, error)) {
        FUZZ_CHECK(error.empty() && !argv.empty() && (id.is_number() || id.is_string()));
    } else {
        FUZZ_CHECK(!error.empty() && argv.empty());
    }
    const host::OrderedJson tagged = host::tagResult(id, text);
    FUZZ_CHECK(tagged.is_object() && tagged.begin().key() == "id" && tagged["id"] == id);
    const std::string line =
        tagged.dump(-1, ' ', false, host::OrderedJson::error_handler_t::replace);
    FUZZ_CHECK(line.find('\n') == std::string::npos);
    FUZZ_CHECK(host::OrderedJson::parse(line, nullptr, false).is_object());
    return 0;
}
