#pragma once

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "services/common/application_match.h"

namespace halvo {

// Which applications a capture takes in, by applicationKey(), and the lines that say so: one
// when an application's first stream comes in, one when its last goes out (not one per stream).
// Not thread-safe: its owner calls it under the lock that guards the owner. `log` must not block.
class ApplicationRoster {
  public:
    explicit ApplicationRoster(std::function<void(std::string)> log) : log_(std::move(log)) {}

    // One more of the stream's application's streams is taken in.
    void streamIn(const PlaybackStream& stream);
    // One of the application `key`'s streams is no longer taken in. Unless `leaves` is false
    // (its streams are being taken anew), an application left without any goes out at once.
    void streamOut(const std::string& key, bool leaves = true);
    // Every application left without a stream goes out.
    void sweep();
    // "No application matches <APP> yet" for each entry of `rule` that admits none of `streams`
    // (the helper's own process left out), unless `named` (kept for the whole run) holds it.
    void nameUnmatched(const ApplicationRule& rule, const std::vector<PlaybackStream>& streams,
                       std::set<std::string>& named);

  private:
    struct Application {
        int streams = 0;
        std::string label;
    };
    const std::function<void(std::string)> log_;
    std::map<std::string, Application> applications_;  // by applicationKey()
};

}  // namespace halvo
