#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_handle.h"

namespace halvo {

class SystemAudioCapture;

enum class ReaderVerdict { keepReading, quit };

// Runs one command line (without its line feed): logs it, then STOP, START, or "quit" for QUIT.
ReaderVerdict runCommand(std::string_view line, SystemAudioCapture& capture);

// Joins what successive reads deliver into command lines. A line runs once it is whole: ended by
// a line feed; or, before its line feed, when its text trimmed is exactly START, STOP or QUIT
// (the white space and line feed that then follow only end it); or when input ends; or once it
// passes kMaxLineBytes, when it runs as it stands and the rest of it, up to its line feed, is
// dropped unrun. Any other text waits for more. Holds at most kMaxLineBytes and one read.
class CommandAssembler {
  public:
    // Adds one read's data. Invalidates what next() and finish() returned.
    void add(std::string_view data);
    // The next whole command line, without its line feed, or nothing until more is added.
    std::optional<std::string_view> next();
    // Input has ended: the text still waiting, if any, as the last command line.
    std::optional<std::string_view> finish();

  private:
    enum class After { nothing, ranEarly, overlong };

    std::string text_;
    std::size_t at_ = 0;  // text_ before this has been handed out or dropped
    // What the text at at_ continues: a line already run, in full or in part, or none.
    After after_ = After::nothing;
};

// Bytes asked of one read of standard input.
inline constexpr std::size_t kReadBytes = 65536;
// A line that grows past this without a line feed is run as it stands, and its rest dropped.
inline constexpr std::size_t kMaxLineBytes = 1 << 20;
// Answers that may be owed at once: a STOPPED each is 8 KiB, well inside what may wait for a
// parent that reads late.
inline constexpr std::size_t kOwedAnswers = 1024;

// Reads commands until "QUIT" or end of input, then quits the helper (quitHelper()). Never
// returns.
[[noreturn]] void runCommandReader(platform::FileHandle input, SystemAudioCapture& capture);

// As QUIT, from any thread: the command reader runs no further command; capture stops for good,
// the stop gets half a second to report, the lines are given until none has gone out for half a
// second, and the process exits with status 0. The first caller does so; a later one waits for
// that exit. Never returns.
[[noreturn]] void quitHelper(SystemAudioCapture& capture);

}  // namespace halvo
