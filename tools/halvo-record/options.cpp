#include "tools/halvo-record/options.h"

#include <getopt.h>

#include <charconv>
#include <cmath>

namespace halvo::record {

namespace {

std::optional<double> parseSeconds(const std::string& text, bool zeroAllowed) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(value) ||
        value < 0 || (value == 0 && !zeroAllowed)) {
        return std::nullopt;
    }
    return value;
}

enum LongOnly : int { kRetryFor = 256, kHelper, kAnalyze, kOnly, kExclude, kListApps, kBackend };

constexpr option kOptions[] = {{"output", required_argument, nullptr, 'o'},
                               {"format", required_argument, nullptr, 'f'},
                               {"duration", required_argument, nullptr, 'd'},
                               {"retry-for", required_argument, nullptr, kRetryFor},
                               {"helper", required_argument, nullptr, kHelper},
                               {"analyze", required_argument, nullptr, kAnalyze},
                               {"only", required_argument, nullptr, kOnly},
                               {"exclude", required_argument, nullptr, kExclude},
                               {"list-apps", no_argument, nullptr, kListApps},
                               {"backend", required_argument, nullptr, kBackend},
                               {"help", no_argument, nullptr, 'h'},
                               {"version", no_argument, nullptr, 'V'},
                               {nullptr, 0, nullptr, 0}};

// "--output" for 'o': errors name an option by its long name however it was given.
std::string nameOf(int code) {
    for (const option& entry : kOptions) {
        if (entry.val == code && entry.name != nullptr) {
            return std::string("--") + entry.name;
        }
    }
    return std::string("-") + static_cast<char>(code);
}

}  // namespace

std::string usageText() {
    return "Usage: halvo-record [-o FILE] [-f FORMAT] [-d SECONDS] [--retry-for SECONDS]\n"
           "                   [--only APP]... | [--exclude APP]...\n"
           "       halvo-record --list-apps\n"
           "       halvo-record --analyze FILE\n"
           "Records the audio the whole system is playing into a sound file: WAVE (32-bit\n"
           "float), FLAC or Ogg/Opus.\n"
           "\n"
           "  -o, --output FILE       write to FILE (default: capture.wav; -: standard output)\n"
           "  -f, --format FORMAT     wav, flac or opus (default: by FILE's extension: .wav,\n"
           "                          .wave, .flac, .opus or .ogg; WAVE without one)\n"
           "  -d, --duration SECONDS  stop after SECONDS of audio (default: until Ctrl-C)\n"
           "      --retry-for SECONDS when the system stops the capture (sound server\n"
           "                          restarted), try to resume it for up to SECONDS, the gap\n"
           "                          filled with silence (default: 60; 0: end the take)\n"
           "      --only APP          record just this application (more than once: each)\n"
           "      --exclude APP       record all but this application (more than once: each)\n"
           "                          APP: a process id (with its child processes) or a name,\n"
           "                          matched in any case against the application's name or\n"
           "                          binary\n"
           "      --list-apps         print the applications playing now (process id, name,\n"
           "                          binary; tab-separated), then exit\n"
           "      --backend SERVICE   have the helper record through pulse or pipewire\n"
           "                          (default: the helper picks)\n"
           "      --helper PATH       run the capture helper at PATH instead of the installed\n"
           "                          halvo-audio-helper\n"
           "      --analyze FILE      print length, encoding and levels of a sound file, then\n"
           "                          exit\n"
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

ParsedOptions parseOptions(int argc, char** argv) {
    Options options;
    opterr = 0;  // the messages below, in halvo-record's own form
    for (int code; (code = ::getopt_long(argc, argv, ":o:f:d:hV", kOptions, nullptr)) != -1;) {
        const std::string value = optarg != nullptr ? optarg : "";
        if (code == ':' || (optarg != nullptr && value.empty())) {
            return {std::nullopt,
                    "option " + nameOf(code == ':' ? optopt : code) + " needs a value"};
        }
        switch (code) {
            case 'o':
                options.output = value;
                break;
            case 'f':
                if (!(options.format = formatNamed(value))) {
                    return {std::nullopt, "unknown format '" + value + "': give wav, flac or opus"};
                }
                break;
            case 'd':
                if (!(options.seconds = parseSeconds(value, false))) {
                    return {std::nullopt,
                            "invalid duration '" + value + "': give a positive number of seconds"};
                }
                break;
            case kRetryFor:
                if (const auto retry = parseSeconds(value, true)) {
                    options.retrySeconds = *retry;
                    break;
                }
                return {std::nullopt,
                        "invalid retry time '" + value + "': give a number of seconds, 0 or more"};
            case kHelper:
                options.helper = value;
                break;
            case kBackend:
                if (value != "pulse" && value != "pipewire") {
                    return {std::nullopt,
                            "unknown backend '" + value + "': give pulse or pipewire"};
                }
                options.backend = value;
                break;
            case kOnly:
            case kExclude:
                if (!options.applicationOption.empty() &&
                    options.applicationOption != nameOf(code)) {
                    return {std::nullopt, "options --only and --exclude cannot be combined"};
                }
                options.applicationOption = nameOf(code);
                options.applications.push_back(value);
                break;
            case kListApps:
                options.mode = Options::Mode::listApplications;
                break;
            case kAnalyze:
                options.mode = Options::Mode::analyze;
                options.analyzeFile = value;
                break;
            case 'h':
            case 'V': {
                Options information;
                information.mode = code == 'h' ? Options::Mode::help : Options::Mode::version;
                return {std::move(information), {}};
            }
            default:  // '?': unknown, or a value given to an option that takes none
                return {std::nullopt,
                        optopt == 'h' || optopt == 'V'
                            ? "option " + nameOf(optopt) + " takes no value"
                            : "unknown or ambiguous option " + std::string(argv[optind - 1])};
        }
    }
    if (optind < argc) {
        return {std::nullopt, "unexpected argument '" + std::string(argv[optind]) + "'"};
    }
    if (options.mode == Options::Mode::listApplications && !options.applications.empty()) {
        return {std::nullopt, "option --list-apps takes no " + options.applicationOption};
    }
    if (options.mode == Options::Mode::record && !options.format &&
        options.output != kStandardOutput && !formatForPath(options.output)) {
        return {std::nullopt, "unknown file extension in '" + options.output + "': give " +
                                  kKnownExtensions + " (none: WAVE), or --format"};
    }
    return {std::move(options), {}};
}

}  // namespace halvo::record
