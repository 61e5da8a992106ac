#include "app/command_text.h"

#include <cstdint>

#include "platform/printable_text.h"

namespace halvo {

namespace {

bool isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto decoded = platform::decodeUtf8(text.substr(at));
        if (!decoded) {
            return false;
        }
        at += decoded->length;
    }
    return true;
}

std::string_view trimWhitespace(std::string_view text) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto decoded = platform::decodeUtf8(text.substr(begin));
        if (!decoded || !isWhitespaceOrNewline(decoded->value)) {
            break;
        }
        begin += decoded->length;
    }
    std::size_t end = text.size();
    while (end > begin) {
        // Step back to the start of the last code point.
        std::size_t start = end - 1;
        while (start > begin && (static_cast<std::uint8_t>(text[start]) & 0xC0) == 0x80) {
            --start;
        }
        const auto decoded = platform::decodeUtf8(text.substr(start));
        if (!decoded || !isWhitespaceOrNewline(decoded->value)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace halvo
