#include "app/helper_options.h"

#include <string_view>

#include "platform/printable_text.h"

namespace halvo {

namespace {

// Both spellings: "--only NAME" and "--only=NAME".
struct Argument {
    std::string_view option;
    std::string_view value;
    bool hasValue = false;
};

Argument split(std::string_view argument) {
    const std::size_t equals = argument.find('=');
    if (equals == std::string_view::npos) {
        return {argument, {}, false};
    }
    return {argument.substr(0, equals), argument.substr(equals + 1), true};
}

}  // namespace

std::variant<HelperOptions, UsageError> parseHelperOptions(int argc, char* const argv[]) {
    HelperOptions options;
    for (int index = 1; index < argc; ++index) {
        const Argument argument = split(argv[index]);
        if (argument.option == "--help" && !argument.hasValue) {
            options.help = true;
        } else if (argument.option == "--list-apps" && !argument.hasValue) {
            options.listApplications = true;
        } else if (argument.option == "--backend") {
            std::string_view value = argument.value;
            if (!argument.hasValue) {
                if (index + 1 == argc) {
                    return UsageError{"--backend needs pulse or pipewire"};
                }
                value = argv[++index];
            }
            if (value == "pulse") {
                options.backend = Backend::pulse;
            } else if (value == "pipewire") {
                options.backend = Backend::pipewire;
            } else {
                return UsageError{"--backend needs pulse or pipewire, not " +
                                  platform::printableText(value)};
            }
        } else if (argument.option == "--only" || argument.option == "--exclude") {
            const auto kind = argument.option == "--only" ? ApplicationRule::Kind::only
                                                          : ApplicationRule::Kind::exclude;
            std::string_view value = argument.value;
            if (!argument.hasValue) {
                if (index + 1 == argc) {
                    return UsageError{std::string(argument.option) + " needs an application"};
                }
                value = argv[++index];
            }
            if (value.empty()) {
                return UsageError{std::string(argument.option) + " needs an application"};
            }
            if (options.applications.kind != ApplicationRule::Kind::everything &&
                options.applications.kind != kind) {
                return UsageError{std::string(argument.option) +
                                  " cannot be combined with the other kind (--only, --exclude)"};
            }
            options.applications.kind = kind;
            options.applications.applications.emplace_back(value);
        } else {
            return UsageError{"unknown option " + platform::printableText(argv[index])};
        }
    }
    if (options.listApplications &&
        options.applications.kind != ApplicationRule::Kind::everything) {
        return UsageError{"--list-apps captures nothing and takes no --only or --exclude"};
    }
    return options;
}

std::string helperUsage() {
    return "usage: halvo-audio-helper [--backend pulse|pipewire]\n"
           "                          [--only APP]... | [--exclude APP]... | --list-apps\n"
           "\n"
           "Captures the sound the system plays and writes it to standard output as\n"
           "32-bit float PCM; commands START, STOP and QUIT arrive on standard input.\n"
           "\n"
           "  --only APP      record just this application (may be given more than once)\n"
           "  --exclude APP   record all but this application (may be given more than once)\n"
           "  --list-apps     print the applications playing now (process id, name and\n"
           "                  binary, tab-separated, one line each) and exit\n"
           "  --backend pulse|pipewire\n"
           "                  record through the PulseAudio protocol (libpulse) or on the\n"
           "                  PipeWire daemon itself; without it the helper picks one\n"
           "  --help          print this text and exit\n"
           "\n"
           "APP is a process id (all digits; its child processes are included) or a name,\n"
           "matched without regard to case against the application's name or its binary.\n"
           "Sandboxed applications (Flatpak, Snap) report process ids from inside their\n"
           "sandbox: by id they may not match, by name they do.\n";
}

}  // namespace halvo
