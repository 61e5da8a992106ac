#pragma once

#include <cstddef>
#include <span>

#include "halvo/client/helper_events.h"
#include "halvo/client/subprocess.h"

namespace halvo::client {

// Receives what a running helper says. For every method: the client's reader thread calls it,
// one call at a time, in the order things were read, and never after HelperClient::shutdown()
// has returned on another thread. Arguments belong to the client and live only for the call. A
// method may send commands (start, stop, quit) and call shutdown(), which then returns once the
// helper has ended (the rest of its output and onExit() follow after this call returns), but
// must not destroy the client (that waits for the very thread it runs on), must not throw, and
// should return soon: while it runs, nothing is read from the helper, which then blocks once
// its pipes are full.
class HelperListener {
  public:
    virtual ~HelperListener() = default;

    // A signal line, any continuation lines of its description folded into `signal.detail`.
    virtual void onSignal(const Signal& signal) = 0;
    // The announced format. Comes before the first onAudio() whenever the helper announces one.
    virtual void onFormat(const AudioFormat& format) { (void)format; }
    // Raw PCM exactly as read from the helper, in order and without gaps. A chunk may end in the
    // middle of a frame; the next chunk continues it.
    virtual void onAudio(std::span<const std::byte> bytes) = 0;
    // A diagnostic line (continuation lines folded in), or stray text with an empty timestamp.
    virtual void onDiagnostic(const Diagnostic& diagnostic) { (void)diagnostic; }
    // The last call: the helper has ended and everything it wrote has been delivered. Comes
    // whether the helper was asked to quit, killed, or died by itself.
    virtual void onExit(const ExitStatus& status) = 0;
};

}  // namespace halvo::client
