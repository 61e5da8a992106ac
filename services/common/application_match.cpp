#include "services/common/application_match.h"

#include <algorithm>
#include <cctype>
#include <optional>

#include "platform/printable_text.h"
#include "platform/process.h"

namespace halvo {

namespace {

bool sameIgnoringCase(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

std::string_view basename(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool named(const std::string& application, const PlaybackStream& stream) {
    if (std::optional<std::int32_t> ancestor = platform::parseProcessID(application)) {
        const std::optional<std::int32_t> pid = platform::parseProcessID(stream.processID);
        return pid && platform::isProcessOrDescendant(*pid, *ancestor);
    }
    return (!stream.applicationName.empty() &&
            sameIgnoringCase(application, stream.applicationName)) ||
           (!stream.binary.empty() && sameIgnoringCase(application, basename(stream.binary)));
}

}  // namespace

bool admits(const ApplicationRule& rule, const PlaybackStream& stream, std::int32_t self) {
    if (platform::parseProcessID(stream.processID) == self) {
        return false;
    }
    const bool anyNamed = std::any_of(rule.applications.begin(), rule.applications.end(),
                                      [&](const std::string& app) { return named(app, stream); });
    switch (rule.kind) {
        case ApplicationRule::Kind::only:
            return anyNamed;
        case ApplicationRule::Kind::exclude:
            return !anyNamed;
        case ApplicationRule::Kind::everything:
            break;
    }
    return true;
}

std::string applicationKey(const PlaybackStream& stream) {
    return platform::parseProcessID(stream.processID) ? "pid " + stream.processID
                                                      : "name " + stream.applicationName;
}

std::string applicationLabel(const PlaybackStream& stream) {
    const std::string& name =
        stream.applicationName.empty() ? stream.binary : stream.applicationName;
    std::string label = platform::printableText(name.empty() ? "unnamed" : name);
    if (platform::parseProcessID(stream.processID)) {
        label += " (process " + stream.processID + ")";
    }
    return label;
}

std::vector<std::string> unmatchedEntries(const ApplicationRule& rule,
                                          const std::vector<PlaybackStream>& streams,
                                          std::int32_t self) {
    std::vector<std::string> unmatched;
    for (const std::string& entry : rule.applications) {
        const ApplicationRule one{ApplicationRule::Kind::only, {entry}};
        if (std::none_of(streams.begin(), streams.end(),
                         [&](const PlaybackStream& each) { return admits(one, each, self); })) {
            unmatched.push_back(entry);
        }
    }
    return unmatched;
}

}  // namespace halvo
