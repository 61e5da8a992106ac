#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "halvo/client/subprocess.h"

namespace halvo::testing {

using namespace std::chrono_literals;

// "[2026-12-06T08:44:00Z] text" -> "text"; other lines unchanged.
std::string messageOf(const std::string& line);
bool isDiagnosticLine(const std::string& line);

// A helper process run the way a parent runs it, with everything it writes collected as it
// arrives: stdout as bytes, stderr as lines.
class HelperProcess {
  public:
    // With `readOutput` false nobody reads stdout, as with a parent that has stopped reading,
    // until readOutput() is called; likewise stderr with `readErrors` and readErrors().
    static std::unique_ptr<HelperProcess> launch(const std::vector<std::string>& argv,
                                                 const std::vector<std::string>& environment = {},
                                                 bool readOutput = true, bool readErrors = true);
    // Start reading stdout, or stderr, once.
    void readOutput();
    void readErrors();
    // Closes the parent's end of stdout, as a parent that goes away without a word. Only while
    // stdout is not being read.
    void closeOutput();
    ~HelperProcess();

    bool send(std::string_view text) { return child_->write(text); }
    // Waits until the helper has read everything sent so far: the next send() comes in a read of
    // its own.
    bool waitUntilInputRead(std::chrono::milliseconds timeout = 5s);
    void closeInput() { child_->closeStandardInput(); }

    // Waits until some stderr line satisfies `matches`; false on timeout.
    bool waitForLine(const std::function<bool(const std::string&)>& matches,
                     std::chrono::milliseconds timeout = 5s) {
        return until(timeout, [&] { return std::ranges::any_of(lines_, matches); });
    }
    // Waits until some stderr line holds `text`.
    bool waitForText(const std::string& text, std::chrono::milliseconds timeout = 5s) {
        return waitForLine(
            [&](const std::string& line) { return line.find(text) != std::string::npos; }, timeout);
    }
    // Waits until `line` has appeared `times` times on stderr (signals and diagnostic messages
    // alike; a diagnostic line matches by its message).
    bool waitFor(const std::string& line, int times = 1, std::chrono::milliseconds timeout = 5s) {
        return until(timeout, [&] { return std::ranges::count(lines_, line, messageOf) >= times; });
    }

    // Waits for `line` after the one the previous call found (the first call searches from the
    // start), so a long run of commands and answers can be followed in step.
    bool waitForNext(const std::string& line, std::chrono::milliseconds timeout = 5s);

    // Waits until the stdout pipe is full, while nobody reads it: the helper's write waits.
    bool waitUntilOutputPipeFull(std::chrono::milliseconds timeout = 5s);

    // Waits until stdout, as read so far, satisfies `holds` (called under a lock, at each
    // arrival); false on timeout.
    bool waitForOutputWhere(const std::function<bool(const std::string&)>& holds,
                            std::chrono::milliseconds timeout = 5s) {
        return until(timeout, [&] { return holds(output_); });
    }
    // Waits until stdout holds at least `bytes` bytes.
    bool waitForOutput(std::size_t bytes, std::chrono::milliseconds timeout = 5s) {
        return waitForOutputWhere([&](const std::string& out) { return out.size() >= bytes; },
                                  timeout);
    }

    // The size of stdout once every byte written into the pipe so far has been read: the two
    // streams are read by separate threads, so a line on stderr may be seen before the bytes
    // written before it. Nothing on timeout (or while stdout is not being read).
    std::optional<std::size_t> drainedOutputSize(std::chrono::milliseconds timeout = 5s);

    // Waits for the exit and for both streams to reach their end.
    std::optional<client::ExitStatus> waitForExit(std::chrono::milliseconds timeout = 5s);
    // Its exit code, or 128 + the signal that ended it; -1 while it still runs at the timeout.
    int exitCode(std::chrono::milliseconds timeout = 5s);
    // Sends QUIT: the exit code, as exitCode().
    int quit(std::chrono::milliseconds timeout = 5s) {
        send("QUIT\n");
        return exitCode(timeout);
    }
    void kill(int signal) { child_->sendSignal(signal); }

    pid_t pid() const { return child_->pid(); }
    std::vector<std::string> lines() const;        // every stderr line, as written
    std::vector<std::string> messages() const;     // lines with any "[timestamp] " prefix removed
    std::vector<std::string> signalLines() const;  // the lines that are not diagnostic lines
    std::string transcript() const;                // every stderr line, each ended by '\n'
    std::string standardOutput() const;
    int count(const std::string& line) const;
    int countStartingWith(const std::string& prefix) const;

  private:
    HelperProcess() = default;
    void collect(int fd, bool isOutput);
    void joinReaders();
    // Waits under the lock, at each arrival, until `done` holds; false on timeout.
    template <typename Condition>
    bool until(std::chrono::milliseconds timeout, Condition done) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, done);
    }

    std::unique_ptr<client::Subprocess> child_;
    // Guards output_, lines_, partialLine_, and the reads that fill them: a stdout pipe seen
    // empty under it holds nothing that output_ lacks.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string output_;
    std::vector<std::string> lines_;
    std::string partialLine_;
    std::size_t cursor_ = 0;  // where waitForNext looks from
    std::thread outputReader_;
    std::thread errorReader_;
};

// The kilobytes of the last "Stopped. Total: N KB, M samples" line; ~0 when there is none.
std::uint64_t lastStoppedKilobytes(const HelperProcess& helper);

// `text`, `times` times over: commands in bulk.
inline std::string repeated(std::string_view text, int times) {
    std::string all;
    while (times-- > 0) {
        all += text;
    }
    return all;
}

// The whole of a file; empty when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace halvo::testing
