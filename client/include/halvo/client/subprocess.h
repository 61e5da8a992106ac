#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halvo::client {

// How a child ended: its exit status, or the signal that killed it.
struct ExitStatus {
    bool exited = false;
    int code = 0;    // when exited
    int signal = 0;  // when killed by a signal
};

// A child process whose three standard streams are pipes held by the parent. Owns the pipes and
// the child: destroying it closes the pipes and, if the child is still running, kills and reaps
// it, so no orphan and no zombie outlives the object.
class Subprocess {
  public:
    // Starts argv[0] (searched on PATH) with argv. `extraEnvironment` entries ("NAME=value") are
    // added to this process's environment, replacing entries of the same name. With
    // `ownProcessGroup` the child leads a process group of its own, so a terminal's Ctrl-C reaches
    // only the parent, which then ends the child in order. Returns nullptr and sets `error` when it
    // cannot start.
    static std::unique_ptr<Subprocess> spawn(const std::vector<std::string>& argv,
                                             std::string* error,
                                             const std::vector<std::string>& extraEnvironment = {},
                                             bool ownProcessGroup = false);
    ~Subprocess();
    Subprocess(const Subprocess&) = delete;
    Subprocess& operator=(const Subprocess&) = delete;

    pid_t pid() const { return pid_; }
    // The parent's ends of the pipes; -1 once closed.
    int standardInput() const { return stdin_; }
    int standardOutput() const { return stdout_; }
    int standardError() const { return stderr_; }

    // Not thread-safe as a whole, but write() and closeStandardInput() touch only the input pipe
    // while waitFor() and sendSignal() touch only the child's status: a caller may serialize the
    // two groups separately.

    // Writes all of `data` to the child's standard input. False if the child no longer reads it.
    bool write(std::string_view data);
    void closeStandardInput();

    // Waits up to `timeout` for the child to end; the status once it has (and from then on).
    std::optional<ExitStatus> waitFor(std::chrono::milliseconds timeout);
    void sendSignal(int signal);

  private:
    Subprocess() = default;

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    int stderr_ = -1;
    std::optional<ExitStatus> status_;
};

}  // namespace halvo::client
