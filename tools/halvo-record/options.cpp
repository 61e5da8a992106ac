#include "tools/halvo-record/options.h"

#include <charconv>
#include <cmath>

namespace halvo::record {

namespace {

std::optional<double> parseSeconds(const std::string& text, bool zeroAllowed = false) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < 0 || (value == 0 && !zeroAllowed)) {
        return std::nullopt;
    }
    return value;
}

}  // namespace

std::string usageText() {
    return "Usage: halvo-record [-o FILE] [-f FORMAT] [-d SECONDS] [--retry-for SECONDS]\n"
           "       halvo-record --analyze FILE\n"
           "Records the audio the whole system is playing into a sound file: WAVE (32-bit\n"
           "float), FLAC or Ogg/Opus.\n"
           "\n"
           "  -o, --output FILE       write to FILE (default: capture.wav)\n"
           "  -f, --format FORMAT     wav, flac or opus (default: by FILE's extension, .flac,\n"
           "                          .opus or .ogg; WAVE for any other)\n"
           "  -d, --duration SECONDS  stop after SECONDS of audio (default: until Ctrl-C)\n"
           "      --retry-for SECONDS when the system stops the capture (sound server\n"
           "                          restarted), try to resume it for up to SECONDS, the gap\n"
           "                          filled with silence (default: 60; 0: end the take)\n"
           "      --helper PATH       run the capture helper at PATH instead of the installed\n"
           "                          halvo-audio-helper\n"
           "      --analyze FILE      print length, levels and dominant frequency of a sound\n"
           "                          file, then exit\n"
           "  -h, --help              show this help and exit\n"
           "  -V, --version           show the version and exit\n"
           "\n"
           "On a terminal, a status line shows time, size and the level; Space pauses and\n"
           "resumes; Ctrl-C ends the recording and keeps the file.\n"
           "Exit status: 0 ok, 1 usage, 2 helper not found, 3 permission denied or no sound\n"
           "server, 4 no display, 5 capture failed to start, 6 stream stopped by the system\n"
           "and not resumed, 7 output file error, 8 helper ended unexpectedly, 9 capture\n"
           "resumed in another format.\n";
}

ParsedOptions parseOptions(const std::vector<std::string>& arguments) {
    Options options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> value;
        if (name.starts_with("--") && name.find('=') != std::string::npos) {
            value = name.substr(name.find('=') + 1);
            name = name.substr(0, name.find('='));
        }
        const auto takeValue = [&]() -> std::optional<std::string> {
            if (value) {
                return value;
            }
            if (i + 1 < arguments.size()) {
                return arguments[++i];
            }
            return std::nullopt;
        };
        const bool takesValue = name == "-o" || name == "--output" || name == "-d" ||
                                name == "--duration" || name == "--helper" || name == "--analyze" ||
                                name == "-f" || name == "--format" || name == "--retry-for";
        if (takesValue) {
            const auto given = takeValue();
            if (!given || given->empty()) {
                return {std::nullopt, "option " + name + " needs a value"};
            }
            if (name == "-o" || name == "--output") {
                options.output = *given;
            } else if (name == "-d" || name == "--duration") {
                options.seconds = parseSeconds(*given);
                if (!options.seconds) {
                    return {std::nullopt,
                            "invalid duration '" + *given + "': give a positive number of seconds"};
                }
            } else if (name == "--retry-for") {
                const auto retry = parseSeconds(*given, true);
                if (!retry) {
                    return {std::nullopt, "invalid retry time '" + *given +
                                              "': give a number of seconds, 0 or more"};
                }
                options.retrySeconds = *retry;
            } else if (name == "-f" || name == "--format") {
                options.format = formatNamed(*given);
                if (!options.format) {
                    return {std::nullopt,
                            "unknown format '" + *given + "': give wav, flac or opus"};
                }
            } else if (name == "--helper") {
                options.helper = *given;
            } else {
                options.mode = Options::Mode::analyze;
                options.analyzeFile = *given;
            }
        } else if (value) {
            return {std::nullopt, "option " + name + " takes no value"};
        } else if (name == "-h" || name == "--help" || name == "-V" || name == "--version") {
            Options information;
            information.mode =
                name == "-h" || name == "--help" ? Options::Mode::help : Options::Mode::version;
            return {std::move(information), {}};
        } else if (name.starts_with("-")) {
            return {std::nullopt, "unknown option " + name};
        } else {
            return {std::nullopt, "unexpected argument '" + name + "'"};
        }
    }
    return {std::move(options), {}};
}

}  // namespace halvo::record
