#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "client/helper_events.h"
#include "tools/halvo-record/levels.h"
#include "tools/halvo-record/sound_file_writer.h"

namespace halvo::record {

struct Failure {
    int exitStatus = 0;
    std::string message;
};

// The sound file being recorded and what is measured on the way, shared by the helper client's
// reader thread (format and audio) and the main thread (progress, header updates, the end).
// Every method may be called from any thread; one mutex serializes them.
class Recording {
  public:
    // `seconds`: stop taking audio after that much; nothing: take all of it.
    Recording(std::unique_ptr<SoundFileWriter> writer, std::string path,
              std::optional<double> seconds);

    // The announced format; starts the file. A format other than 32-bit float, or one the file
    // cannot hold, fails: false.
    bool setFormat(const client::AudioFormat& format);
    // Raw PCM as read, in any chunking; audio beyond the duration is dropped. True when the
    // recording has just become complete or failed, so the main loop should look now.
    bool addAudio(std::span<const std::byte> bytes);

    struct Progress {
        double seconds = 0;
        std::uint64_t bytes = 0;  // of the file
        bool complete = false;    // the duration is reached
    };
    Progress progress() const;
    // Peak and RMS of the audio since the previous call.
    Levels takeLevels();
    // The first thing that went wrong, if anything did.
    std::optional<Failure> failure() const;
    // Brings the sizes in a WAVE header up to date, so the file is whole if this process dies.
    void updateHeader();

    // Updates the header and closes the file. With no audio frame recorded (no format
    // announced, or a duration shorter than one frame) the file is removed and false returned.
    bool finish();

  private:
    void failWith(int exitStatus, std::string message);  // the mutex is held
    void checkNotCutShort();                             // the mutex is held

    mutable std::mutex mutex_;  // guards everything below
    std::unique_ptr<SoundFileWriter> writer_;
    const std::string path_;
    const std::optional<double> seconds_;
    std::optional<client::AudioFormat> format_;
    std::uint64_t frameLimit_ = UINT64_MAX;
    std::uint64_t frames_ = 0;
    std::vector<std::byte> partialFrame_;  // the start of a frame split between two chunks
    std::vector<float> samples_;           // scratch for the meter
    LevelMeter meter_;
    std::optional<Failure> failure_;
};

}  // namespace halvo::record
