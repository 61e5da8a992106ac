#include "halvo/client/helper_client.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

namespace halvo::client {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How long a held diagnostic or error waits for a continuation line once stderr is quiet. The
// helper writes a whole line, line feeds included, in one write, so a short grace suffices.
constexpr milliseconds kContinuationGrace{20};
// How often the reader looks whether a helper that closed both its streams has exited.
constexpr milliseconds kExitPollInterval{20};
// Reads after shutdown: what is left in the pipes, bounded in case some descendant of the helper
// still holds them open and keeps writing.
constexpr int kMaxFinalReads = 64;
// Reads of stderr in one go: its whole pipe buffer, four times over.
constexpr int kMaxDrainReads = 64;

constexpr std::size_t kChunkBytes = 64 * 1024;

// The client whose reader runs on this thread, if any: shutdown() from a listener must not join.
thread_local const HelperClient* readerOf = nullptr;

void setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

enum class ReadResult { data, empty, end };

// One read; `empty` when nothing is there right now, `end` at end of stream or on an error.
ReadResult readOnce(int fd, char* buffer, std::size_t size, std::size_t* count) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got > 0) {
            *count = static_cast<std::size_t>(got);
            return ReadResult::data;
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return ReadResult::empty;
        }
        return ReadResult::end;
    }
}

// "No deadline"; a plain value rather than an optional, which g++ 12 at -O3 takes for
// possibly uninitialized.
constexpr Clock::time_point kNever = Clock::time_point::max();

// A poll() timeout: -1 for kNever.
int millisecondsUntil(Clock::time_point deadline) {
    if (deadline == kNever) {
        return -1;
    }
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<decltype(left)>(0, left));
}

}  // namespace

std::string defaultHelperPath() {
    std::array<char, PATH_MAX> self{};
    const ssize_t length = ::readlink("/proc/self/exe", self.data(), self.size() - 1);
    if (length > 0) {
        std::string path(self.data(), static_cast<std::size_t>(length));
        const std::size_t slash = path.rfind('/');
        if (slash != std::string::npos) {
            std::string beside = path.substr(0, slash + 1) + "halvo-audio-helper";
            if (::access(beside.c_str(), X_OK) == 0) {
                return beside;
            }
        }
    }
    return "halvo-audio-helper";
}

std::unique_ptr<HelperClient> HelperClient::launch(const HelperOptions& options,
                                                   HelperListener& listener, std::string* error) {
    std::vector<std::string> command = options.command;
    if (command.empty()) {
        command.push_back(defaultHelperPath());
    }
    int wake[2] = {-1, -1};
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        if (error) {
            *error = "pipe: " + std::string(std::strerror(errno));
        }
        return nullptr;
    }
    auto child =
        Subprocess::spawn(command, error, options.extraEnvironment, options.ownProcessGroup);
    if (!child) {
        ::close(wake[0]);
        ::close(wake[1]);
        return nullptr;
    }
    setNonBlocking(child->standardOutput());
    setNonBlocking(child->standardError());
    return std::unique_ptr<HelperClient>(
        new HelperClient(std::move(child), listener, options.exitTimeout, wake[0], wake[1]));
}

HelperClient::HelperClient(std::unique_ptr<Subprocess> child, HelperListener& listener,
                           std::chrono::milliseconds exitTimeout, int wakeRead, int wakeWrite)
    : child_(std::move(child)),
      listener_(listener),
      exitTimeout_(exitTimeout),
      wakeRead_(wakeRead),
      wakeWrite_(wakeWrite),
      reader_([this] { readLoop(); }) {}

HelperClient::~HelperClient() {
    shutdown();
    ::close(wakeRead_);
    ::close(wakeWrite_);
}

bool HelperClient::send(std::string_view command) {
    std::string line(command);
    line += '\n';
    std::lock_guard lock(inputMutex_);
    return child_->write(line);
}

void HelperClient::closeInput() {
    std::lock_guard lock(inputMutex_);
    child_->closeStandardInput();
}

std::optional<ExitStatus> HelperClient::pollExit(std::chrono::milliseconds timeout) {
    std::lock_guard lock(statusMutex_);
    return child_->waitFor(timeout);
}

std::optional<AudioFormat> HelperClient::format() const {
    std::lock_guard lock(formatMutex_);
    return format_;
}

ExitStatus HelperClient::shutdown() {
    ExitStatus status;
    {
        std::lock_guard once(shutdownMutex_);
        if (!finalStatus_) {
            finalStatus_ = endHelper();
        }
        status = *finalStatus_;
    }
    // The reader cannot join itself: called from a listener, it returns to readLoop(), which
    // reads out what is left and ends; whoever calls shutdown() next, or the destructor, joins
    // it. Not under shutdownMutex_, which a listener may be waiting for while this joins.
    if (readerOf != this) {
        std::lock_guard lock(joinMutex_);
        if (reader_.joinable()) {
            reader_.join();
        }
    }
    return status;
}

ExitStatus HelperClient::endHelper() {
    send("QUIT");
    closeInput();
    std::optional<ExitStatus> status = pollExit(exitTimeout_);
    while (!status) {
        {
            std::lock_guard lock(statusMutex_);
            child_->sendSignal(SIGKILL);
        }
        status = pollExit(milliseconds(1000));
    }
    // The helper is gone and all it wrote is in the pipes: the reader reads it out and ends.
    const char wake = 1;
    while (::write(wakeWrite_, &wake, 1) < 0 && errno == EINTR) {
    }
    return *status;
}

void HelperClient::deliver(std::vector<StderrRecord> records) {
    for (StderrRecord& record : records) {
        if (auto* signal = std::get_if<Signal>(&record)) {
            listener_.onSignal(*signal);
        } else if (auto* diagnostic = std::get_if<Diagnostic>(&record)) {
            listener_.onDiagnostic(*diagnostic);
        } else {
            const AudioFormat& format = std::get<AudioFormat>(record);
            {
                std::lock_guard lock(formatMutex_);
                format_ = format;
            }
            listener_.onFormat(format);
        }
    }
}

// Reads what stderr holds right now, up to a bound so that a flood cannot keep the reader
// from the audio. False once it has ended.
bool HelperClient::drainStandardError(StderrParser& parser) {
    std::array<char, 4096> buffer;
    for (int reads = 0; reads < kMaxDrainReads; ++reads) {
        std::size_t count = 0;
        switch (readOnce(child_->standardError(), buffer.data(), buffer.size(), &count)) {
            case ReadResult::data:
                deliver(parser.feed(std::string_view(buffer.data(), count)));
                break;
            case ReadResult::empty:
                return true;
            case ReadResult::end:
                return false;
        }
    }
    return true;
}

ExitStatus HelperClient::awaitExit() {
    for (;;) {
        if (auto status = pollExit(milliseconds(0))) {
            return *status;
        }
        pollfd wake{wakeRead_, POLLIN, 0};
        ::poll(&wake, 1, static_cast<int>(kExitPollInterval.count()));
    }
}

void HelperClient::readLoop() {
    readerOf = this;
    StderrParser parser;
    std::vector<char> chunk(kChunkBytes);
    bool outputOpen = true;
    bool errorOpen = true;
    bool formatKnown = false;
    bool wokenByShutdown = false;
    Clock::time_point releaseAt = kNever;  // when a held record is given up

    const auto readError = [&]() {
        errorOpen = drainStandardError(parser);
        releaseAt = parser.holdsRecord() ? Clock::now() + kContinuationGrace : kNever;
    };
    const auto readOutput = [&]() {
        std::size_t count = 0;
        const ReadResult result =
            readOnce(child_->standardOutput(), chunk.data(), chunk.size(), &count);
        if (result == ReadResult::end) {
            outputOpen = false;
        }
        if (result != ReadResult::data) {
            return false;
        }
        // The helper announces the format on stderr before it writes the first audio, so once
        // audio is here the format line is in the stderr pipe: read it first.
        if (!formatKnown && errorOpen) {
            readError();
        }
        formatKnown = formatKnown || format().has_value();
        listener_.onAudio(std::as_bytes(std::span(chunk.data(), count)));
        return true;
    };

    while (outputOpen || errorOpen) {
        std::array<pollfd, 3> fds{{{outputOpen ? child_->standardOutput() : -1, POLLIN, 0},
                                   {errorOpen ? child_->standardError() : -1, POLLIN, 0},
                                   {wakeRead_, POLLIN, 0}}};
        const int ready = ::poll(fds.data(), fds.size(), millisecondsUntil(releaseAt));
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (fds[2].revents != 0) {
            wokenByShutdown = true;
            break;
        }
        // stderr first, so signals and the format line keep their place before later audio.
        if (fds[1].revents != 0) {
            readError();
        }
        if (fds[0].revents != 0) {
            readOutput();
        }
        if (releaseAt != kNever && Clock::now() >= releaseAt) {
            deliver(parser.release());
            releaseAt = kNever;
        }
    }
    if (wokenByShutdown) {
        // The helper has exited, so what its pipes hold is all there is; reads stay bounded in
        // case a descendant still holds them open and writes on.
        if (errorOpen) {
            readError();
        }
        for (int i = 0; i < kMaxFinalReads && outputOpen && readOutput(); ++i) {
        }
        if (errorOpen) {
            readError();
        }
    }
    deliver(parser.finish());
    listener_.onExit(awaitExit());
}

}  // namespace halvo::client
