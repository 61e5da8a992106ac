#include "app/command_line_options.h"

#include <getopt.h>

#include <string_view>

#include "platform/printable_text.h"

namespace halvo {

namespace {

enum Option : int { kHelp = 256, kListApps, kBackend, kOnly, kExclude };

const ::option kOptions[] = {{"help", no_argument, nullptr, kHelp},
                             {"list-apps", no_argument, nullptr, kListApps},
                             {"backend", required_argument, nullptr, kBackend},
                             {"only", required_argument, nullptr, kOnly},
                             {"exclude", required_argument, nullptr, kExclude},
                             {nullptr, 0, nullptr, 0}};

// getopt_long takes "--on" for "--only"; a parent that misspells an option gets told instead.
bool spelledOut(std::string_view argument, const ::option& option) {
    return argument.substr(2, argument.find('=') - 2) == option.name;
}

std::string nameOf(int option) {
    for (const ::option& each : kOptions) {
        if (each.val == option) {
            return std::string("--") + each.name;
        }
    }
    return "the option";
}

}  // namespace

std::variant<CommandLineOptions, UsageError> parseCommandLine(int argc, char* const argv[]) {
    CommandLineOptions options;
    ::opterr = 0;  // the helper words its own usage errors
    ::optind = 0;  // from the start, however often it is called
    for (;;) {
        const int at = ::optind == 0 ? 1 : ::optind;
        int index = -1;
        // "-": arguments that are not options come in order, as code 1, and are refused; ":":
        // a missing value is told apart from an unknown option.
        const int option = ::getopt_long(argc, argv, "-:", kOptions, &index);
        if (option == -1) {
            break;
        }
        if (option == '?' || option == 1 ||
            (index >= 0 && !spelledOut(argv[at], kOptions[index]))) {
            return UsageError{"unknown option " + platform::printableText(argv[at])};
        }
        if (option == ':') {
            return UsageError{nameOf(::optopt) + (::optopt == kBackend ? " needs pulse or pipewire"
                                                                       : " needs an application")};
        }
        const std::string_view value = ::optarg != nullptr ? ::optarg : "";
        switch (option) {
            case kHelp:
                options.help = true;
                break;
            case kListApps:
                options.listApplications = true;
                break;
            case kBackend:
                if (value == "pulse") {
                    options.backend = Backend::pulse;
                } else if (value == "pipewire") {
                    options.backend = Backend::pipewire;
                } else {
                    return UsageError{"--backend needs pulse or pipewire, not " +
                                      platform::printableText(value)};
                }
                break;
            default: {
                const auto kind =
                    option == kOnly ? ApplicationRule::Kind::only : ApplicationRule::Kind::exclude;
                if (value.empty()) {
                    return UsageError{nameOf(option) + " needs an application"};
                }
                if (options.applications.kind != ApplicationRule::Kind::everything &&
                    options.applications.kind != kind) {
                    return UsageError{
                        nameOf(option) +
                        " cannot be combined with the other kind (--only, --exclude)"};
                }
                options.applications.kind = kind;
                options.applications.applications.emplace_back(value);
            }
        }
    }
    if (::optind < argc) {  // after "--"
        return UsageError{"unknown option " + platform::printableText(argv[::optind])};
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
