#include "app/command_reader.h"

#include <string>

#include "app/command_text.h"
#include "controller/system_audio_capture.h"
#include "logging/lines.h"
#include "platform/process.h"

namespace halvo {

ReaderVerdict runCommands(std::string_view data, SystemAudioCapture& capture) {
    for (std::string_view line : splitCommandLines(data)) {
        if (!isValidUtf8(line)) {
            continue;
        }
        const std::string_view command = trimWhitespace(line);
        logErr("CMD: " + std::string(command));
        if (command == "STOP") {
            capture.stop();
        } else if (command == "START") {
            capture.start();
        } else if (command == "QUIT") {
            return ReaderVerdict::quit;
        } else {
            logErr("Unknown: " + std::string(command));
        }
    }
    return ReaderVerdict::keepReading;
}

std::string_view CommandAssembler::take(std::string_view data, bool readWasFull) {
    carried_.erase(0, taken_);
    taken_ = 0;
    carried_.append(data);
    const std::size_t lastLineFeed = carried_.rfind('\n');
    const std::size_t unfinished =
        lastLineFeed == std::string::npos ? carried_.size() : carried_.size() - lastLineFeed - 1;
    if (!readWasFull || unfinished > kMaxLineBytes) {
        // A short read ends what the parent wrote: its last piece is a command even without a
        // line feed. So does a line too long to be one.
        taken_ = carried_.size();
    } else {
        taken_ = carried_.size() - unfinished;
    }
    return std::string_view(carried_).substr(0, taken_);
}

void runCommandReader(platform::FileHandle input, SystemAudioCapture& capture) {
    CommandAssembler assembler;
    for (;;) {
        // Every command is answered with a signal line: while a parent leaves too many of them
        // unread, its further commands wait in the pipe, and so does the parent.
        waitForSignalRoom();
        const std::string data = input.readAvailable(kReadBytes);
        if (data.empty()) {
            logErr("stdin closed \u2014 parent exited");
            break;
        }
        const std::string_view commands = assembler.take(data, data.size() == kReadBytes);
        if (runCommands(commands, capture) == ReaderVerdict::quit) {
            break;
        }
    }
    capture.shutDown();
    platform::sleepFor(std::chrono::milliseconds(500));
    // A parent that does not read standard error must not keep the helper alive.
    flushLines(std::chrono::milliseconds(500));
    platform::exitProcess(0);
}

}  // namespace halvo
