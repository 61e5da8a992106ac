#pragma once

#include <string_view>

#include "platform/file_handle.h"

namespace halvo {

class SystemAudioCapture;

enum class ReaderVerdict { keepReading, quit };

// Runs every command line in one read of standard input, in order; stops at "QUIT".
ReaderVerdict runCommands(std::string_view data, SystemAudioCapture& capture);

// Reads commands until "QUIT" or end of input, then stops capture, gives the stop half a second
// to report, and exits the process with status 0. Never returns.
[[noreturn]] void runCommandReader(platform::FileHandle input, SystemAudioCapture& capture);

}  // namespace halvo
