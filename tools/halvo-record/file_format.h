#pragma once

#include <optional>
#include <string>

namespace halvo::record {

// The kinds of file halvo-record writes.
enum class FileFormat {
    wav,   // 32-bit IEEE float WAVE: the helper's samples unchanged
    flac,  // lossless, 24-bit
    opus,  // Ogg/Opus, lossy
};

// The format a --format value names ("wav", "flac", "opus"), case ignored.
std::optional<FileFormat> formatNamed(const std::string& name);
// The format a file name's extension asks for, case ignored: .wav or .wave, .flac, .opus or
// .ogg; a name without an extension is WAVE; nothing for any other extension (.mp3), which
// halvo-record cannot write.
std::optional<FileFormat> formatForPath(const std::string& path);
// The output name that stands for standard output.
constexpr const char* kStandardOutput = "-";
// The extensions formatForPath() knows, for messages: ".wav, .wave, .flac, .opus or .ogg".
constexpr const char* kKnownExtensions = ".wav, .wave, .flac, .opus or .ogg";
// The libsndfile SF_FORMAT_* value (container and encoding) of a format.
int libsndfileFormat(FileFormat format);
// "WAVE", "FLAC", "Ogg/Opus".
std::string formatTitle(FileFormat format);
// Whether the libsndfile this program runs with can write the format at this rate and channel
// count (Opus, for one, came late and takes only some rates).
bool canWrite(FileFormat format, int sampleRate, int channels);

}  // namespace halvo::record
