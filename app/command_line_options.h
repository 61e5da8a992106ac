#pragma once

#include <string>
#include <variant>

#include "capture/application_rule.h"

namespace halvo {

// Which capture service records: chosen at start-up, or forced with --backend.
enum class Backend { automatic, pulse, pipewire };

// What the command line asks of the helper. Without options it captures the whole output.
struct CommandLineOptions {
    ApplicationRule applications;
    bool listApplications = false;  // --list-apps: print who plays, capture nothing
    bool help = false;
    Backend backend = Backend::automatic;
};

struct UsageError {
    std::string message;  // one line, naming the option
};

// `arguments` as main() gets them, the program's name first.
std::variant<CommandLineOptions, UsageError> parseCommandLine(int argc, char* const argv[]);

// The text --help prints.
std::string helperUsage();

}  // namespace halvo
