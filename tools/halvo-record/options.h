#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/halvo-record/file_format.h"

namespace halvo::record {

struct Options {
    enum class Mode { record, listApplications, analyze, help, version };
    Mode mode = Mode::record;
    std::string output = "capture.wav";
    std::optional<FileFormat> format;  // nothing: by the output's extension
    std::optional<double> seconds;     // nothing: until interrupted
    // How long after the system stops the capture halvo-record keeps trying to resume it; 0:
    // the take ends at once.
    double retrySeconds = 60;
    std::string helper;   // empty: the installed helper
    std::string backend;  // "pulse" or "pipewire", passed on as --backend; empty: the helper's pick
    // "--only" or "--exclude" (one kind per run), passed on to the helper once for each of the
    // applications; empty: the whole output.
    std::string applicationOption;
    std::vector<std::string> applications;
    std::string analyzeFile;
};

struct ParsedOptions {
    std::optional<Options> options;
    std::string error;  // why the arguments were refused
};

// The format to write: the one asked for, else the one the output's name implies (parseOptions
// refuses a name that implies none), WAVE for standard output.
inline FileFormat outputFormat(const Options& options) {
    if (options.format || options.output == kStandardOutput) {
        return options.format.value_or(FileFormat::wav);
    }
    return formatForPath(options.output).value_or(FileFormat::wav);
}

// The output as messages name it.
inline std::string outputName(const Options& options) {
    return options.output == kStandardOutput ? "standard output" : options.output;
}

// main()'s arguments, read with getopt_long: clustered short options, "--name=value" and
// unambiguous abbreviations of long names work as in other GNU-style tools.
ParsedOptions parseOptions(int argc, char** argv);

std::string usageText();

}  // namespace halvo::record
