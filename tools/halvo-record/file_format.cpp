#include "tools/halvo-record/file_format.h"

#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <map>

namespace halvo::record {

namespace {

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

}  // namespace

std::optional<FileFormat> formatNamed(const std::string& name) {
    static const std::map<std::string, FileFormat> kNames{{"wav", FileFormat::wav},
                                                          {"wave", FileFormat::wav},
                                                          {"flac", FileFormat::flac},
                                                          {"opus", FileFormat::opus}};
    const auto found = kNames.find(lowercase(name));
    return found != kNames.end() ? std::optional(found->second) : std::nullopt;
}

std::optional<FileFormat> formatForPath(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) {
        return FileFormat::wav;  // no extension ("take", ".take")
    }
    static const std::map<std::string, FileFormat> kExtensions{{"wav", FileFormat::wav},
                                                               {"wave", FileFormat::wav},
                                                               {"flac", FileFormat::flac},
                                                               {"opus", FileFormat::opus},
                                                               {"ogg", FileFormat::opus}};
    const auto found = kExtensions.find(lowercase(name.substr(dot + 1)));
    return found != kExtensions.end() ? std::optional(found->second) : std::nullopt;
}

int libsndfileFormat(FileFormat format) {
    switch (format) {
        case FileFormat::flac:
            return SF_FORMAT_FLAC | SF_FORMAT_PCM_24;
        case FileFormat::opus:
            return SF_FORMAT_OGG | SF_FORMAT_OPUS;
        case FileFormat::wav:
            break;
    }
    return SF_FORMAT_WAV | SF_FORMAT_FLOAT;
}

std::string formatTitle(FileFormat format) {
    switch (format) {
        case FileFormat::flac:
            return "FLAC";
        case FileFormat::opus:
            return "Ogg/Opus";
        case FileFormat::wav:
            break;
    }
    return "WAVE";
}

bool canWrite(FileFormat format, int sampleRate, int channels) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = libsndfileFormat(format);
    return sf_format_check(&info) != 0;
}

}  // namespace halvo::record
