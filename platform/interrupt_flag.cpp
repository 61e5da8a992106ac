#include "platform/interrupt_flag.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace halvo::platform {

InterruptFlag::InterruptFlag() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

InterruptFlag::~InterruptFlag() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void InterruptFlag::raise() {
    std::lock_guard lock(mutex_);
    if (raised_) {
        return;
    }
    raised_ = true;
    const std::uint64_t one = 1;
    // An eventfd write of 1 to a zero counter cannot block or fail.
    [[maybe_unused]] const ssize_t written = ::write(fd_, &one, sizeof one);
}

void InterruptFlag::clear() {
    std::lock_guard lock(mutex_);
    if (!raised_) {
        return;
    }
    raised_ = false;
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(fd_, &count, sizeof count);
}

}  // namespace halvo::platform
