#include "platform/printable_text.h"

#include <cstdint>

namespace halvo::platform {

std::optional<CodePoint> decodeUtf8(std::string_view text) {
    if (text.empty()) {
        return std::nullopt;
    }
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    if (lead < 0x80) {
        return CodePoint{lead, 1};
    }
    std::size_t length = 0;
    char32_t value = 0;
    std::uint8_t low = 0x80;  // the range the second byte must be in
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;   // overlong below U+0800
        high = lead == 0xED ? 0x9F : 0xBF;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;   // overlong below U+10000
        high = lead == 0xF4 ? 0x8F : 0xBF;  // above U+10FFFF
    } else {
        return std::nullopt;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return std::nullopt;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return std::nullopt;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    return CodePoint{value, length};
}

namespace {

void appendHexEscape(std::string& out, std::uint8_t byte) {
    constexpr char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0F];
}

}  // namespace

std::string printableText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<std::uint8_t>(text[at]);
        if (byte >= 0x80) {
            if (const auto decoded = decodeUtf8(text.substr(at))) {
                out.append(text.substr(at, decoded->length));
                at += decoded->length;
            } else {
                appendHexEscape(out, byte);
                ++at;
            }
            continue;
        }
        switch (byte) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    appendHexEscape(out, byte);
                } else {
                    out += static_cast<char>(byte);
                }
                break;
        }
        ++at;
    }
    return out;
}

}  // namespace halvo::platform
