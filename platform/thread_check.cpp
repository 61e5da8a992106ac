#include "platform/thread_check.h"

#include <cstdlib>
#include <string>

#include "platform/file_handle.h"

namespace halvo::platform {

void threadRuleBroken(const char* rule, const char* file, int line) {
    FileHandle::standardError().writeAll(std::string("thread rule broken: ") + rule + " (" + file +
                                         ":" + std::to_string(line) + ")\n");
    std::abort();
}

}  // namespace halvo::platform
