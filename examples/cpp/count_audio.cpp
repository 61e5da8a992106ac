// count-audio: launches halvo-audio-helper through the client library, takes SECONDS of audio,
// then stops and ends the helper in order, and says what it got.
//
// Usage: count-audio SECONDS [HELPER [ARGUMENTS...]]
#include <halvo/client/helper_client.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace halvo::client;

// Counts audio bytes and remembers the first error; runs on the client's reader thread.
class Counter : public HelperListener {
  public:
    explicit Counter(double seconds) : seconds_(seconds) {}

    void onSignal(const Signal& signal) override {
        if (signal.kind == SignalKind::permissionDenied || signal.kind == SignalKind::noDisplay ||
            signal.kind == SignalKind::captureFailed || signal.kind == SignalKind::streamStopped) {
            finish("error signal: " + signal.detail);
        }
    }
    void onFormat(const AudioFormat& format) override {
        std::lock_guard lock(mutex_);
        needed_ = static_cast<std::size_t>(seconds_ * format.sampleRate) * format.bytesPerFrame();
    }
    void onAudio(std::span<const std::byte> bytes) override {
        std::lock_guard lock(mutex_);
        bytes_ += bytes.size();
        if (needed_ != 0 && bytes_ >= needed_) {
            done_ = true;
            changed_.notify_all();
        }
    }
    void onExit(const ExitStatus&) override { finish("the helper ended"); }

    // Main thread: waits until enough audio came or something ended it; empty when all is well.
    std::string wait() {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return done_; });
        return done_ ? problem_ : "timed out";
    }
    std::size_t bytes() {
        std::lock_guard lock(mutex_);
        return bytes_;
    }

  private:
    void finish(const std::string& why) {
        std::lock_guard lock(mutex_);
        if (!done_) {
            problem_ = why;
            done_ = true;
            changed_.notify_all();
        }
    }

    const double seconds_;
    std::mutex mutex_;  // guards everything below
    std::condition_variable changed_;
    std::size_t needed_ = 0;
    std::size_t bytes_ = 0;
    bool done_ = false;
    std::string problem_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: count-audio SECONDS [HELPER [ARGUMENTS...]]\n");
        return 2;
    }
    Counter counter(std::atof(argv[1]));
    HelperOptions options;
    options.command.assign(argv + 2, argv + argc);  // empty: the installed helper
    std::string error;
    auto helper = HelperClient::launch(options, counter, &error);
    if (!helper) {
        std::fprintf(stderr, "count-audio: %s\n", error.c_str());
        return 1;
    }
    const std::string problem = counter.wait();
    helper->stop();
    const ExitStatus status = helper->shutdown();
    const auto format = helper->format();
    if (!problem.empty() || !format) {
        std::fprintf(stderr, "count-audio: %s\n", problem.empty() ? "no format" : problem.c_str());
        return 1;
    }
    std::printf("%zu bytes of %.0f Hz, %u channel(s), %u-bit audio; helper exit status %d\n",
                counter.bytes(), format->sampleRate, format->channels, format->bitsPerChannel,
                status.code);
    return status.exited && status.code == 0 ? 0 : 1;
}
