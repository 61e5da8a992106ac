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

std::string decibelText(double amplitude) {
    const double db = toDbfs(amplitude);
    if (std::isinf(db)) {
        return "-inf dBFS";
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f dBFS", db);
    return text;
}

int printAnalysis(const std::string& path) {
    const ReadResult read = readSoundFile(path);
    if (!read.audio) {
        std::cerr << "halvo-record: " << read.error << "\n";
        return kExitOutputFile;
    }
    const DecodedAudio& audio = *read.audio;
    const Analysis analysis = analyze(audio);
    char length[64];
    std::snprintf(length, sizeof length, "%.3f s", analysis.seconds);
    std::cout << path << ": " << length << ", " << audio.sampleRate << " Hz, " << audio.channels
              << (audio.channels == 1 ? " channel, " : " channels, ") << audio.encoding << "\n";
    std::cout << "peak: " << decibelText(analysis.levels.peak)
              << ", rms: " << decibelText(analysis.levels.rms) << "\n";
    if (analysis.dominantHz) {
        char frequency[64];
        std::snprintf(frequency, sizeof frequency, "%.1f Hz", *analysis.dominantHz);
        std::cout << "dominant frequency: " << frequency << "\n";
    } else {
        std::cout << "dominant frequency: none\n";
    }
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
        case Options::Mode::record:
            break;
    }
    return record(options);
}
