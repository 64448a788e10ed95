#include "session/LineChannel.h"

namespace host {

bool LineChannel::write(const OrderedJson& object) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_ || lost_) {
        return false;
    }
    // Texts from devices are not always UTF-8: replace what is not, rather than fail.
    out_ << object.dump(-1, ' ', false, OrderedJson::error_handler_t::replace) << "\n";
    out_.flush();
    lost_ = !out_.good();
    return !lost_;
}

bool LineChannel::lost() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return lost_;
}

void LineChannel::close() {
    std::lock_guard<std::mutex> guard(mutex_);
    closed_ = true;
}

void LineBuffer::finish() {
    if (!line_.empty()) {
        onLine_(line_);
        line_.clear();
    }
}

LineBuffer::int_type LineBuffer::overflow(int_type c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    const char ch = traits_type::to_char_type(c);
    if (ch == '\n' || line_.size() >= kMaxLine) {
        onLine_(line_);
        line_.clear();
    }
    if (ch != '\n') {
        line_ += ch;
    }
    return c;
}

std::streamsize LineBuffer::xsputn(const char* text, std::streamsize count) {
    for (std::streamsize i = 0; i < count; ++i) {
        overflow(traits_type::to_int_type(text[i]));
    }
    return count;
}

OrderedJson tagResult(const OrderedJson& id, const std::string& line) {
    OrderedJson tagged = {{"id", id}};
    const OrderedJson object = OrderedJson::parse(line, nullptr, false);
    if (!object.is_object()) {
        tagged["text"] = line;
        return tagged;
    }
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (it.key() != "id") {
            tagged[it.key()] = it.value();
        }
    }
    return tagged;
}

}  // namespace host
