#include "tools/halvo-record/recorder.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "halvo/client/helper_client.h"
#include "halvo/protocol.h"
#include "tools/halvo-record/exit_status.h"
#include "tools/halvo-record/recording.h"
#include "tools/halvo-record/terminal.h"

namespace halvo::record {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRedrawInterval = 100ms;
constexpr auto kHeaderUpdateInterval = 1s;
// After the system stops the capture, START is sent again after 0.5 s, then 1 s, 2 s and every
// 4 s after a refusal: soon enough for a sound server that restarts within a second, sparing
// for one that takes its time.
constexpr Clock::duration kFirstRetryDelay = 500ms;
constexpr Clock::duration kLongestRetryDelay = 4s;
// The helper answers every START within its 5 s deadline; past this one the attempt counts as
// refused, so a lost answer cannot stall the recovery.
constexpr Clock::duration kStartAnswerDeadline = 10s;

// A descriptor, closed with its owner.
struct Descriptor {
    explicit Descriptor(int value) : fd(value) {}
    ~Descriptor() { ::close(fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
};

// SIGINT, SIGTERM and SIGHUP end the recording in order: they are blocked in every thread (the
// helper client's threads inherit the mask; the helper itself starts with none blocked) and read
// from the signalfd returned, in the main loop's poll set. They stay blocked until the process
// ends, so one that comes while the helper quits is ignored rather than ending the process
// midway. SIGPIPE and SIGXFSZ (a file size limit reached) become failed writes.
int takeTerminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&set, signal);
    }
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    return ::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

// A signal from the helper, with the reason the helper last gave for a refusal, or its end.
struct HelperEvent {
    std::variant<client::Signal, client::ExitStatus> what;
    std::string refusalReason;
};

// Takes the helper's signals and its end on the client's reader thread and queues them, each
// with the reason the last diagnostic gave for a refusal: the helper logs it just before
// ERROR:PERMISSION_DENIED, but other threads' lines may come between the two.
class EventListener : public client::HelperListener {
  public:
    void onSignal(const client::Signal& signal) override { queue(signal); }
    void onDiagnostic(const client::Diagnostic& diagnostic) override {
        for (const std::string_view prefix :
             {protocol::kPermissionDeniedReason, protocol::kContentErrorReason}) {
            if (diagnostic.message.starts_with(prefix)) {
                std::lock_guard lock(mutex_);
                refusalReason_ = diagnostic.message.substr(prefix.size());
            }
        }
    }
    void onExit(const client::ExitStatus& status) override { queue(status); }

  protected:
    // Called after each event queued, without the mutex.
    virtual void wake() = 0;

    std::mutex mutex_;  // guards events_, refusalReason_ and what subclasses say it guards
    std::vector<HelperEvent> events_;
    std::string refusalReason_;

  private:
    void queue(std::variant<client::Signal, client::ExitStatus> what) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(HelperEvent{std::move(what), refusalReason_});
        }
        wake();
    }
};

// Audio goes straight into the recording; the main loop takes the events.
class RecorderListener : public EventListener {
  public:
    // `wakeFd`: an eventfd in the main loop's poll set, written to wake it early.
    RecorderListener(Recording& recording, int wakeFd) : recording_(recording), wakeFd_(wakeFd) {}

    // The main loop looks at the recording ten times a second anyway; it is woken early only
    // when the recording is complete or failed.
    void onFormat(const client::AudioFormat& format) override {
        if (!recording_.setFormat(format)) {
            wake();
        }
    }
    void onAudio(std::span<const std::byte> bytes) override {
        if (recording_.addAudio(bytes)) {
            wake();
        }
    }

    // Main thread.
    std::vector<HelperEvent> takeEvents() {
        std::lock_guard lock(mutex_);
        return std::exchange(events_, {});
    }

  private:
    void wake() override { (void)::eventfd_write(wakeFd_, 1); }

    Recording& recording_;
    const int wakeFd_;
};

std::string describe(const client::ExitStatus& status) {
    return status.exited ? "exit status " + std::to_string(status.code)
                         : "killed by signal " + std::to_string(status.signal);
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

// Why the helper refused a START, for the line that says a retry failed.
std::string refusalOf(const HelperEvent& event) {
    const auto& signal = std::get<client::Signal>(event.what);
    switch (signal.kind) {
        case client::SignalKind::permissionDenied:
            return "no sound server reachable or access refused" +
                   (event.refusalReason.empty() ? "" : " (" + event.refusalReason + ")");
        case client::SignalKind::noDisplay:
            return "no display found";
        default:
            return orNoDescription(signal.detail);
    }
}

std::string secondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string secondsText(Clock::duration duration) {
    return secondsText(std::chrono::duration<double>(duration).count());
}

// A capture the system stopped, while halvo-record tries to resume it.
struct Recovery {
    std::string cause;  // the description of the stop
    Clock::time_point stoppedAt;
    Clock::duration delay = kFirstRetryDelay;  // before the attempt after this one
    // When to send START; once sent, when to stop waiting for its answer.
    Clock::time_point due;
    bool awaitingAnswer = false;
};

// Writes to standard error, ignoring a closed or full one: nothing can be reported then anyway.
void writeError(const std::string& text) {
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

// The helper to run, with the application options or --list-apps.
client::HelperOptions helperOptionsFor(const Options& options) {
    client::HelperOptions helperOptions;
    std::vector<std::string>& command = helperOptions.command;
    command = {options.helper.empty() ? client::defaultHelperPath() : options.helper};
    if (options.mode == Options::Mode::listApplications) {
        command.push_back("--list-apps");
    }
    for (const std::string& application : options.applications) {
        command.insert(command.end(), {options.applicationOption, application});
    }
    return helperOptions;
}

// Collects what a helper run with --list-apps prints, and how it ends.
class ListListener : public EventListener {
  public:
    void onAudio(std::span<const std::byte> bytes) override {
        std::lock_guard lock(mutex_);
        list_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    }

    // Main thread: waits for the helper's end, `timeout` at most; then the list, or the failure
    // it means.
    std::variant<std::string, Failure> result(std::chrono::seconds timeout) {
        std::unique_lock lock(mutex_);
        if (!ended_.wait_for(lock, timeout, [this] {
                return !events_.empty() &&
                       std::holds_alternative<client::ExitStatus>(events_.back().what);
            })) {
            return Failure{kExitHelperDied,
                           "the audio helper did not list the applications within " +
                               std::to_string(timeout.count()) + " s"};
        }
        // The end comes last; each signal is judged by the last reason given.
        for (const HelperEvent& event : events_) {
            const auto* status = std::get_if<client::ExitStatus>(&event.what);
            if (status != nullptr && status->exited && status->code == 0) {
                break;
            }
            if (auto failure = judge(HelperEvent{event.what, refusalReason_})) {
                return *failure;
            }
        }
        return list_;
    }

  private:
    void wake() override { ended_.notify_all(); }

    std::condition_variable ended_;
    std::string list_;  // guarded by mutex_
};

}  // namespace

int listApplications(const Options& options) {
    std::signal(SIGPIPE, SIG_IGN);
    ListListener listener;
    std::string error;
    auto helper = client::HelperClient::launch(helperOptionsFor(options), listener, &error);
    if (!helper) {
        writeError("halvo-record: cannot start the audio helper: " + error + "\n");
        return kExitHelperUnavailable;
    }
    // The helper ends by itself once it has listed, within its 5 s deadlines (connecting, then
    // the requests); past this bound shutdown() ends it.
    const std::variant<std::string, Failure> result = listener.result(30s);
    helper->shutdown();
    if (const auto* failure = std::get_if<Failure>(&result)) {
        writeError("halvo-record: " + failure->message + "\n");
        return failure->exitStatus;
    }
    const std::string& list = std::get<std::string>(result);
    if (!(std::cout << list << std::flush)) {
        writeError("halvo-record: cannot write the list to standard output\n");
        return kExitOutputFile;
    }
    return kExitOk;
}

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
    Recording recording(std::move(writer), outputName(options), options.seconds);
    const Descriptor signals(takeTerminationSignals());
    const Descriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    RecorderListener listener(recording, wake.fd);

    auto helper = client::HelperClient::launch(helperOptionsFor(options), listener, &error);
    if (!helper) {
        recording.finish();
        complain("cannot start the audio helper: " + error);
        return kExitHelperUnavailable;
    }

    KeyboardInput keyboard;
    std::optional<Failure> failure;
    bool paused = false;
    std::optional<Recovery> recovery;
    const Clock::duration retryLimit = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(options.retrySeconds));

    // An attempt to resume was refused: try again later, or give up once the time is spent.
    const auto attemptFailed = [&](Clock::time_point now, const std::string& reason) {
        const Clock::time_point last = recovery->stoppedAt + retryLimit;
        if (now >= last) {
            complain("giving up after " + secondsText(now - recovery->stoppedAt) +
                     " without capture: " + reason);
            failure = Failure{kExitStreamStopped,
                              "the system stopped the audio stream: " + recovery->cause};
            return;
        }
        recovery->delay = std::min(recovery->delay * 2, kLongestRetryDelay);
        recovery->due = std::min(now + recovery->delay, last);
        recovery->awaitingAnswer = false;
        complain("capture did not resume: " + reason + "; retrying in " +
                 secondsText(recovery->due - now));
    };
    const auto reportGap = [&]() {
        if (const auto gap = recording.takeGapReport()) {
            complain("capture resumed after " + secondsText(gap->seconds) + "; wrote " +
                     secondsText(gap->silenceSeconds) + " of silence");
        }
    };
    const auto take = [&](const HelperEvent& event) {
        const auto now = Clock::now();
        const auto* signal = std::get_if<client::Signal>(&event.what);
        if (signal == nullptr) {
            failure = judge(event);
            return;
        }
        switch (signal->kind) {
            case client::SignalKind::streamStopped:
                if (paused) {
                    // A stop that crossed the user's STOP: the user's START resumes.
                    complain("capture stopped while pausing: " + orNoDescription(signal->detail));
                } else if (recovery && recovery->awaitingAnswer) {
                    attemptFailed(now, orNoDescription(signal->detail));
                } else if (options.retrySeconds <= 0) {
                    failure = judge(event);
                } else if (!recovery) {
                    recovery = Recovery{orNoDescription(signal->detail), now, kFirstRetryDelay,
                                        now + std::min(kFirstRetryDelay, retryLimit), false};
                    recording.beginGap(now);
                    complain("capture stopped: " + recovery->cause + "; retrying in " +
                             secondsText(recovery->due - now));
                }
                return;
            case client::SignalKind::captureStarted:
                recovery.reset();  // the first audio closes the gap and reports it
                return;
            case client::SignalKind::permissionDenied:
            case client::SignalKind::noDisplay:
            case client::SignalKind::captureFailed:
                if (recovery && recovery->awaitingAnswer) {
                    attemptFailed(now, refusalOf(event));
                } else {
                    failure = judge(event);
                }
                return;
            case client::SignalKind::waiting:
            case client::SignalKind::stopped:
                return;
        }
    };

    auto lastDraw = Clock::now() - kRedrawInterval;
    auto lastHeaderUpdate = Clock::now();
    while (!failure) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kRedrawInterval);
        if (recovery && !recovery->awaitingAnswer) {
            wait = std::clamp(
                std::chrono::ceil<std::chrono::milliseconds>(recovery->due - Clock::now()), 0ms,
                wait);
        }
        std::array<pollfd, 3> fds{{{signals.fd, POLLIN, 0},
                                   {wake.fd, POLLIN, 0},
                                   {keyboard.active() ? STDIN_FILENO : -1, POLLIN, 0}}};
        ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
        signalfd_siginfo received{};
        if (::read(signals.fd, &received, sizeof received) ==
            static_cast<ssize_t>(sizeof received)) {
            break;
        }
        eventfd_t wakeups = 0;
        (void)::eventfd_read(wake.fd, &wakeups);
        for (const char key : keyboard.readKeys()) {
            if (key == ' ' && !recovery) {
                paused = !paused;
                if (!paused) {
                    recording.captureStarting();
                }
                paused ? helper->stop() : helper->start();
            }
        }
        for (const HelperEvent& event : listener.takeEvents()) {
            take(event);
            if (failure) {
                break;
            }
        }
        const auto now = Clock::now();
        if (!failure && recovery && now >= recovery->due) {
            if (recovery->awaitingAnswer) {
                attemptFailed(now, "no answer from the helper");
            } else {
                recording.captureStarting();
                helper->start();
                recovery->awaitingAnswer = true;
                recovery->due = now + kStartAnswerDeadline;
            }
        }
        if (!failure && recovery) {
            if (const auto silence = recording.completeGapIfDue(now)) {
                complain("capture had not resumed when the duration ran out; wrote " +
                         secondsText(*silence) + " of silence");
            }
        }
        reportGap();
        if (!failure) {
            failure = recording.failure();
        }
        const Recording::Progress progress = recording.progress();
        if (failure || progress.complete) {
            break;
        }
        if (now - lastHeaderUpdate >= kHeaderUpdateInterval) {
            recording.updateHeader();
            lastHeaderUpdate = now;
        }
        if (showStatus && now - lastDraw >= kRedrawInterval) {
            const TakeState state = recovery ? TakeState::retrying
                                    : paused ? TakeState::paused
                                             : TakeState::recording;
            writeError(
                inPlace(statusLine(progress, recording.takeLevels(), options.seconds, state)));
            lastDraw = now;
        }
    }

    // Audio that arrives while the helper quits still goes into the file, up to the duration.
    helper->shutdown();
    reportGap();
    const bool recorded = recording.finish();
    if (!failure) {
        failure = recording.failure();
    }
    if (failure) {
        complain(failure->message);
        return failure->exitStatus;
    }
    if (!recorded) {
        complain("no audio was captured; " + outputName(options) + " was not written");
        return kExitOk;
    }
    if (showStatus) {
        writeError("\r\x1b[KRecorded " + secondsText(recording.progress().seconds) + " to " +
                   outputName(options) + "\n");
    }
    return kExitOk;
}

}  // namespace halvo::record
