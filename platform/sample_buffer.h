#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace halvo::platform {

using OSStatus = std::int32_t;
constexpr OSStatus kNoErr = 0;
constexpr OSStatus kBlockBufferBadOffsetErr = -12762;
constexpr OSStatus kBlockBufferEmptyErr = -12763;

// The audio stream basic description, field for field; the helper reads only the sample rate,
// the channels per frame and the bits per channel.
struct AudioStreamBasicDescription {
    double sampleRate = 0;
    std::uint32_t formatID = 0;
    std::uint32_t formatFlags = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
};

constexpr std::uint32_t kAudioFormatLinearPCM = 0x6c70636d;  // 'lpcm'
constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;

// Describes a buffer's media; audio descriptions carry a stream basic description.
class FormatDescription {
  public:
    explicit FormatDescription(std::optional<AudioStreamBasicDescription> asbd) : asbd_(asbd) {}
    // Empty for a description that is not audio.
    const AudioStreamBasicDescription* streamBasicDescription() const {
        return asbd_ ? &*asbd_ : nullptr;
    }

  private:
    std::optional<AudioStreamBasicDescription> asbd_;
};

// Bytes that may lie in several runs. Immutable once made, so it can be shared across threads.
class BlockBuffer {
  public:
    using Run = std::vector<std::byte>;

    explicit BlockBuffer(std::vector<Run> runs, OSStatus pointerStatus = kNoErr);
    static std::shared_ptr<const BlockBuffer> contiguous(Run bytes);

    // The data pointer at `offset`: on success, the pointer to the byte at `offset`, the length
    // of the contiguous run from there and the total length of the buffer. On failure the
    // outputs are left as the caller preset them.
    OSStatus dataPointer(std::size_t offset, std::size_t* lengthAtOffset, std::size_t* totalLength,
                         const std::byte** data) const;

    // Copies `destination.size()` bytes starting at `offset`, across runs.
    OSStatus copyDataBytes(std::size_t offset, std::span<std::byte> destination) const;

    std::size_t dataLength() const { return total_; }

  private:
    std::vector<Run> runs_;
    std::size_t total_ = 0;
    OSStatus pointerStatus_;
};

// One delivery from the capture service: a count of samples (signed: the service may report
// nonsense), an optional format description and an optional block buffer.
struct SampleBuffer {
    std::int64_t numSamples = 0;
    std::shared_ptr<const FormatDescription> formatDescription;
    std::shared_ptr<const BlockBuffer> dataBuffer;
};

}  // namespace halvo::platform
