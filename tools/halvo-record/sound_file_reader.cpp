#include "tools/halvo-record/sound_file_reader.h"

#include <sndfile.h>

#include <map>

namespace halvo::record {

namespace {

// As people say it: "WAVE 32-bit float", "FLAC 24-bit integer", "Ogg Opus".
std::string encodingOf(int format) {
    static const std::map<int, std::string> kContainers{{SF_FORMAT_WAV, "WAVE"},
                                                        {SF_FORMAT_WAVEX, "WAVE"},
                                                        {SF_FORMAT_FLAC, "FLAC"},
                                                        {SF_FORMAT_OGG, "Ogg"}};
    static const std::map<int, std::string> kEncodings{
        {SF_FORMAT_PCM_S8, " 8-bit integer"},  {SF_FORMAT_PCM_U8, " 8-bit integer"},
        {SF_FORMAT_PCM_16, " 16-bit integer"}, {SF_FORMAT_PCM_24, " 24-bit integer"},
        {SF_FORMAT_PCM_32, " 32-bit integer"}, {SF_FORMAT_FLOAT, " 32-bit float"},
        {SF_FORMAT_DOUBLE, " 64-bit float"},   {SF_FORMAT_OPUS, " Opus"},
        {SF_FORMAT_VORBIS, " Vorbis"}};
    const auto container = kContainers.find(format & SF_FORMAT_TYPEMASK);
    const auto encoding = kEncodings.find(format & SF_FORMAT_SUBMASK);
    return (container != kContainers.end() ? container->second : "audio") +
           (encoding != kEncodings.end() ? encoding->second : "");
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
