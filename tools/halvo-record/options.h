#pragma once

#include <optional>
#include <string>
#include <vector>

namespace halvo::record {

struct Options {
    enum class Mode { record, analyze, help, version };
    Mode mode = Mode::record;
    std::string output = "capture.wav";
    std::optional<double> seconds;  // nothing: until interrupted
    std::string helper;             // empty: the installed helper
    std::string analyzeFile;
};

struct ParsedOptions {
    std::optional<Options> options;
    std::string error;  // why the arguments were refused
};

// `arguments` without the program name.
ParsedOptions parseOptions(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace halvo::record
