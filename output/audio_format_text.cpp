#include "output/audio_format_text.h"

#include <charconv>

namespace halvo {

std::string formatSampleRate(double rate) {
    // Fixed notation without a precision gives the shortest round-trip digits; the largest
    // double needs 309 digits before the point.
    char digits[400];
    const auto result =
        std::to_chars(digits, digits + sizeof digits, rate, std::chars_format::fixed);
    std::string text(digits, result.ptr);
    const bool finite = text.find_first_of("ni") == std::string::npos;  // not "inf" or "nan"
    if (finite && text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

}  // namespace halvo
