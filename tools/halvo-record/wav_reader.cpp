#include "tools/halvo-record/wav_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace halvo::record {

namespace {

constexpr std::uint16_t kFormatPcm = 1;
constexpr std::uint16_t kFormatIeeeFloat = 3;
constexpr std::uint16_t kFormatExtensible = 0xFFFE;

std::uint32_t get(const std::string& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

WavReadResult invalid(const std::string& path, const std::string& why) {
    return {std::nullopt, path + ": " + why};
}

}  // namespace

WavReadResult readWav(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return {std::nullopt, "cannot read " + path + ": " + std::strerror(errno)};
    }
    const std::string bytes((std::istreambuf_iterator<char>(file)),
                            std::istreambuf_iterator<char>());
    if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) {
        return invalid(path, "not a WAVE file");
    }
    WavAudio audio;
    std::uint16_t tag = 0;
    bool haveFormat = false;
    std::size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const std::string id = bytes.substr(at, 4);
        const std::size_t size = get(bytes, at + 4, 4);
        const std::size_t body = at + 8;
        if (id == "fmt ") {
            if (size < 16 || body + size > bytes.size()) {
                return invalid(path, "truncated format chunk");
            }
            tag = static_cast<std::uint16_t>(get(bytes, body, 2));
            audio.channels = static_cast<std::uint16_t>(get(bytes, body + 2, 2));
            audio.sampleRate = get(bytes, body + 4, 4);
            audio.bitsPerSample = static_cast<std::uint16_t>(get(bytes, body + 14, 2));
            if (tag == kFormatExtensible && size >= 40) {
                tag = static_cast<std::uint16_t>(get(bytes, body + 24, 2));  // sub-format
            }
            haveFormat = true;
        } else if (id == "data") {
            if (!haveFormat) {
                return invalid(path, "data before format");
            }
            audio.isFloat = tag == kFormatIeeeFloat && audio.bitsPerSample == 32;
            const bool isPcm16 = tag == kFormatPcm && audio.bitsPerSample == 16;
            if (!(audio.isFloat || isPcm16) || audio.channels == 0 || audio.sampleRate == 0) {
                return invalid(path, "only 32-bit float and 16-bit integer WAVE files are read");
            }
            const std::size_t available = std::min(size, bytes.size() - body);
            const std::size_t width = audio.bitsPerSample / 8;
            const std::size_t blockAlign = width * audio.channels;
            const std::size_t count = available / blockAlign * audio.channels;
            audio.samples.resize(count);
            for (std::size_t i = 0; i < count; ++i) {
                const std::uint32_t raw = get(bytes, body + i * width, static_cast<int>(width));
                if (audio.isFloat) {
                    std::memcpy(&audio.samples[i], &raw, sizeof raw);
                } else {
                    audio.samples[i] = static_cast<float>(static_cast<std::int16_t>(raw)) / 32768;
                }
            }
            return {std::move(audio), {}};
        }
        at = body + size + (size % 2);
    }
    return invalid(path, "no data chunk");
}

}  // namespace halvo::record
