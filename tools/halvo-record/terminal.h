#pragma once

#include <termios.h>

#include <optional>
#include <string>

#include "tools/halvo-record/recording.h"

namespace halvo::record {

// Single key presses from a terminal on standard input: no line editing, no echo. Ctrl-C still
// raises SIGINT. The previous settings come back on destruction. Main thread only.
class KeyboardInput {
  public:
    // Does nothing when standard input is not a terminal.
    KeyboardInput();
    ~KeyboardInput();
    KeyboardInput(const KeyboardInput&) = delete;
    KeyboardInput& operator=(const KeyboardInput&) = delete;

    bool active() const { return saved_.has_value(); }
    // The keys pressed so far, without waiting.
    std::string readKeys();

  private:
    std::optional<termios> saved_;
};

enum class TakeState {
    recording,
    paused,    // by the user (Space)
    retrying,  // the system stopped the capture; halvo-record tries to resume it
};

// "REC    00:01:02.5  1.2 MB  peak  -6.0 dBFS  rms -12.3 dBFS  [#####-----]" and the like.
std::string statusLine(const Recording::Progress& progress, const Levels& shown,
                       std::optional<double> seconds, TakeState state);

// The line as a terminal shows it in place of the previous one.
std::string inPlace(const std::string& line);

}  // namespace halvo::record
