#pragma once

#include <string>

namespace halvo {

// A failure reported by a platform service. The description is the service's own text, shown
// to people unchanged: it may be empty or span several lines.
struct Error {
    std::string localizedDescription;
};

}  // namespace halvo
