// The text helpers of the bias module's command protocol: trimming, cutting a text at any of a
// set of characters, and reading a reply field as hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace HwHvSrc {

// Line ending the module puts after the closing bracket of every answer.
extern const char kBiasReplyEnd[3];
// Every answer is read into a buffer of this size.
constexpr size_t kBiasReceiveBufferSize = 1048576;
constexpr double kBiasWriteTimeout = 2.0;
constexpr double kBiasReceiveTimeout = 1.0;

// Removes every leading and trailing character that belongs to `set`.
std::string trimChars(const std::string& text, const std::string& set);

// Cuts the text at every character of `delimiters`, keeping the pieces in order; empty pieces
// are dropped when `dropEmpty` is set.
std::vector<std::string> splitAny(const std::string& text, const std::string& delimiters,
                                  bool dropEmpty);

// The reply lines of a received answer: its text up to the first zero byte among the `count`
// bytes, cut at every ")" (empty pieces dropped), each with its ")" put back.
std::vector<std::string> replyLines(const char* data, size_t count);
// The fields of an answer: those of its first line that begins with "(" after leading blanks
// (else of its last line), without the first and last character, cut at ";" with empty fields
// dropped. None when no line is left or it has no room for two brackets.
std::vector<std::string> replyFields(const std::vector<std::string>& lines);

// A reply field read as hexadecimal: 0 for a length that is odd, below 2 or above 8; otherwise
// the hex digits from the first character up to the first other one (0 when none).
uint32_t parseHexField(const std::string& text);

// A status field reports success when it reads as 0.
inline bool statusOk(const std::string& field) {
    return parseHexField(field) == 0;
}

// The low 16 bits of a field as a signed number (readings and limits are carried in tenths).
inline int32_t signedTenths(const std::string& field) {
    const int32_t low = static_cast<int32_t>(parseHexField(field) & 0xFFFFu);
    return low >= 0x8000 ? low - 0x10000 : low;
}

}  // namespace HwHvSrc
