#include "tools/halvo-record/sound_file_reader.h"

#include <sndfile.h>

namespace halvo::record {

namespace {

std::string encodingOf(int format) {
    std::string container;
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
            container = "WAVE";
            break;
        case SF_FORMAT_FLAC:
            container = "FLAC";
            break;
        case SF_FORMAT_OGG:
            container = "Ogg";
            break;
        default:
            container = "audio";
            break;
    }
    switch (format & SF_FORMAT_SUBMASK) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            return container + " 8-bit integer";
        case SF_FORMAT_PCM_16:
            return container + " 16-bit integer";
        case SF_FORMAT_PCM_24:
            return container + " 24-bit integer";
        case SF_FORMAT_PCM_32:
            return container + " 32-bit integer";
        case SF_FORMAT_FLOAT:
            return container + " 32-bit float";
        case SF_FORMAT_DOUBLE:
            return container + " 64-bit float";
        case SF_FORMAT_OPUS:
            return container + " Opus";
        case SF_FORMAT_VORBIS:
            return container + " Vorbis";
        default:
            return container;
    }
}

}  // namespace

ReadResult readSoundFile(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) {
        return {std::nullopt, "cannot read " + path + ": " + sf_strerror(nullptr)};
    }
    DecodedAudio audio;
    audio.sampleRate = info.samplerate;
    audio.channels = info.channels;
    audio.encoding = encodingOf(info.format);
    // Read in blocks rather than by the announced length, which a cut file overstates.
    std::vector<float> block(static_cast<std::size_t>(4096 * info.channels));
    sf_count_t read = 0;
    while ((read = sf_readf_float(file, block.data(), 4096)) > 0) {
        audio.samples.insert(audio.samples.end(), block.begin(),
                             block.begin() + static_cast<std::ptrdiff_t>(read * info.channels));
    }
    sf_close(file);
    return {std::move(audio), {}};
}

}  // namespace halvo::record
