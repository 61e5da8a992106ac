#include "platform/file_handle.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/interrupt_flag.h"

namespace halvo::platform {

bool FileHandle::writeAll(std::span<const std::byte> bytes) const {
    const std::byte* next = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        next += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

bool FileHandle::writeAll(std::string_view text) const {
    return writeAll(std::as_bytes(std::span(text.data(), text.size())));
}

WriteOutcome FileHandle::writeUnlessInterrupted(std::span<const std::byte> bytes,
                                                std::size_t pieceBytes,
                                                const InterruptFlag& interrupt) const {
    WriteOutcome outcome;
    const std::size_t piece = pieceBytes == 0 ? bytes.size() : pieceBytes;
    while (outcome.written < bytes.size()) {
        pollfd watched[2] = {{fd_, POLLOUT, 0}, {interrupt.pollDescriptor(), POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            outcome.error = errno;
            return outcome;
        }
        if ((watched[0].revents & POLLNVAL) != 0) {
            outcome.error = EBADF;
            return outcome;
        }
        // Writable, or broken: the write itself says which.
        if ((watched[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
            const std::size_t length = std::min(piece, bytes.size() - outcome.written);
            const ssize_t written = ::write(fd_, bytes.data() + outcome.written, length);
            if (written < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                    continue;
                }
                outcome.error = errno;
                return outcome;
            }
            outcome.written += static_cast<std::size_t>(written);
            continue;
        }
        if ((watched[1].revents & POLLIN) != 0) {
            outcome.interrupted = true;
            return outcome;
        }
    }
    return outcome;
}

std::size_t FileHandle::pipeAtomicBytes() const {
    struct stat status {};
    return ::fstat(fd_, &status) == 0 && S_ISFIFO(status.st_mode) ? PIPE_BUF : 0;
}

std::size_t FileHandle::pipeRoomBytes() const {
    const int capacity = ::fcntl(fd_, F_GETPIPE_SZ);
    int unread = 0;
    if (capacity <= 0 || ::ioctl(fd_, FIONREAD, &unread) != 0 || unread >= capacity / 2) {
        return 0;
    }
    return static_cast<std::size_t>(capacity / 2 - unread);
}

void FileHandle::growPipeBuffer(int bytes) const {
    struct stat status {};
    if (::fstat(fd_, &status) == 0 && S_ISFIFO(status.st_mode)) {
        // Above /proc/sys/fs/pipe-max-size an unprivileged process is refused; keep what we have.
        ::fcntl(fd_, F_SETPIPE_SZ, bytes);
    }
}

std::string FileHandle::readAvailable(std::size_t maxBytes) const {
    std::string data(maxBytes, '\0');
    for (;;) {
        const ssize_t got = ::read(fd_, data.data(), data.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A parent may hand over a non-blocking descriptor: nothing there yet is not the end.
            pollfd readable{fd_, POLLIN, 0};
            ::poll(&readable, 1, -1);
            continue;
        }
        data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return data;
    }
}

}  // namespace halvo::platform
