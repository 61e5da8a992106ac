#include "output/audio_output_handler.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>
#include <vector>

#include "halvo/protocol.h"
#include "logging/lines.h"
#include "output/audio_format_text.h"
#include "platform/process.h"

namespace halvo {

namespace {

std::size_t bytesPerFrame(const platform::SampleBuffer& buffer) {
    const platform::AudioStreamBasicDescription* asbd =
        buffer.formatDescription ? buffer.formatDescription->streamBasicDescription() : nullptr;
    if (asbd == nullptr || asbd->channelsPerFrame == 0 || asbd->bitsPerChannel % 8 != 0 ||
        asbd->bitsPerChannel == 0) {
        return 1;
    }
    return std::size_t{asbd->channelsPerFrame} * (asbd->bitsPerChannel / 8);
}

double bytesPerSecond(const platform::SampleBuffer& buffer) {
    const platform::AudioStreamBasicDescription* asbd =
        buffer.formatDescription ? buffer.formatDescription->streamBasicDescription() : nullptr;
    return asbd == nullptr ? 0 : asbd->sampleRate * static_cast<double>(bytesPerFrame(buffer));
}

}  // namespace

AudioOutputHandler::AudioOutputHandler(platform::FileHandle outputHandle)
    : outputHandle_(outputHandle), pipeAtomicBytes_(outputHandle.pipeAtomicBytes()) {
    gateClosed_.raise();
}

void AudioOutputHandler::setCapturing(bool open) {
    if (open) {
        unwrittenBytes_.store(0);
        failureReported_.store(false);
        gateClosed_.clear();
        isCapturing_.store(true);
    } else {
        isCapturing_.store(false);
        gateClosed_.raise();
    }
}

void AudioOutputHandler::reportFormatIfFirst(const platform::SampleBuffer& buffer) {
    if (sampleCount_.load(std::memory_order_relaxed) != 0 || !buffer.formatDescription) {
        return;
    }
    const platform::AudioStreamBasicDescription* asbd =
        buffer.formatDescription->streamBasicDescription();
    if (asbd == nullptr) {
        return;
    }
    logErr(protocol::audioFormatMessage(formatSampleRate(asbd->sampleRate), asbd->channelsPerFrame,
                                        asbd->bitsPerChannel));
    // Parents learn the format before the first byte of audio. Once per process, and bounded:
    // a parent that leaves standard error unread delays its audio by this much at most.
    flushLines(kFormatLineWait);
}

bool AudioOutputHandler::takesWithoutWaiting(std::size_t bytes) const {
    if (sampleCount_.load(std::memory_order_relaxed) == 0) {
        return false;  // the first buffer may wait for the format line
    }
    if (!isCapturing_.load()) {
        return true;
    }
    return pipeAtomicBytes_ != 0 && outputHandle_.pipeRoomBytes() >= bytes;
}

void AudioOutputHandler::didOutputSampleBuffer(CaptureStream& /*stream*/,
                                               const platform::SampleBuffer& buffer,
                                               StreamOutputType type) {
    if (type != StreamOutputType::audio || buffer.numSamples < 1) {
        return;
    }
    std::lock_guard lock(writeMutex_);
    if (!isCapturing_.load()) {
        if (buffer.dataBuffer) {
            unwrittenBytes_.fetch_add(buffer.dataBuffer->dataLength());
            unwrittenBytesPerSecond_.store(bytesPerSecond(buffer));
        }
        return;
    }
    if (failureReported_.load()) {
        return;  // the output is broken until capture starts again
    }
    reportFormatIfFirst(buffer);

    const platform::BlockBuffer* block = buffer.dataBuffer.get();
    if (block == nullptr) {
        return;
    }
    std::size_t lengthAtOffset = 0;
    std::size_t totalLength = 0;
    const std::byte* data = nullptr;
    const platform::OSStatus status = block->dataPointer(0, &lengthAtOffset, &totalLength, &data);
    if (status != platform::kNoErr || data == nullptr || totalLength == 0) {
        return;
    }
    if (lengthAtOffset >= totalLength) {
        write(std::span(data, totalLength), buffer);
    } else {
        // The bytes lie in several runs: gather them so the parent still gets them whole.
        std::vector<std::byte> gathered(totalLength);
        if (block->copyDataBytes(0, gathered) != platform::kNoErr) {
            return;
        }
        write(gathered, buffer);
    }
}

void AudioOutputHandler::write(std::span<const std::byte> bytes,
                               const platform::SampleBuffer& buffer) {
    // Pieces a pipe takes whole, in whole frames: giving up between two of them never leaves a
    // parent with part of a frame.
    const std::size_t frame = bytesPerFrame(buffer);
    const std::size_t piece =
        pipeAtomicBytes_ == 0 ? 0 : std::max(frame, pipeAtomicBytes_ / frame * frame);
    const platform::WriteOutcome outcome =
        outputHandle_.writeUnlessInterrupted(bytes, piece, gateClosed_);
    if (outcome.interrupted) {
        unwrittenBytes_.fetch_add(bytes.size() - outcome.written);
        unwrittenBytesPerSecond_.store(bytesPerSecond(buffer));
    }
    if (outcome.written > 0) {
        const std::uint64_t total =
            totalBytes_.fetch_add(outcome.written, std::memory_order_relaxed) + outcome.written;
        const std::uint64_t count = sampleCount_.fetch_add(1, std::memory_order_relaxed) + 1;
        if (count % kProgressInterval == 0) {
            logErr("Audio: " + std::to_string(count) + " samples, " +
                   std::to_string(wholeKilobytes(total)) + " KB total");
        }
    }
    if (outcome.error != 0) {
        outputFailed(outcome.error);
    }
}

void AudioOutputHandler::outputFailed(int error) {
    if (error == EPIPE) {
        // The parent closed its end: end the process as an unhandled SIGPIPE does. Returns
        // only when the parent had SIGPIPE ignored; then it is a failure like any other.
        platform::raiseBrokenPipe();
    }
    if (failureReported_.exchange(true)) {
        return;
    }
    logErr("Audio output failed: " + std::generic_category().message(error));
    if (outputFailedObserver_) {
        outputFailedObserver_();
    }
}

std::optional<std::string> AudioOutputHandler::takeUnwrittenReport() {
    const std::uint64_t bytes = unwrittenBytes_.exchange(0);
    if (bytes == 0) {
        return std::nullopt;
    }
    std::string message = "Audio not yet written at the stop: dropped ";
    if (const double perSecond = unwrittenBytesPerSecond_.load(); perSecond > 0) {
        message += secondsText(static_cast<double>(bytes) / perSecond, 2) + " s of audio (" +
                   std::to_string(bytes) + " bytes)";
    } else {
        message += std::to_string(bytes) + " bytes of audio";
    }
    return message;
}

void AudioOutputHandler::didStopWithError(CaptureStream& stream, const Error& error) {
    logErr("Stream error: " + error.localizedDescription);
    sendSignal(protocol::streamStoppedSignal(error.localizedDescription));
    if (streamStoppedObserver_) {
        streamStoppedObserver_(stream);
    }
}

}  // namespace halvo
