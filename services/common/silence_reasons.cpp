#include "services/common/silence_reasons.h"

namespace halvo {

namespace {

struct Reason {
    bool SilenceReasons::*flag;
    const char* began;
    const char* ended;
};

constexpr Reason kReasons[] = {
    {&SilenceReasons::outputMuted, "The recorded output is muted: the capture is silent",
     "The recorded output is no longer muted"},
    {&SilenceReasons::outputVolumeZero,
     "The recorded output's volume is zero: the capture is silent",
     "The recorded output's volume is above zero again"},
    {&SilenceReasons::outputSuspended,
     "The recorded output is suspended: the server delivers no audio, silence fills the gap",
     "The recorded output is no longer suspended"},
    {&SilenceReasons::monitorMuted, "The output's monitor is muted: the capture is silent",
     "The output's monitor is no longer muted"},
    {&SilenceReasons::monitorVolumeZero,
     "The output's monitor volume is zero: the capture is silent",
     "The output's monitor volume is above zero again"},
};

}  // namespace

std::vector<std::string> silenceReasonChanges(const SilenceReasons& before,
                                              const SilenceReasons& now) {
    std::vector<std::string> messages;
    for (const Reason& reason : kReasons) {
        if (before.*reason.flag != now.*reason.flag) {
            messages.emplace_back(now.*reason.flag ? reason.began : reason.ended);
        }
    }
    return messages;
}

}  // namespace halvo
