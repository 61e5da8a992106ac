#include "platform/file_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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
        data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return data;
    }
}

}  // namespace halvo::platform
