// halvo-record: records the system's audio through halvo-audio-helper into a sound file.
#include <cmath>
#include <cstdio>
#include <iostream>
#include <string>

#include "tools/halvo-record/exit_status.h"
#include "tools/halvo-record/levels.h"
#include "tools/halvo-record/options.h"
#include "tools/halvo-record/recorder.h"
#include "tools/halvo-record/sound_file_reader.h"

namespace {

using namespace halvo::record;

// "-6.0 dBFS"; silence is "-inf dBFS".
std::string decibelText(double amplitude) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", toDbfs(amplitude));
    return text;
}

int printAnalysis(const std::string& path) {
    const ReadResult read = readSoundFile(path);
    if (!read.audio) {
        std::cerr << "halvo-record: " << read.error << "\n";
        return kExitOutputFile;
    }
    const DecodedAudio& audio = *read.audio;
    LevelMeter meter;
    meter.add(audio.samples);
    const Levels levels = meter.take();
    char length[64];
    std::snprintf(
        length, sizeof length, "%.3f s",
        audio.sampleRate == 0 ? 0.0 : static_cast<double>(audio.frames()) / audio.sampleRate);
    std::cout << path << ": " << length << ", " << audio.sampleRate << " Hz, " << audio.channels
              << (audio.channels == 1 ? " channel, " : " channels, ") << audio.encoding << "\n"
              << "peak: " << decibelText(levels.peak) << ", rms: " << decibelText(levels.rms)
              << "\n";
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    const ParsedOptions parsed = parseOptions(argc, argv);
    if (!parsed.options) {
        std::cerr << "halvo-record: " << parsed.error << "\n"
                  << "Try 'halvo-record --help' for more information.\n";
        return kExitUsage;
    }
    const Options& options = *parsed.options;
    switch (options.mode) {
        case Options::Mode::help:
            std::cout << usageText();
            return kExitOk;
        case Options::Mode::version:
            std::cout << "halvo-record " HALVO_RECORD_VERSION "\n";
            return kExitOk;
        case Options::Mode::analyze:
            return printAnalysis(options.analyzeFile);
        case Options::Mode::listApplications:
            return listApplications(options);
        case Options::Mode::record:
            break;
    }
    return record(options);
}
