#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace halvo::record {

// A WAVE file of 32-bit IEEE float samples (WAVE_FORMAT_IEEE_FLOAT, with its fact chunk).
//
// The header goes out first with the sizes of what has been written so far, and updateHeader()
// writes it again with the sizes brought up to date, so the file on disk is a valid WAVE file at
// every moment, holding at least the audio up to the last update. Not thread-safe: the caller
// serializes.
class WavWriter {
  public:
    static constexpr std::size_t kHeaderBytes = 58;
    // The sizes are 32-bit fields; the data may grow up to this.
    static constexpr std::uint64_t kMaxDataBytes = 0xFFFFFFFFull - (kHeaderBytes - 8);

    // Opens `path` for writing, creating or emptying it. Nothing is written until begin().
    static std::unique_ptr<WavWriter> open(const std::string& path, std::string* error);
    ~WavWriter();  // closes the file; call finish() first to keep the sizes exact
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Writes the header for `channels` interleaved float channels at `sampleRate`.
    bool begin(std::uint32_t sampleRate, std::uint16_t channels);
    bool begun() const { return blockAlign_ != 0; }
    // Appends whole frames (bytes of native little-endian floats). False when the file would
    // outgrow the format (nothing is written then) or on a write error, after which the file
    // holds the whole frames that were written and nothing of a partial one.
    bool append(std::span<const std::byte> frames);
    bool updateHeader();
    // True when the file lacks some of what was written to it: another program truncated it.
    bool cutShortByOthers() const;
    // Updates the header and closes the file.
    bool finish();

    std::uint64_t dataBytes() const { return dataBytes_; }
    // What went wrong with the last failed call.
    const std::string& error() const { return error_; }

  private:
    WavWriter(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    bool fail(const std::string& what);
    bool writeHeader();

    int fd_;
    std::string path_;
    std::uint32_t sampleRate_ = 0;
    std::uint16_t channels_ = 0;
    std::uint16_t blockAlign_ = 0;
    std::uint64_t dataBytes_ = 0;
    std::string error_;
};

}  // namespace halvo::record
