#include "bench/tone.h"

#include <cmath>
#include <cstring>

#include "tests/support/tone.h"

namespace halvo::bench {

using namespace std::chrono_literals;

TonePlayer::TonePlayer() {
    std::string error;
    player_ = client::Subprocess::spawn({"pacat", "--playback", "--format=float32le",
                                         "--rate=48000", "--channels=1", "--latency-msec=10"},
                                        &error);
    if (player_)
        thread_ = std::thread([this] { play(); });
}

TonePlayer::~TonePlayer() {
    running_ = false;
    if (thread_.joinable())
        thread_.join();
}

Clock::time_point TonePlayer::set(bool on) {
    std::unique_lock lock(mutex_);
    wanted_ = on;
    changed_.wait(lock, [&] { return playing_ == on; });
    return switchedAt_;
}

void TonePlayer::play() {
    constexpr int kBlock = 240;
    std::vector<float> block(kBlock);
    std::uint64_t sample = 0;
    auto next = Clock::now();
    while (running_) {
        bool on;
        {
            std::lock_guard lock(mutex_);
            on = wanted_;
        }
        block = on ? testing::sine(440.0, 0.5, kBlock, 1, sample) : std::vector<float>(kBlock);
        sample += kBlock;
        if (!player_->write({reinterpret_cast<const char*>(block.data()), sizeof(float) * kBlock}))
            return;
        {
            std::lock_guard lock(mutex_);
            if (playing_ != on) {
                playing_ = on;
                switchedAt_ = Clock::now();
                changed_.notify_all();
            }
        }
        next += 5ms;
        std::this_thread::sleep_until(next);
    }
}

double Timeline::driftMs() const {
    if (bytes == 0)
        return 0;
    const double wall = std::chrono::duration<double, std::milli>(lastAt - firstAt).count();
    return wall - static_cast<double>(bytes - firstChunkBytes) * 1000 / kBytesPerSecond;
}

PcmWatcher::PcmWatcher(int fd, Clock::time_point until)
    : thread_([this, fd, until] {
          drain(fd, until, [this](const char* data, std::size_t size) { take(data, size); });
      }) {}

void PcmWatcher::join() {
    if (thread_.joinable())
        thread_.join();
}

std::vector<Clock::time_point> PcmWatcher::onsets() {
    std::lock_guard lock(mutex_);
    return onsets_;
}

Timeline PcmWatcher::timeline() {
    std::lock_guard lock(mutex_);
    return timeline_;
}

void PcmWatcher::take(const char* data, std::size_t size) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    if (timeline_.bytes == 0) {
        timeline_.firstAt = now;
        timeline_.firstChunkBytes = size;
    }
    timeline_.bytes += size;
    timeline_.lastAt = now;
    carry_.append(data, size);
    const std::size_t whole = carry_.size() / 4 * 4;
    for (std::size_t at = 0; at < whole; at += 4) {
        float value;
        std::memcpy(&value, carry_.data() + at, 4);
        const bool loud = std::fabs(value) > 0.05f;
        // 20 ms of quiet (a tone crosses zero often, but never for that long) ends a tone.
        quietSamples_ = loud ? 0 : quietSamples_ + 1;
        if (loud && !inTone_) {
            inTone_ = true;
            onsets_.push_back(now);
        } else if (inTone_ && quietSamples_ > 960) {
            inTone_ = false;
        }
    }
    carry_.erase(0, whole);
}

double onsetLatencyMs(const std::vector<Clock::time_point>& sent,
                      const std::vector<Clock::time_point>& arrived) {
    std::vector<double> delays;
    for (const auto& onset : sent) {
        for (const auto& when : arrived) {
            if (when >= onset) {
                delays.push_back(std::chrono::duration<double, std::milli>(when - onset).count());
                break;
            }
        }
    }
    return median(delays);
}

}  // namespace halvo::bench
