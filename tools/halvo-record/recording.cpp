#include "tools/halvo-record/recording.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "tools/halvo-record/exit_status.h"

namespace halvo::record {

namespace {

// "48000 Hz, 1 channel, 32-bit"
std::string describe(const client::AudioFormat& format) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "%g", format.sampleRate);
    return std::string(rate) + " Hz, " + std::to_string(format.channels) +
           (format.channels == 1 ? " channel, " : " channels, ") +
           std::to_string(format.bitsPerChannel) + "-bit";
}

// Silence is written in blocks of at most this many samples, so a long gap needs no large buffer.
constexpr std::size_t kSilenceBlockSamples = 16 * 1024;

}  // namespace

Recording::Recording(std::unique_ptr<SoundFileWriter> writer, std::string name,
                     std::optional<double> seconds)
    : writer_(std::move(writer)), name_(std::move(name)), seconds_(seconds) {}

void Recording::failWith(int exitStatus, std::string message) {
    if (!failure_) {
        failure_ = Failure{exitStatus, std::move(message)};
    }
}

bool Recording::setFormat(const client::AudioFormat& format) {
    std::lock_guard lock(mutex_);
    if (failure_) {
        return false;
    }
    if (format_) {
        if (format == *format_) {
            return true;
        }
        // Converting would mean resampling or remixing behind the user's back; the take ends
        // cleanly instead, with what it holds.
        failWith(kExitFormatChanged, "the capture resumed as " + describe(format) + ", but " +
                                         name_ + " is " + describe(*format_) +
                                         "; a file cannot change its format, so the take ends "
                                         "here");
        return false;
    }
    if (format.bitsPerChannel != 32 || format.sampleRate > UINT32_MAX ||
        format.channels > 0xFFFF / 4) {
        failWith(kExitCaptureFailed, "the helper delivers " +
                                         std::to_string(format.bitsPerChannel) + "-bit audio in " +
                                         std::to_string(format.channels) +
                                         " channels; only 32-bit float can be recorded");
        return false;
    }
    const auto rate = static_cast<std::uint32_t>(std::lround(format.sampleRate));
    if (!writer_->begin(static_cast<int>(rate), static_cast<int>(format.channels))) {
        failWith(kExitOutputFile, writer_->error());
        return false;
    }
    format_ = format;
    if (seconds_) {
        frameLimit_ = static_cast<std::uint64_t>(std::llround(*seconds_ * rate));
    }
    return true;
}

bool Recording::addAudio(std::span<const std::byte> bytes, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (failure_ || frames_ >= frameLimit_) {
        return false;
    }
    if (!format_) {
        failWith(kExitCaptureFailed, "the helper sent audio without announcing its format");
        return true;
    }
    const std::size_t frameBytes = format_->bytesPerFrame();
    // Whole frames only: complete a frame left over from the last chunk first.
    std::vector<std::byte> joined;
    if (!partialFrame_.empty()) {
        joined = std::move(partialFrame_);
        joined.insert(joined.end(), bytes.begin(), bytes.end());
        bytes = joined;
    }
    std::uint64_t frames = bytes.size() / frameBytes;
    partialFrame_.assign(bytes.begin() + static_cast<std::ptrdiff_t>(frames * frameBytes),
                         bytes.end());
    if (nextAudioStartsCapture_ && frames > 0) {
        nextAudioStartsCapture_ = false;
        if (gapSince_) {
            // The frames due now include this chunk's, which were captured just before it came.
            const std::uint64_t due = framesDueAt(now);
            const std::uint64_t silence = due > frames_ + frames ? due - frames_ - frames : 0;
            const std::uint64_t before = frames_;
            writeSilence(silence);
            gapReport_ = GapReport{std::chrono::duration<double>(now - *gapSince_).count(),
                                   static_cast<double>(frames_ - before) / format_->sampleRate};
            gapSince_.reset();
            if (failure_ || frames_ >= frameLimit_) {
                return true;
            }
        }
        // A new anchor after a pause leaves the paused time out; after a gap it barely moves.
        anchor_ = now - std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                            static_cast<double>(frames_ + frames) / format_->sampleRate));
    }
    frames = std::min(frames, frameLimit_ - frames_);
    if (frames == 0) {
        return false;
    }
    const auto whole = bytes.first(static_cast<std::size_t>(frames * frameBytes));
    samples_.resize(whole.size() / sizeof(float));
    std::memcpy(samples_.data(), whole.data(), samples_.size() * sizeof(float));
    if (!writer_->append(samples_)) {
        frames_ = writer_->frames();
        failWith(kExitOutputFile, writer_->error());
        return true;
    }
    frames_ += frames;
    meter_.add(samples_);
    return frames_ >= frameLimit_;
}

void Recording::captureStarting() {
    std::lock_guard lock(mutex_);
    nextAudioStartsCapture_ = true;
}

void Recording::beginGap(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (!gapSince_) {
        gapSince_ = now;  // a capture that stopped again before any audio continues the gap
    }
}

std::optional<Recording::GapReport> Recording::takeGapReport() {
    std::lock_guard lock(mutex_);
    return std::exchange(gapReport_, std::nullopt);
}

std::optional<double> Recording::completeGapIfDue(Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (!gapSince_ || !anchor_ || failure_ || frameLimit_ == UINT64_MAX ||
        framesDueAt(now) < frameLimit_) {
        return std::nullopt;
    }
    const std::uint64_t before = frames_;
    writeSilence(frameLimit_ - frames_);
    gapSince_.reset();
    return static_cast<double>(frames_ - before) / format_->sampleRate;
}

std::uint64_t Recording::framesDueAt(Clock::time_point now) const {
    if (!anchor_ || !format_ || now <= *anchor_) {
        return frames_;
    }
    return static_cast<std::uint64_t>(
        std::llround(std::chrono::duration<double>(now - *anchor_).count() * format_->sampleRate));
}

void Recording::writeSilence(std::uint64_t frames) {
    frames = std::min(frames, frameLimit_ - frames_);
    const std::uint64_t channels = format_->channels;
    const std::vector<float> zeros(
        std::min<std::uint64_t>(frames * channels, kSilenceBlockSamples / channels * channels));
    while (frames > 0 && !failure_) {
        const std::uint64_t block = std::min<std::uint64_t>(frames, zeros.size() / channels);
        if (!writer_->append(std::span(zeros.data(), block * channels))) {
            frames_ = writer_->frames();
            failWith(kExitOutputFile, writer_->error());
            return;
        }
        frames_ += block;
        frames -= block;
    }
}

Recording::Progress Recording::progress() const {
    std::lock_guard lock(mutex_);
    Progress progress;
    if (format_) {
        progress.seconds = static_cast<double>(frames_) / format_->sampleRate;
        progress.bytes = writer_->fileBytes();
    }
    progress.complete = frames_ >= frameLimit_;
    return progress;
}

Levels Recording::takeLevels() {
    std::lock_guard lock(mutex_);
    return meter_.take();
}

std::optional<Failure> Recording::failure() const {
    std::lock_guard lock(mutex_);
    return failure_;
}

void Recording::updateHeader() {
    std::lock_guard lock(mutex_);
    checkNotCutShort();
    if (!writer_->updateHeader()) {
        failWith(kExitOutputFile, writer_->error());
    }
}

void Recording::checkNotCutShort() {
    // Writing on leaves a file of zeros up to the write position with the audio after it; a
    // WAVE header is written anew, but the audio lost must not go unnoticed.
    if (writer_->truncatedByOthers()) {
        failWith(kExitOutputFile, name_ +
                                      " was truncated by another program during the recording; "
                                      "the audio written before that is lost");
    }
}

bool Recording::finish() {
    std::lock_guard lock(mutex_);
    // A header with no audio is no recording: an error or Ctrl-C before the first frame, or a
    // duration shorter than one frame.
    if (frames_ == 0) {
        writer_->discard();
        writer_.reset();
        return false;
    }
    checkNotCutShort();
    if (!writer_->finish()) {
        failWith(kExitOutputFile, writer_->error());
    }
    return true;
}

}  // namespace halvo::record
