#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace halvo::platform {

struct CodePoint {
    char32_t value;
    std::size_t length;  // bytes
};

// The code point that `text` starts with, or nothing when `text` does not start with valid UTF-8:
// no overlong form, no surrogate, nothing above U+10FFFF, no truncated sequence.
std::optional<CodePoint> decodeUtf8(std::string_view text);

// `text` made safe to put inside one line for people: line feed, carriage return, tab and
// backslash become \n, \r, \t and \\; every other control byte (below 0x20, and 0x7F) and every
// byte that is not part of valid UTF-8 becomes \xNN (two lowercase hex digits). Valid UTF-8
// above 0x7F stays as it is. The result never holds a control byte and is valid UTF-8.
std::string printableText(std::string_view text);

}  // namespace halvo::platform
