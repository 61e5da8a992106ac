#include "tools/halvo-record/wav_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <cstring>

namespace halvo::record {

static_assert(std::endian::native == std::endian::little,
              "WAVE data is little-endian; samples are written as they lie in memory");

namespace {

constexpr std::uint16_t kFormatIeeeFloat = 3;
void put16(std::byte* at, std::uint16_t value) {
    at[0] = static_cast<std::byte>(value & 0xFF);
    at[1] = static_cast<std::byte>(value >> 8);
}

void put32(std::byte* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<std::byte>((value >> (8 * i)) & 0xFF);
    }
}

void putTag(std::byte* at, const char (&tag)[5]) {
    std::memcpy(at, tag, 4);
}

// All of `data` at `offset`, or the file's current position when offset is negative. On a
// failure, `written` (if given) tells how much went out before it; errno is the write's.
bool writeAll(int fd, const std::byte* data, std::size_t size, off_t offset = -1,
              std::size_t* written = nullptr) {
    if (written) {
        *written = 0;
    }
    while (size > 0) {
        const ssize_t chunk =
            offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (chunk < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += chunk;
        size -= static_cast<std::size_t>(chunk);
        if (written) {
            *written += static_cast<std::size_t>(chunk);
        }
        if (offset >= 0) {
            offset += chunk;
        }
    }
    return true;
}

}  // namespace

std::unique_ptr<WavWriter> WavWriter::open(const std::string& path, std::string* error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
        }
        return nullptr;
    }
    return std::unique_ptr<WavWriter>(new WavWriter(fd, path));
}

WavWriter::~WavWriter() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool WavWriter::fail(const std::string& what) {
    error_ = what + " " + path_ + ": " + std::strerror(errno);
    return false;
}

bool WavWriter::begin(std::uint32_t sampleRate, std::uint16_t channels) {
    sampleRate_ = sampleRate;
    channels_ = channels;
    blockAlign_ = static_cast<std::uint16_t>(channels * 4);
    if (!writeHeader()) {
        return fail("cannot write");
    }
    (void)::lseek(fd_, static_cast<off_t>(kHeaderBytes), SEEK_SET);
    return true;
}

// The whole header, not just its sizes: a file that someone else cut short gets its header back.
bool WavWriter::writeHeader() {
    std::array<std::byte, kHeaderBytes> header{};
    std::byte* at = header.data();
    putTag(at, "RIFF");
    put32(at + 4, static_cast<std::uint32_t>(kHeaderBytes - 8 + dataBytes_));
    putTag(at + 8, "WAVE");
    putTag(at + 12, "fmt ");
    put32(at + 16, 18);
    put16(at + 20, kFormatIeeeFloat);
    put16(at + 22, channels_);
    put32(at + 24, sampleRate_);
    put32(at + 28, sampleRate_ * blockAlign_);
    put16(at + 32, blockAlign_);
    put16(at + 34, 32);
    put16(at + 36, 0);  // no extension
    putTag(at + 38, "fact");
    put32(at + 42, 4);
    put32(at + 46, static_cast<std::uint32_t>(dataBytes_ / blockAlign_));
    putTag(at + 50, "data");
    put32(at + 54, static_cast<std::uint32_t>(dataBytes_));
    return writeAll(fd_, header.data(), header.size(), 0);
}

bool WavWriter::cutShortByOthers() const {
    struct stat status {};
    if (fd_ < 0 || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    const auto written = static_cast<off_t>(kHeaderBytes + dataBytes_);
    if (status.st_size < written) {
        return true;
    }
    // Our writes go on at our own position, so a truncated file soon grows back to its length,
    // with a hole where the cut audio was; a file written in full has none. Where holes are not
    // reported, the whole file counts as data.
    const off_t position = ::lseek(fd_, 0, SEEK_CUR);
    const off_t hole = ::lseek(fd_, 0, SEEK_HOLE);
    (void)::lseek(fd_, position, SEEK_SET);
    return hole >= 0 && hole < written;
}

bool WavWriter::append(std::span<const std::byte> frames) {
    if (dataBytes_ + frames.size() > kMaxDataBytes) {
        errno = EFBIG;
        return fail("WAVE size limit (4 GiB) reached in");
    }
    std::size_t written = 0;
    if (!writeAll(fd_, frames.data(), frames.size(), -1, &written)) {
        // A full disk takes part of the last write: keep the whole frames of it and cut the rest
        // off, so the data chunk holds only whole frames and the header can match the file.
        const int writeErrno = errno;
        const std::size_t kept = written / blockAlign_ * blockAlign_;
        dataBytes_ += kept;
        if (kept != written) {
            (void)::ftruncate(fd_, static_cast<off_t>(kHeaderBytes + dataBytes_));
            (void)::lseek(fd_, 0, SEEK_END);
        }
        errno = writeErrno;
        return fail("cannot write");
    }
    dataBytes_ += frames.size();
    return true;
}

bool WavWriter::updateHeader() {
    if (!begun()) {
        return true;
    }
    if (!writeHeader()) {
        return fail("cannot update the header of");
    }
    return true;
}

bool WavWriter::finish() {
    if (fd_ < 0) {
        return error_.empty();
    }
    const bool updated = updateHeader();
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && updated) {
        return fail("cannot close");
    }
    return updated;
}

}  // namespace halvo::record
