#include "tools/halvo-record/recorder.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "client/helper_client.h"
#include "tools/halvo-record/exit_status.h"
#include "tools/halvo-record/recording.h"
#include "tools/halvo-record/terminal.h"

namespace halvo::record {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRedrawInterval = 100ms;
constexpr auto kHeaderUpdateInterval = 1s;

// Written by the signal handler, hence a lock-free atomic and a sig_atomic_t.
std::atomic<int> wakeFdForSignals{-1};
volatile std::sig_atomic_t interrupted = 0;

extern "C" void onTerminationSignal(int) {
    const int savedErrno = errno;
    interrupted = 1;
    const int fd = wakeFdForSignals.load();
    if (fd >= 0) {
        const char byte = 1;
        (void)!::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

// A pipe whose reader is the main loop's poll(): threads and signal handlers write a byte to end
// its wait. Writes never block; a full pipe already wakes the reader.
class WakePipe {
  public:
    WakePipe() {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) {
            fds_[0] = fds_[1] = -1;
        }
    }
    ~WakePipe() {
        for (int fd : fds_) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    WakePipe(const WakePipe&) = delete;
    WakePipe& operator=(const WakePipe&) = delete;

    int readEnd() const { return fds_[0]; }
    int writeEnd() const { return fds_[1]; }
    void notify() const {
        const char byte = 1;
        (void)!::write(fds_[1], &byte, 1);
    }
    void drain() const {
        char buffer[256];
        while (::read(fds_[0], buffer, sizeof buffer) > 0) {
        }
    }

  private:
    int fds_[2];
};

// SIGINT, SIGTERM and SIGHUP end the recording in order instead of the process; SIGPIPE and
// SIGXFSZ (a file size limit reached) become failed writes. The previous dispositions come back
// on destruction.
class SignalHandlers {
  public:
    explicit SignalHandlers(int wakeFd) {
        wakeFdForSignals.store(wakeFd);
        struct sigaction action {};
        action.sa_handler = onTerminationSignal;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            ::sigaction(kSignals[i], &action, &previous_[i]);
        }
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGPIPE, &ignore, &previousPipe_);
        ::sigaction(SIGXFSZ, &ignore, &previousFileSize_);
    }
    ~SignalHandlers() {
        for (std::size_t i = 0; i < kSignals.size(); ++i) {
            ::sigaction(kSignals[i], &previous_[i], nullptr);
        }
        ::sigaction(SIGPIPE, &previousPipe_, nullptr);
        ::sigaction(SIGXFSZ, &previousFileSize_, nullptr);
        wakeFdForSignals.store(-1);
    }
    SignalHandlers(const SignalHandlers&) = delete;
    SignalHandlers& operator=(const SignalHandlers&) = delete;

  private:
    static constexpr std::array<int, 3> kSignals{SIGINT, SIGTERM, SIGHUP};
    std::array<struct sigaction, 3> previous_{};
    struct sigaction previousPipe_ {};
    struct sigaction previousFileSize_ {};
};

// A signal from the helper, with the reason the helper last gave for a refusal, or its end.
struct HelperEvent {
    std::variant<client::Signal, client::ExitStatus> what;
    std::string refusalReason;
};

// The helper's reason when a diagnostic gives one for a refusal. It logs the reason just before
// ERROR:PERMISSION_DENIED, but other threads' lines may come between the two.
std::optional<std::string> refusalReasonIn(const std::string& message) {
    for (const std::string_view prefix : {"Permission denied: ", "Content error: "}) {
        if (message.starts_with(prefix)) {
            return message.substr(prefix.size());
        }
    }
    return std::nullopt;
}

// Takes the helper's words on the client's reader thread: audio goes straight into the
// recording; signals and the end are queued for the main loop.
class RecorderListener : public client::HelperListener {
  public:
    RecorderListener(Recording& recording, const WakePipe& wake)
        : recording_(recording), wake_(wake) {}

    void onSignal(const client::Signal& signal) override { queue(signal); }
    // The main loop looks at the recording ten times a second anyway; it is woken early only
    // when the recording is complete or failed.
    void onFormat(const client::AudioFormat& format) override {
        if (!recording_.setFormat(format)) {
            wake_.notify();
        }
    }
    void onAudio(std::span<const std::byte> bytes) override {
        if (recording_.addAudio(bytes)) {
            wake_.notify();
        }
    }
    void onDiagnostic(const client::Diagnostic& diagnostic) override {
        if (auto reason = refusalReasonIn(diagnostic.message)) {
            std::lock_guard lock(mutex_);
            refusalReason_ = std::move(*reason);
        }
    }
    void onExit(const client::ExitStatus& status) override { queue(status); }

    // Main thread.
    std::vector<HelperEvent> takeEvents() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

  private:
    void queue(std::variant<client::Signal, client::ExitStatus> what) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(HelperEvent{std::move(what), refusalReason_});
        }
        wake_.notify();
    }

    Recording& recording_;
    const WakePipe& wake_;
    std::mutex mutex_;  // guards events_ and refusalReason_
    std::vector<HelperEvent> events_;
    std::string refusalReason_;
};

std::string describe(const client::ExitStatus& status) {
    if (status.exited) {
        return "exit status " + std::to_string(status.code);
    }
    return "killed by signal " + std::to_string(status.signal);
}

std::string orNoDescription(const std::string& detail) {
    return detail.empty() ? "(no description)" : detail;
}

// The failure an event means, if it means one.
std::optional<Failure> judge(const HelperEvent& event) {
    if (const auto* status = std::get_if<client::ExitStatus>(&event.what)) {
        return Failure{kExitHelperDied,
                       "the audio helper ended unexpectedly (" + describe(*status) + ")"};
    }
    const auto& signal = std::get<client::Signal>(event.what);
    switch (signal.kind) {
        case client::SignalKind::permissionDenied:
            return Failure{
                kExitPermissionDenied,
                "cannot capture system audio: permission denied or no sound server" +
                    (event.refusalReason.empty() ? "" : " (" + event.refusalReason + ")")};
        case client::SignalKind::noDisplay:
            return Failure{kExitNoDisplay, "cannot capture system audio: no display found"};
        case client::SignalKind::captureFailed:
            return Failure{kExitCaptureFailed, "system audio capture failed to start: " +
                                                   orNoDescription(signal.detail)};
        case client::SignalKind::streamStopped:
            return Failure{kExitStreamStopped, "the system stopped the audio stream: " +
                                                   orNoDescription(signal.detail)};
        case client::SignalKind::waiting:
        case client::SignalKind::captureStarted:
        case client::SignalKind::stopped:
            break;
    }
    return std::nullopt;
}

// Writes to standard error, ignoring a closed or full one: nothing can be reported then anyway.
void writeError(const std::string& text) {
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

}  // namespace

int record(const Options& options) {
    const bool showStatus = ::isatty(STDERR_FILENO) != 0;
    const auto complain = [&](const std::string& message) {
        writeError((showStatus ? "\r\x1b[K" : "") + std::string("halvo-record: ") + message + "\n");
    };
    std::string error;
    auto writer = SoundFileWriter::open(options.output, outputFormat(options), &error);
    if (!writer) {
        complain(error);
        return kExitOutputFile;
    }
    Recording recording(std::move(writer), options.output, options.seconds);
    WakePipe wake;
    interrupted = 0;
    SignalHandlers handlers(wake.writeEnd());
    RecorderListener listener(recording, wake);

    client::HelperOptions helperOptions;
    if (!options.helper.empty()) {
        helperOptions.command = {options.helper};
    }
    auto helper = client::HelperClient::launch(helperOptions, listener, &error);
    if (!helper) {
        recording.finish();
        complain("cannot start the audio helper: " + error);
        return kExitHelperUnavailable;
    }

    KeyboardInput keyboard;
    std::optional<Failure> failure;
    bool paused = false;
    auto lastDraw = Clock::now() - kRedrawInterval;
    auto lastHeaderUpdate = Clock::now();
    while (!failure && !interrupted) {
        std::array<pollfd, 2> fds{
            {{wake.readEnd(), POLLIN, 0}, {keyboard.active() ? STDIN_FILENO : -1, POLLIN, 0}}};
        ::poll(fds.data(), fds.size(), static_cast<int>(kRedrawInterval.count()));
        wake.drain();
        for (const char key : keyboard.readKeys()) {
            if (key == ' ') {
                paused = !paused;
                paused ? helper->stop() : helper->start();
            }
        }
        for (const HelperEvent& event : listener.takeEvents()) {
            failure = judge(event);
            if (failure) {
                break;
            }
        }
        if (!failure) {
            failure = recording.failure();
        }
        const Recording::Progress progress = recording.progress();
        if (failure || progress.complete) {
            break;
        }
        const auto now = Clock::now();
        if (now - lastHeaderUpdate >= kHeaderUpdateInterval) {
            recording.updateHeader();
            lastHeaderUpdate = now;
        }
        if (showStatus && now - lastDraw >= kRedrawInterval) {
            writeError(
                inPlace(statusLine(progress, recording.takeLevels(), options.seconds, paused)));
            lastDraw = now;
        }
    }

    // Audio that arrives while the helper quits still goes into the file, up to the duration.
    helper->shutdown();
    const bool recorded = recording.finish();
    if (!failure) {
        failure = recording.failure();
    }
    if (failure) {
        complain(failure->message);
        return failure->exitStatus;
    }
    if (!recorded) {
        complain("no audio was captured; " + options.output + " was not written");
        return kExitOk;
    }
    if (showStatus) {
        const Recording::Progress progress = recording.progress();
        char summary[64];
        std::snprintf(summary, sizeof summary, "Recorded %.1f s to ", progress.seconds);
        writeError("\r\x1b[K" + std::string(summary) + options.output + "\n");
    }
    return kExitOk;
}

}  // namespace halvo::record
