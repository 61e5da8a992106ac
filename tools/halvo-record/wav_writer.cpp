#include "tools/halvo-record/wav_writer.h"

#include <fcntl.h>
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
// Offsets of the fields that grow with the data.
constexpr off_t kRiffSizeAt = 4;
constexpr off_t kFrameCountAt = 46;
constexpr off_t kDataSizeAt = 54;

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

// All of `data` at `offset`, or the file's current position when offset is negative.
bool writeAll(int fd, const std::byte* data, std::size_t size, off_t offset = -1) {
    while (size > 0) {
        const ssize_t written =
            offset < 0 ? ::write(fd, data, size) : ::pwrite(fd, data, size, offset);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
        if (offset >= 0) {
            offset += written;
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
    blockAlign_ = static_cast<std::uint16_t>(channels * 4);
    std::array<std::byte, kHeaderBytes> header{};
    std::byte* at = header.data();
    putTag(at, "RIFF");
    put32(at + 4, kHeaderBytes - 8);
    putTag(at + 8, "WAVE");
    putTag(at + 12, "fmt ");
    put32(at + 16, 18);
    put16(at + 20, kFormatIeeeFloat);
    put16(at + 22, channels);
    put32(at + 24, sampleRate);
    put32(at + 28, sampleRate * blockAlign_);
    put16(at + 32, blockAlign_);
    put16(at + 34, 32);
    put16(at + 36, 0);  // no extension
    putTag(at + 38, "fact");
    put32(at + 42, 4);
    put32(at + kFrameCountAt, 0);
    putTag(at + 50, "data");
    put32(at + kDataSizeAt, 0);
    if (!writeAll(fd_, header.data(), header.size())) {
        return fail("cannot write");
    }
    return true;
}

bool WavWriter::append(std::span<const std::byte> frames) {
    if (dataBytes_ + frames.size() > kMaxDataBytes) {
        errno = EFBIG;
        return fail("WAVE size limit (4 GiB) reached in");
    }
    if (!writeAll(fd_, frames.data(), frames.size())) {
        return fail("cannot write");
    }
    dataBytes_ += frames.size();
    return true;
}

bool WavWriter::updateHeader() {
    if (!begun()) {
        return true;
    }
    std::array<std::byte, 4> field{};
    const auto writeField = [&](off_t offset, std::uint64_t value) {
        put32(field.data(), static_cast<std::uint32_t>(value));
        return writeAll(fd_, field.data(), field.size(), offset);
    };
    if (!writeField(kRiffSizeAt, kHeaderBytes - 8 + dataBytes_) ||
        !writeField(kFrameCountAt, dataBytes_ / blockAlign_) ||
        !writeField(kDataSizeAt, dataBytes_)) {
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
