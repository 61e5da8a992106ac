#include "tools/halvo-record/sound_file_writer.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace halvo::record {

std::unique_ptr<SoundFileWriter> SoundFileWriter::open(const std::string& path, FileFormat format,
                                                       std::string* error) {
    if (path == kStandardOutput) {
        // A descriptor of its own, so that closing the file leaves standard output open.
        const int fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
        if (fd >= 0 && (format != FileFormat::wav || ::lseek(fd, 0, SEEK_CUR) >= 0)) {
            return std::unique_ptr<SoundFileWriter>(
                new SoundFileWriter(fd, "standard output", false, format));
        }
        if (error) {
            *error = fd < 0 ? std::string("cannot write standard output: ") + std::strerror(errno)
                            : "cannot write WAVE to standard output, a pipe or other stream: "
                              "WAVE needs a file (its header is written last); give "
                              "--format flac or opus, or redirect standard output to a file";
        }
        if (fd >= 0) {
            ::close(fd);
        }
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        if (error) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
        }
        return nullptr;
    }
    return std::unique_ptr<SoundFileWriter>(new SoundFileWriter(fd, path, true, format));
}

void SoundFileWriter::discard() {
    if (file_) {
        sf_close(std::exchange(file_, nullptr));
    }
    if (fd_ >= 0) {
        ::close(std::exchange(fd_, -1));
    }
    // Only an ordinary file is ours to remove: -o /dev/null or a FIFO must survive.
    struct stat status {};
    if (named_ && ::lstat(path_.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        ::unlink(path_.c_str());
    }
}

SoundFileWriter::~SoundFileWriter() {
    if (file_) {
        sf_close(file_);
    }
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool SoundFileWriter::fail(const std::string& what) {
    error_ = what;
    return false;
}

bool SoundFileWriter::begin(int sampleRate, int channels) {
    if (!canWrite(format_, sampleRate, channels)) {
        return fail("cannot write " + path_ + ": this libsndfile cannot write " +
                    formatTitle(format_) + " at " + std::to_string(sampleRate) + " Hz with " +
                    std::to_string(channels) + " channels");
    }
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = channels;
    info.format = libsndfileFormat(format_);
    file_ = sf_open_fd(fd_, SFM_WRITE, &info, SF_FALSE);
    if (!file_) {
        return fail("cannot write " + path_ + ": " + sf_strerror(nullptr));
    }
    channels_ = channels;
    // Samples beyond full scale are clipped rather than wrapped where they become integers.
    sf_command(file_, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // libsndfile writes a WAVE header when it opens the file: the audio starts where it ends.
    dataOffset_ = ::lseek(fd_, 0, SEEK_CUR);
    return true;
}

bool SoundFileWriter::append(std::span<const float> samples) {
    const auto frames = static_cast<sf_count_t>(samples.size() / channels_);
    constexpr std::uint64_t kMaxWaveBytes = UINT32_MAX;  // a WAVE header's sizes are 32-bit
    if (format_ == FileFormat::wav &&
        static_cast<std::uint64_t>(dataOffset_) + (frames_ + frames) * channels_ * sizeof(float) >
            kMaxWaveBytes) {
        return fail("cannot write " + path_ + ": the WAVE size limit (4 GiB) is reached");
    }
    const sf_count_t written = sf_writef_float(file_, samples.data(), frames);
    if (written != frames || sf_error(file_) != SF_ERR_NO_ERROR) {
        // sf_strerror() gives the system's reason, such as a full disk.
        const std::string reason = sf_strerror(file_);
        frames_ += static_cast<std::uint64_t>(std::max<sf_count_t>(written, 0));
        keepWholeFrames();
        return fail("cannot write " + path_ + ": " + reason);
    }
    frames_ += static_cast<std::uint64_t>(frames);
    return true;
}

// A full disk takes part of the last write: cut off what is not a whole frame, then let
// libsndfile, which sizes the data chunk by the file's length, rewrite the header.
void SoundFileWriter::keepWholeFrames() {
    struct stat status {};
    if (format_ != FileFormat::wav || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode) ||
        status.st_size < dataOffset_) {
        return;
    }
    const std::uint64_t frameBytes = static_cast<std::uint64_t>(channels_) * sizeof(float);
    frames_ = static_cast<std::uint64_t>(status.st_size - dataOffset_) / frameBytes;
    (void)::ftruncate(fd_, static_cast<off_t>(dataOffset_ + frames_ * frameBytes));
    (void)::lseek(fd_, 0, SEEK_END);
    sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
}

bool SoundFileWriter::updateHeader() {
    if (file_ && format_ == FileFormat::wav) {
        // The whole header is written anew, with the sizes of what the file holds now.
        sf_command(file_, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        if (sf_error(file_) != SF_ERR_NO_ERROR) {
            return fail("cannot update the header of " + path_ + ": " + sf_strerror(file_));
        }
    }
    return true;
}

bool SoundFileWriter::truncatedByOthers() const {
    struct stat status {};
    if (!file_ || ::fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
        return false;
    }
    const off_t position = ::lseek(fd_, 0, SEEK_CUR);
    if (status.st_size < position) {
        return true;
    }
    // Writes go on at the file's own position, so a truncated file soon grows back to its
    // length, with a hole where the cut audio was; a file written in full has none. Where holes
    // are not reported, the whole file counts as data.
    const off_t hole = ::lseek(fd_, 0, SEEK_HOLE);
    (void)::lseek(fd_, position, SEEK_SET);
    return hole >= 0 && hole < position;
}

bool SoundFileWriter::finish() {
    const int result = file_ ? sf_close(std::exchange(file_, nullptr)) : 0;
    if (result != 0) {
        fail("cannot finish " + path_ + ": " + sf_error_number(result));
    }
    if (fd_ >= 0 && ::close(std::exchange(fd_, -1)) != 0 && result == 0) {
        return fail("cannot close " + path_ + ": " + std::strerror(errno));
    }
    return result == 0;
}

std::uint64_t SoundFileWriter::fileBytes() const {
    struct stat status {};
    return fd_ >= 0 && ::fstat(fd_, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

}  // namespace halvo::record
