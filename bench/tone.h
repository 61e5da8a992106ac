#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/measure.h"
#include "halvo/client/subprocess.h"

namespace halvo::bench {

// Plays silence or a 440 Hz tone into the default sink in real time through pacat, 5 ms at a
// time, so that the moment the tone starts is known to within one block.
class TonePlayer {
  public:
    TonePlayer();
    ~TonePlayer();
    bool ok() const { return player_ != nullptr; }
    // Turns the tone on or off; returns when the first block of the new kind was written.
    Clock::time_point set(bool on);

  private:
    void play();

    std::unique_ptr<client::Subprocess> player_;
    std::atomic<bool> running_{true};
    std::mutex mutex_;  // guards wanted_, playing_, switchedAt_
    std::condition_variable changed_;
    bool wanted_ = false;
    bool playing_ = false;
    Clock::time_point switchedAt_;
    std::thread thread_;  // last: it starts once everything it uses exists
};

// Where a recorder's stream stood on the wall clock.
struct Timeline {
    Clock::time_point firstAt;  // the first chunk's arrival
    std::uint64_t firstChunkBytes = 0;
    Clock::time_point lastAt;  // the latest chunk's arrival
    std::uint64_t bytes = 0;   // all bytes, the first chunk's included
    // Wall-clock time since the first chunk minus the audio delivered after it, in ms: positive
    // when the recorder delivers less audio than time passes.
    double driftMs() const;
};

// Reads a recorder's PCM on a thread of its own until `until`, noting when each tone onset
// arrived and how much audio came when.
class PcmWatcher {
  public:
    PcmWatcher(int fd, Clock::time_point until);
    ~PcmWatcher() { join(); }
    void join();
    std::vector<Clock::time_point> onsets();
    Timeline timeline();

  private:
    void take(const char* data, std::size_t size);

    std::mutex mutex_;  // guards everything below but thread_
    std::string carry_;
    bool inTone_ = false;
    std::uint64_t quietSamples_ = 0;
    std::vector<Clock::time_point> onsets_;
    Timeline timeline_;
    std::thread thread_;
};

// Median delay from each tone switched on to its onset arriving at the parent, in ms.
double onsetLatencyMs(const std::vector<Clock::time_point>& sent,
                      const std::vector<Clock::time_point>& arrived);

}  // namespace halvo::bench
