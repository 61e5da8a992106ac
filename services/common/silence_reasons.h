#pragma once

#include <string>
#include <vector>

namespace halvo {

// What the server says of the recorded output and its monitor that makes a capture silent,
// as one reading.
struct SilenceReasons {
    bool outputMuted = false;
    bool outputVolumeZero = false;
    bool outputSuspended = false;
    bool monitorMuted = false;
    bool monitorVolumeZero = false;

    bool operator==(const SilenceReasons&) const = default;
};

// One diagnostic message for each reason that began or ended from `before` to `now`, in a fixed
// order.
std::vector<std::string> silenceReasonChanges(const SilenceReasons& before,
                                              const SilenceReasons& now);

}  // namespace halvo
