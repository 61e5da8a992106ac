#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/file_handle.h"

namespace halvo {

class SystemAudioCapture;

enum class ReaderVerdict { keepReading, quit };

// Runs every command line in one read of standard input, in order; stops at "QUIT".
ReaderVerdict runCommands(std::string_view data, SystemAudioCapture& capture);

// Joins what successive reads deliver into whole command lines. A read that fills the whole
// read buffer may have cut a line in two: its unfinished last line waits for the next read. A
// shorter read is all the parent wrote, so its last piece is a command even without a line feed.
class CommandAssembler {
  public:
    // The text to run now, given one read's data and whether it filled the read buffer. Valid
    // until the next call.
    std::string_view take(std::string_view data, bool readWasFull);

  private:
    std::string carried_;
    std::size_t taken_ = 0;  // the front of carried_ handed out by the last call
};

// Bytes asked of one read of standard input.
inline constexpr std::size_t kReadBytes = 65536;
// A line that grows past this without a line feed is run as it stands.
inline constexpr std::size_t kMaxLineBytes = 1 << 20;

// Reads commands until "QUIT" or end of input, then stops capture, gives the stop half a second
// to report, and exits the process with status 0. Never returns.
[[noreturn]] void runCommandReader(platform::FileHandle input, SystemAudioCapture& capture);

}  // namespace halvo
