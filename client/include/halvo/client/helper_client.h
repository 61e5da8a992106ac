#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "halvo/client/helper_events.h"
#include "halvo/client/helper_listener.h"
#include "halvo/client/stderr_parser.h"
#include "halvo/client/subprocess.h"

namespace halvo::client {

struct HelperOptions {
    // The helper program and its arguments; empty: defaultHelperPath() without arguments.
    std::vector<std::string> command;
    // "NAME=value" entries added to the helper's environment.
    std::vector<std::string> extraEnvironment;
    // How long shutdown() lets the helper take to exit after QUIT before killing it. The helper
    // itself lingers about half a second.
    std::chrono::milliseconds exitTimeout{3000};
    // Runs the helper in a process group of its own, so that a terminal's Ctrl-C reaches only
    // this process, which can then end the helper in order and keep the last audio.
    bool ownProcessGroup = true;
};

// One running helper process, seen from its parent.
//
// launch() starts the helper and a reader thread that reads its standard output and standard
// error and reports everything to a HelperListener (see there for what runs on which thread).
// Commands may be sent from any thread. shutdown(), which the destructor calls, ends the helper
// in order: QUIT, end of input, a bounded wait, then SIGKILL; it reaps the helper and joins the
// reader, so no orphan, zombie or thread outlives the object.
class HelperClient {
  public:
    // Starts the helper. `listener` must outlive the client. Returns nullptr and sets `error`
    // when the helper cannot be started (e.g. no such program).
    static std::unique_ptr<HelperClient> launch(const HelperOptions& options,
                                                HelperListener& listener, std::string* error);
    ~HelperClient();
    HelperClient(const HelperClient&) = delete;
    HelperClient& operator=(const HelperClient&) = delete;

    // Send one command line each; false once the helper no longer reads its input. Any thread,
    // including the listener's.
    bool start() { return send("START"); }
    bool stop() { return send("STOP"); }
    bool quit() { return send("QUIT"); }

    // Ends the helper as described above and returns how it ended; later calls return the same
    // status. Any thread. From a listener it ends and reaps the helper but cannot join the
    // reader it runs on: once the listener returns, the reader delivers what the helper wrote
    // last and onExit(), then ends; the destructor (or a shutdown() from another thread) joins
    // it. From any other thread, nothing reaches the listener after it returns.
    ExitStatus shutdown();

    pid_t pid() const { return child_->pid(); }
    // The format the helper announced, once it has. Any thread.
    std::optional<AudioFormat> format() const;

  private:
    HelperClient(std::unique_ptr<Subprocess> child, HelperListener& listener,
                 std::chrono::milliseconds exitTimeout, int wakeRead, int wakeWrite);
    bool send(std::string_view command);
    void closeInput();
    std::optional<ExitStatus> pollExit(std::chrono::milliseconds timeout);
    // QUIT, end of input, the bounded wait, SIGKILL; then wakes the reader.
    ExitStatus endHelper();

    // Reader thread.
    void readLoop();
    bool drainStandardError(StderrParser& parser);
    void deliver(std::vector<StderrRecord> records);
    ExitStatus awaitExit();

    const std::unique_ptr<Subprocess> child_;
    HelperListener& listener_;
    const std::chrono::milliseconds exitTimeout_;
    const int wakeRead_;   // shutdown() writes to wakeWrite_ to end the reader's wait
    const int wakeWrite_;  // closed by the destructor, after the reader is joined

    std::mutex inputMutex_;     // guards the child's input pipe: child_->write/closeStandardInput
    std::mutex statusMutex_;    // guards the child's status: child_->waitFor/sendSignal
    std::mutex shutdownMutex_;  // serializes endHelper(); guards finalStatus_
    std::mutex joinMutex_;      // guards reader_.join(): never taken by the reader itself
    std::optional<ExitStatus> finalStatus_;
    mutable std::mutex formatMutex_;  // guards format_
    std::optional<AudioFormat> format_;

    std::thread reader_;  // last member: started once everything above exists
};

// The helper next to the running executable when there is one, else "halvo-audio-helper" to be
// looked up on PATH.
std::string defaultHelperPath();

}  // namespace halvo::client
