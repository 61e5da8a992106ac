#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string_view>

#include "capture/capture_service.h"
#include "output/audio_output_handler.h"

namespace halvo {

// Owns the one capture stream of the process and starts and stops it. Commands take effect in
// the order they are given: each waits behind the one the service is still working on, so the
// state after the last command is the one it asks for, and the parent's signals come in the
// order of its commands. Every start is answered (CAPTURE_STARTED or an ERROR: line), every
// stop with STOPPED. A start given while capture runs answers at once; one given while a start
// is still under way gets that start's answer. Outcomes reach the parent only as lines on
// standard error.
class SystemAudioCapture : public std::enable_shared_from_this<SystemAudioCapture> {
  public:
    // The service is borrowed and must outlive every stream it makes. Audio goes to `output`.
    // Every stream records what `applications` admits.
    static std::shared_ptr<SystemAudioCapture> create(
        CaptureService& service,
        platform::FileHandle output = platform::FileHandle::standardOutput(),
        ApplicationRule applications = {});

    // All callable from any thread; all return at once.
    void start();
    void stop();
    // Sends `signal`, then starts, unless shutDown() has begun; then it does neither. For the
    // start-up probe: its signal must not come after the answer to the parent's last word.
    void startAfterSignal(std::string_view signal);
    // Stops for good, on the way out of the process: a start still under way is answered as
    // cancelled and its stream let go, and no start begins afterwards.
    void shutDown();
    // Blocks while `answers` or more answers to commands given are still owed (commands behind
    // a start the server is slow to answer), until shutDown(). For the command reader, which
    // would otherwise pile up answers faster than a parent that does not read can take them.
    void waitWhileOwing(std::size_t answers);

    const std::shared_ptr<AudioOutputHandler>& handler() const { return handler_; }
    std::shared_ptr<CaptureStream> stream() const;

    static constexpr std::int64_t kSampleRate = 48000;
    static constexpr std::int64_t kChannelCount = 1;
    // Why a start was not carried out on the way out.
    static constexpr std::string_view kExiting = "The helper is exiting";

  private:
    enum class Step {
        start,
        stop,
        // Asked by the sink when stdout refused audio: stops the capture that was open then, if
        // it still is.
        stopAfterOutputFailure,
    };
    struct Command {
        Step step;
        int answers = 1;            // starts given while this start was the last command
        std::uint64_t opening = 0;  // stopAfterOutputFailure: the opening of the gate it ends
    };

    SystemAudioCapture(CaptureService& service, platform::FileHandle output,
                       ApplicationRule applications);

    // Lock held. Adds a command; a start given right after a start shares its answer.
    void enqueue(Command command);
    // Lock held. Answers owed by the commands not yet answered.
    std::size_t owed() const;
    // Lock held. Answers the front command (its diagnostic line, unless empty, then its signal
    // once for every start it stands for) and removes it.
    void answerFront(std::string_view message, std::string_view signal);
    // Lock held. False once shutDown() has cancelled the start `ticket`.
    bool isStartInFlight(std::uint64_t ticket) const;
    // Runs queued commands until one has to wait for the service. Takes the lock itself.
    void runCommands();
    void requestContent(std::uint64_t ticket);
    void contentArrived(std::uint64_t ticket, std::optional<ShareableContent> content,
                        std::optional<Error> error);
    // Ends the start `ticket`: with `started` on success, else with the failure's two lines.
    void finishStart(std::uint64_t ticket, std::shared_ptr<CaptureStream> started,
                     std::string_view message, std::string_view signal);
    void stopFinished(std::optional<Error> error);
    void outputFailed();
    void streamStoppedBySystem(CaptureStream& stopped);

    CaptureService& service_;
    const ApplicationRule applications_;
    const std::shared_ptr<AudioOutputHandler> handler_;

    // Guards every field below. Lines are written with it held, so that they leave in the order
    // of the commands they answer; writing a line never blocks.
    mutable std::mutex mutex_;
    // Commands not yet answered, in order; while `busy_` the front one waits for the service.
    std::deque<Command> commands_;
    std::condition_variable answered_;  // a command left commands_, or shutDown() began
    bool busy_ = false;
    // Numbers the starts; a completion for any but the start in flight is late (the start was
    // cancelled at shut-down) and only lets its stream go.
    std::uint64_t startTicket_ = 0;
    std::shared_ptr<CaptureStream> stream_;
    // stream_ was started and has been neither asked to stop nor stopped by the service.
    bool streamRunning_ = false;
    std::uint64_t openings_ = 0;  // successful starts so far
    bool shutDown_ = false;
};

}  // namespace halvo
