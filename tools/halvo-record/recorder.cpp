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
#include "tools/halvo-record/retry_policy.h"
#include "tools/halvo-record/terminal.h"

namespace halvo::record {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRedrawInterval = 100ms;
constexpr auto kHeaderUpdateInterval = 1s;
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

// Writes to standard error, ignoring a closed or full one: nothing can be reported then anyway.
void writeError(const std::string& text) {
    (void)!::write(STDERR_FILENO, text.data(), text.size());
}

// The helper to run, with the application options or --list-apps.
client::HelperOptions helperOptionsFor(const Options& options) {
    client::HelperOptions helperOptions;
    std::vector<std::string>& command = helperOptions.command;
    command = {options.helper.empty() ? client::defaultHelperPath() : options.helper};
    if (!options.backend.empty()) {
        command.insert(command.end(), {"--backend", options.backend});
    }
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

// Where halvo-record's lines go: standard error, over the status line when it is drawn.
struct Reporter {
    bool showStatus;  // standard error is a terminal: the status line is drawn there

    void complain(const std::string& message) const {
        writeError((showStatus ? "\r\x1b[K" : "") + std::string("halvo-record: ") + message + "\n");
    }
    // The gap that has closed since the last call, if one has.
    void gap(Recording& recording) const {
        if (const auto gap = recording.takeGapReport()) {
            complain("capture resumed after " + durationText(gap->seconds) + "; wrote " +
                     durationText(gap->silenceSeconds) + " of silence");
        }
    }
};

// The main loop of a take: the helper's events, the keyboard, the retries and the status line.
// Main thread.
class Take {
  public:
    Take(const Options& options, Recording& recording, client::HelperClient& helper,
         const Reporter& say)
        : options_(options),
          recording_(recording),
          helper_(helper),
          say_(say),
          policy_(options.retrySeconds > 0
                      ? std::optional(std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(options.retrySeconds)))
                      : std::nullopt) {}

    // Until the duration is reached, a termination signal comes (nothing returned) or the take
    // fails. `signalsFd`: the termination signals; `wakeFd`: written when events are queued.
    std::optional<Failure> run(int signalsFd, int wakeFd, RecorderListener& listener) {
        while (!failure_) {
            if (!waitForWork(signalsFd, wakeFd)) {
                break;
            }
            for (const char key : keyboard_.readKeys()) {
                if (key == ' ') {
                    apply(policy_.pauseKey(), Clock::now());
                }
            }
            for (const HelperEvent& event : listener.takeEvents()) {
                const auto now = Clock::now();
                if (apply(policy_.take(event, now), now)) {
                    break;
                }
            }
            const auto now = Clock::now();
            if (!failure_ && !apply(policy_.tick(now), now) && policy_.retrying()) {
                if (const auto silence = recording_.completeGapIfDue(now)) {
                    say_.complain("capture had not resumed when the duration ran out; wrote " +
                                  durationText(*silence) + " of silence");
                }
            }
            say_.gap(recording_);
            if (!failure_) {
                failure_ = recording_.failure();
            }
            if (failure_ || recording_.progress().complete) {
                break;
            }
            showProgress(now);
        }
        return failure_;
    }

  private:
    // Waits for an event, a key, a retry that is due or the next redraw. False: a termination
    // signal came.
    bool waitForWork(int signalsFd, int wakeFd) {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kRedrawInterval);
        if (const auto due = policy_.startDue()) {
            wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()),
                              0ms, wait);
        }
        std::array<pollfd, 3> fds{{{signalsFd, POLLIN, 0},
                                   {wakeFd, POLLIN, 0},
                                   {keyboard_.active() ? STDIN_FILENO : -1, POLLIN, 0}}};
        ::poll(fds.data(), fds.size(), static_cast<int>(wait.count()));
        signalfd_siginfo received{};
        if (::read(signalsFd, &received, sizeof received) ==
            static_cast<ssize_t>(sizeof received)) {
            return false;
        }
        eventfd_t wakeups = 0;
        (void)::eventfd_read(wakeFd, &wakeups);
        return true;
    }

    // Takes the policy's step; true when it ends the take.
    bool apply(const RetryPolicy::Step& step, Clock::time_point now) {
        if (step.complain) {
            say_.complain(*step.complain);
        }
        if (step.beginGap) {
            recording_.beginGap(now);
        }
        if (step.stop) {
            helper_.stop();
        }
        if (step.start) {
            recording_.captureStarting();
            helper_.start();
        }
        if (step.fail) {
            failure_ = step.fail;
        }
        return failure_.has_value();
    }

    void showProgress(Clock::time_point now) {
        if (now - lastHeaderUpdate_ >= kHeaderUpdateInterval) {
            recording_.updateHeader();
            lastHeaderUpdate_ = now;
        }
        if (say_.showStatus && now - lastDraw_ >= kRedrawInterval) {
            const TakeState state = policy_.retrying() ? TakeState::retrying
                                    : policy_.paused() ? TakeState::paused
                                                       : TakeState::recording;
            writeError(inPlace(statusLine(recording_.progress(), recording_.takeLevels(),
                                          options_.seconds, state)));
            lastDraw_ = now;
        }
    }

    const Options& options_;
    Recording& recording_;
    client::HelperClient& helper_;
    const Reporter& say_;
    RetryPolicy policy_;
    KeyboardInput keyboard_;
    std::optional<Failure> failure_;
    Clock::time_point lastDraw_ = Clock::now() - kRedrawInterval;
    Clock::time_point lastHeaderUpdate_ = Clock::now();
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
    const Reporter say{::isatty(STDERR_FILENO) != 0};
    std::string error;
    auto writer = SoundFileWriter::open(options.output, outputFormat(options), &error);
    if (!writer) {
        say.complain(error);
        return kExitOutputFile;
    }
    Recording recording(std::move(writer), outputName(options), options.seconds);
    const Descriptor signals(takeTerminationSignals());
    const Descriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    RecorderListener listener(recording, wake.fd);

    auto helper = client::HelperClient::launch(helperOptionsFor(options), listener, &error);
    if (!helper) {
        recording.finish();
        say.complain("cannot start the audio helper: " + error);
        return kExitHelperUnavailable;
    }
    Take take(options, recording, *helper, say);
    std::optional<Failure> failure = take.run(signals.fd, wake.fd, listener);

    // Audio that arrives while the helper quits still goes into the file, up to the duration.
    helper->shutdown();
    say.gap(recording);
    const bool recorded = recording.finish();
    if (!failure) {
        failure = recording.failure();
    }
    if (failure) {
        say.complain(failure->message);
        return failure->exitStatus;
    }
    if (!recorded) {
        say.complain("no audio was captured; " + outputName(options) + " was not written");
        return kExitOk;
    }
    if (say.showStatus) {
        writeError("\r\x1b[KRecorded " + durationText(recording.progress().seconds) + " to " +
                   outputName(options) + "\n");
    }
    return kExitOk;
}

}  // namespace halvo::record
