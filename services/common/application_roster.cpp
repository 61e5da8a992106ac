#include "services/common/application_roster.h"

#include "platform/printable_text.h"
#include "platform/process.h"

namespace halvo {

void ApplicationRoster::streamIn(const PlaybackStream& stream) {
    const auto [application, added] = applications_.try_emplace(applicationKey(stream));
    application->second.streams++;
    if (added) {
        application->second.label = applicationLabel(stream);
        log_("Application in the capture: " + application->second.label);
    }
}

void ApplicationRoster::streamOut(const std::string& key, bool leaves) {
    const auto application = applications_.find(key);
    if (application != applications_.end() && --application->second.streams == 0 && leaves) {
        sweep();
    }
}

void ApplicationRoster::sweep() {
    for (auto application = applications_.begin(); application != applications_.end();) {
        if (application->second.streams <= 0) {
            log_("Application out of the capture: " + application->second.label);
            application = applications_.erase(application);
        } else {
            ++application;
        }
    }
}

void ApplicationRoster::nameUnmatched(const ApplicationRule& rule,
                                      const std::vector<PlaybackStream>& streams,
                                      std::set<std::string>& named) {
    for (const std::string& entry :
         unmatchedEntries(rule, streams, platform::processIdentifier())) {
        if (named.insert(entry).second) {
            log_("No application matches " + platform::printableText(entry) + " yet");
        }
    }
}

}  // namespace halvo
