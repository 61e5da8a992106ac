#pragma once

// Thread rules that comments state ("sample queue", "loop thread", "lock held"), checked in
// debug builds: a broken rule ends the process with a message that names it. Release builds
// compile the check away without evaluating the condition.
#ifdef NDEBUG
#define HALVO_CHECK_THREAD(condition, rule) static_cast<void>(sizeof((condition) ? 1 : 0))
#else
#define HALVO_CHECK_THREAD(condition, rule) \
    ((condition) ? static_cast<void>(0)     \
                 : ::halvo::platform::threadRuleBroken(rule, __FILE__, __LINE__))
#endif

namespace halvo::platform {

// Writes "thread rule broken: <rule> (<file>:<line>)" to standard error and aborts.
[[noreturn]] void threadRuleBroken(const char* rule, const char* file, int line);

}  // namespace halvo::platform
