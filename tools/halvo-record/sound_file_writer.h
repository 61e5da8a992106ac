#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "tools/halvo-record/file_format.h"

struct sf_private_tag;

namespace halvo::record {

// A sound file written through libsndfile: 32-bit float WAVE, FLAC or Ogg/Opus.
//
// A WAVE file's header is written at begin() and brought up to date by updateHeader(), so the
// file on disk is valid at every moment, holding at least the audio up to the last update; its
// data chunk only ever holds whole frames, even after a full disk. Not thread-safe: the caller
// serializes.
class SoundFileWriter {
  public:
    // Opens `path` for writing, creating or emptying it; kStandardOutput ("-") writes to
    // standard output as it is, which for WAVE must be a file (libsndfile goes back to write
    // its header): a pipe takes FLAC or Ogg/Opus only. Nothing is written until begin().
    static std::unique_ptr<SoundFileWriter> open(const std::string& path, FileFormat format,
                                                 std::string* error);
    ~SoundFileWriter();  // closes the file; call finish() first to end it properly
    SoundFileWriter(const SoundFileWriter&) = delete;
    SoundFileWriter& operator=(const SoundFileWriter&) = delete;

    // Starts the file for `channels` interleaved channels at `sampleRate`. False when the format
    // cannot hold such audio or the file cannot be written.
    bool begin(int sampleRate, int channels);
    // Appends whole frames of interleaved samples. False on a write error, after which the file
    // holds the whole frames that were written (a WAVE file nothing of a partial one), or when
    // a WAVE file would outgrow its 4 GiB.
    bool append(std::span<const float> samples);
    bool updateHeader();
    // True when the file lacks some of what was written to it: another program truncated it.
    bool truncatedByOthers() const;
    // Ends the file (final header, the encoder's last blocks) and closes it.
    bool finish();
    // Closes the file without ending it and removes it if it is an ordinary file this writer
    // created by name (-o /dev/null, a FIFO and standard output stay).
    void discard();

    std::uint64_t frames() const { return frames_; }
    std::uint64_t fileBytes() const;
    // What went wrong with the last failed call.
    const std::string& error() const { return error_; }

  private:
    SoundFileWriter(int fd, std::string path, bool named, FileFormat format)
        : fd_(fd), path_(std::move(path)), named_(named), format_(format) {}
    bool fail(const std::string& what);
    void keepWholeFrames();

    int fd_;
    const std::string path_;  // or "standard output"
    const bool named_;        // opened by path_, not standard output
    const FileFormat format_;
    sf_private_tag* file_ = nullptr;
    int channels_ = 0;
    std::int64_t dataOffset_ = 0;  // of a WAVE file's audio
    std::uint64_t frames_ = 0;
    std::string error_;
};

}  // namespace halvo::record
