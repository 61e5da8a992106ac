#pragma once

#include <cstdint>
#include <string>

namespace halvo {

// The shortest decimal that reads back as `rate`, in plain notation, with at least one digit
// after the point: 48000 -> "48000.0", 22050.5 -> "22050.5", 1e22 -> "10000000000000000000000.0".
std::string formatSampleRate(double rate);

// Whole kibibytes in `bytes`, the remainder dropped.
constexpr std::uint64_t wholeKilobytes(std::uint64_t bytes) {
    return bytes >> 10;
}

}  // namespace halvo
