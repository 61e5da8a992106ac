#include "app/command_reader.h"

#include <string>

#include "app/command_text.h"
#include "app/lines.h"
#include "capture/system_audio_capture.h"
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

void runCommandReader(platform::FileHandle input, SystemAudioCapture& capture) {
    for (;;) {
        const std::string data = input.readAvailable();
        if (data.empty()) {
            logErr("stdin closed \u2014 parent exited");
            break;
        }
        if (runCommands(data, capture) == ReaderVerdict::quit) {
            break;
        }
    }
    capture.stop();
    platform::sleepFor(std::chrono::milliseconds(500));
    platform::exitProcess(0);
}

}  // namespace halvo
