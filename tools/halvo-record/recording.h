#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "halvo/client/helper_events.h"
#include "tools/halvo-record/levels.h"
#include "tools/halvo-record/sound_file_writer.h"

namespace halvo::record {

struct Failure {
    int exitStatus = 0;
    std::string message;

    bool operator==(const Failure&) const = default;
};

// The sound file being recorded and what is measured on the way, shared by the helper client's
// reader thread (format and audio) and the main thread (progress, header updates, the end).
// Every method may be called from any thread; one mutex serializes them.
class Recording {
  public:
    // `name`: the output as messages name it. `seconds`: stop taking audio after that much;
    // nothing: take all of it.
    Recording(std::unique_ptr<SoundFileWriter> writer, std::string name,
              std::optional<double> seconds);

    using Clock = std::chrono::steady_clock;

    // The announced format; starts the file. A format other than 32-bit float, or one the file
    // cannot hold, fails: false. A later announcement of the same format changes nothing; one of
    // another format (a capture resumed differently) ends the take with kExitFormatChanged,
    // since a file cannot change its format midway.
    bool setFormat(const client::AudioFormat& format);
    // A START is about to be sent: the next audio is the first of a new capture, which either
    // closes a gap (see beginGap) or, after a pause, simply follows the audio before. Called
    // before the command, since the helper's lines and its audio come through separate pipes
    // and CAPTURE_STARTED may be read after the capture's first audio.
    void captureStarting();
    // Raw PCM as read at `now`, in any chunking; audio beyond the duration is dropped. True when
    // the recording has just become complete or failed, so the main loop should look now.
    bool addAudio(std::span<const std::byte> bytes, Clock::time_point now = Clock::now());

    // The system stopped the capture at `now` and the take goes on: the first audio of the next
    // capture is preceded by silence, as much as keeps the file's length equal to the time
    // since its first frame was captured (so audio lost around the stop is made up too).
    void beginGap(Clock::time_point now);
    struct GapReport {
        double seconds = 0;         // from beginGap() to the first audio after it
        double silenceSeconds = 0;  // written for it
    };
    // The gap closed since the last call, if one did.
    std::optional<GapReport> takeGapReport();
    // With a duration: when the clock has run past it during a gap, fills the rest of the
    // duration with silence, completing the take. The silence written, in seconds, if any.
    std::optional<double> completeGapIfDue(Clock::time_point now);

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
    // Appends `frames` frames of silence, up to the duration; the mutex is held.
    void writeSilence(std::uint64_t frames);
    // Frames the file should hold at `now` if it kept time since anchor_; the mutex is held.
    std::uint64_t framesDueAt(Clock::time_point now) const;

    mutable std::mutex mutex_;  // guards everything below
    std::unique_ptr<SoundFileWriter> writer_;
    const std::string name_;  // of the output, for messages
    const std::optional<double> seconds_;
    std::optional<client::AudioFormat> format_;
    std::uint64_t frameLimit_ = UINT64_MAX;
    std::uint64_t frames_ = 0;
    std::vector<std::byte> partialFrame_;  // the start of a frame split between two chunks
    std::vector<float> samples_;           // scratch for the meter
    // When frame 0 would have been captured, had the take run without a pause: the file keeps
    // time from here. Set by the first audio of a take and of each capture after a pause.
    std::optional<Clock::time_point> anchor_;
    bool nextAudioStartsCapture_ = true;
    std::optional<Clock::time_point> gapSince_;
    std::optional<GapReport> gapReport_;
    LevelMeter meter_;
    std::optional<Failure> failure_;
};

}  // namespace halvo::record
