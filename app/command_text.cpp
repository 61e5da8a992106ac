#include "app/command_text.h"

#include <cstdint>
#include <optional>

namespace halvo {

std::vector<std::string_view> splitCommandLines(std::string_view data) {
    std::vector<std::string_view> lines;
    std::size_t begin = 0;
    while (begin < data.size()) {
        const std::size_t end = data.find('\n', begin);
        if (end == std::string_view::npos) {
            lines.push_back(data.substr(begin));
            break;
        }
        lines.push_back(data.substr(begin, end - begin));
        begin = end + 1;
    }
    return lines;
}

namespace {

struct Decoded {
    char32_t codePoint;
    std::size_t length;
};

// Decodes the code point at `at`, rejecting overlong forms, surrogates and values past U+10FFFF.
std::optional<Decoded> decodeAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(at);
    if (lead < 0x80) {
        return Decoded{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    char32_t minimum = 0;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, value = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, value = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, value = lead & 0x07, minimum = 0x10000;
    } else {
        return std::nullopt;
    }
    if (text.size() - at < length) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return std::nullopt;
        }
        value = (value << 6) | (byte(at + i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return std::nullopt;
    }
    return Decoded{value, length};
}

bool isWhitespaceOrNewline(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

}  // namespace

bool isValidUtf8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto decoded = decodeAt(text, at);
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
        const auto decoded = decodeAt(text, begin);
        if (!decoded || !isWhitespaceOrNewline(decoded->codePoint)) {
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
        const auto decoded = decodeAt(text, start);
        if (!decoded || !isWhitespaceOrNewline(decoded->codePoint)) {
            break;
        }
        end = start;
    }
    return text.substr(begin, end - begin);
}

}  // namespace halvo
