#pragma once

#include <string>
#include <vector>

namespace halvo {

// Which applications' sound a stream records. A rule, not a list: the service applies it to
// every playback stream as it appears, so applications that start later are covered too.
struct ApplicationRule {
    enum class Kind {
        everything,  // the whole output
        only,        // just the named applications
        exclude,     // all but the named applications
    };
    Kind kind = Kind::everything;
    // As the user gave them: a process id (all digits), which takes in that process's
    // descendants, or a name, matched without regard to case against the whole application
    // name or the basename of the application's binary.
    std::vector<std::string> applications;
};

}  // namespace halvo
