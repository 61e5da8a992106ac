#include "tests/support/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <utility>

#include <gtest/gtest.h>

#include "tests/support/waiting.h"

namespace halvo::testing {

std::unique_ptr<HelperProcess> HelperProcess::launch(const std::vector<std::string>& argv,
                                                     const std::vector<std::string>& environment,
                                                     bool readOutput, bool readErrors) {
    std::string error;
    auto child = client::Subprocess::spawn(argv, &error, environment);
    if (!child) {
        return nullptr;
    }
    std::unique_ptr<HelperProcess> process(new HelperProcess());
    process->child_ = std::move(child);
    if (readOutput) {
        process->readOutput();
    }
    if (readErrors) {
        process->readErrors();
    }
    return process;
}

void HelperProcess::readOutput() {
    if (!outputReader_.joinable()) {
        outputReader_ = std::thread([this] { collect(child_->standardOutput(), true); });
    }
}

void HelperProcess::readErrors() {
    if (!errorReader_.joinable()) {
        errorReader_ = std::thread([this] { collect(child_->standardError(), false); });
    }
}

void HelperProcess::closeOutput() {
    // The descriptor's number stays taken (by /dev/null) for the Subprocess that owns it.
    const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::dup2(nothing, child_->standardOutput());
    ::close(nothing);
}

HelperProcess::~HelperProcess() {
    // A helper blocked on a full stdout, or holding commands back for unread signals, must be
    // able to finish.
    readOutput();
    readErrors();
    child_->closeStandardInput();
    if (!child_->waitFor(2s)) {
        child_->sendSignal(SIGKILL);
        child_->waitFor(2s);
    }
    joinReaders();
    // The helper leaves through _Exit, so a sanitizer's report in it shows only on its stderr.
    for (const std::string& line : lines_) {
        if (line.find("Sanitizer") != std::string::npos ||
            line.find("runtime error:") != std::string::npos) {
            ADD_FAILURE() << "the helper reported: " << line;
        }
    }
}

void HelperProcess::joinReaders() {
    for (std::thread* reader : {&outputReader_, &errorReader_}) {
        if (reader->joinable()) {
            reader->join();
        }
    }
}

void HelperProcess::collect(int fd, bool isOutput) {
    char buffer[65536];
    for (;;) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, -1) < 0 && errno == EINTR) {
            continue;
        }
        // Data (or the end) is there, so the read returns at once; it is made under the lock
        // for drainedOutputSize().
        std::lock_guard lock(mutex_);
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (!isOutput && !partialLine_.empty()) {
                lines_.push_back(std::exchange(partialLine_, {}));
            }
            changed_.notify_all();
            return;
        }
        if (isOutput) {
            output_.append(buffer, static_cast<std::size_t>(got));
        } else {
            partialLine_.append(buffer, static_cast<std::size_t>(got));
            std::size_t end;
            while ((end = partialLine_.find('\n')) != std::string::npos) {
                lines_.push_back(partialLine_.substr(0, end));
                partialLine_.erase(0, end + 1);
            }
        }
        changed_.notify_all();
    }
}

bool HelperProcess::waitForNext(const std::string& line, std::chrono::milliseconds timeout) {
    return until(timeout, [&] {
        for (; cursor_ < lines_.size(); ++cursor_) {
            if (messageOf(lines_[cursor_]) == line) {
                ++cursor_;
                return true;
            }
        }
        return false;
    });
}

std::optional<client::ExitStatus> HelperProcess::waitForExit(std::chrono::milliseconds timeout) {
    auto status = child_->waitFor(timeout);
    if (status) {
        joinReaders();
    }
    return status;
}

int HelperProcess::exitCode(std::chrono::milliseconds timeout) {
    const auto status = waitForExit(timeout);
    return !status ? -1 : status->exited ? status->code : 128 + status->signal;
}

bool HelperProcess::waitUntilInputRead(std::chrono::milliseconds timeout) {
    return eventually([&] { return bytesInPipe(child_->standardInput()) == 0; }, timeout);
}

bool HelperProcess::waitUntilOutputPipeFull(std::chrono::milliseconds timeout) {
    // The helper makes its stdout pipe 1 MiB, over five seconds of a server's audio, before its
    // first byte; back at 64 KiB once that byte is there, the pipe fills in a third of a second.
    // Full: over half of it taken, and not a byte more for 100 ms while audio keeps coming
    // (writes of less than a page leave part of each page unused, so no count says full).
    const int output = child_->standardOutput();
    if (!eventually([&] { return bytesInPipe(output) > 0; }, timeout)) {
        return false;
    }
    ::fcntl(output, F_SETPIPE_SZ, 1 << 16);
    std::size_t seen = 0;
    auto since = std::chrono::steady_clock::now();
    return eventually(
        [&] {
            const auto now = std::chrono::steady_clock::now();
            if (const std::size_t bytes = bytesInPipe(output); bytes != seen) {
                seen = bytes;
                since = now;
            }
            return seen > (1 << 15) && now - since > 100ms;
        },
        timeout);
}

std::optional<std::size_t> HelperProcess::drainedOutputSize(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait_for(lock, timeout,
                           [&] { return bytesInPipe(child_->standardOutput()) == 0; })) {
        return std::nullopt;
    }
    return output_.size();
}

std::vector<std::string> HelperProcess::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> HelperProcess::messages() const {
    std::vector<std::string> result = lines();
    std::ranges::transform(result, result.begin(), messageOf);
    return result;
}

std::vector<std::string> HelperProcess::signalLines() const {
    std::vector<std::string> result = lines();
    std::erase_if(result, isDiagnosticLine);
    return result;
}

std::string HelperProcess::transcript() const {
    std::string text;
    for (const std::string& line : lines()) {
        text += line + "\n";
    }
    return text;
}

std::string HelperProcess::standardOutput() const {
    std::lock_guard lock(mutex_);
    return output_;
}

int HelperProcess::count(const std::string& line) const {
    return static_cast<int>(std::ranges::count(messages(), line));
}

bool isDiagnosticLine(const std::string& line) {
    // Compared by hand: waits match every line collected so far, again at each arrival, and a
    // regular expression made that quadratic cost seconds in sanitizer builds.
    constexpr std::string_view form = "[dddd-dd-ddTdd:dd:ddZ] ";
    return line.size() >= form.size() &&
           std::equal(form.begin(), form.end(), line.begin(), [](char expected, char c) {
               return expected == 'd' ? c >= '0' && c <= '9' : c == expected;
           });
}

std::uint64_t lastStoppedKilobytes(const HelperProcess& helper) {
    static const std::regex form(R"(^Stopped\. Total: (\d+) KB, \d+ samples$)");
    std::uint64_t kilobytes = ~0ull;
    for (const std::string& message : helper.messages()) {
        std::smatch totals;
        if (std::regex_match(message, totals, form)) {
            kilobytes = std::stoull(totals[1]);
        }
    }
    return kilobytes;
}

std::string messageOf(const std::string& line) {
    return isDiagnosticLine(line) ? line.substr(23) : line;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

int HelperProcess::countStartingWith(const std::string& prefix) const {
    return static_cast<int>(std::ranges::count_if(
        messages(), [&](const std::string& line) { return line.starts_with(prefix); }));
}

}  // namespace halvo::testing
