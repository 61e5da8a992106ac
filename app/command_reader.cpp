#include "app/command_reader.h"

#include <atomic>
#include <mutex>
#include <string>

#include "app/command_text.h"
#include "controller/system_audio_capture.h"
#include "logging/lines.h"
#include "platform/process.h"

namespace halvo {

namespace {

// Set by the first quitHelper(): the command reader runs no command after it.
std::atomic<bool> quitting{false};

bool isCommandWord(std::string_view text) {
    const std::string_view word = trimWhitespace(text);
    // Trimming stops at a malformed byte, so only a match needs the whole text checked.
    return (word == "START" || word == "STOP" || word == "QUIT") && isValidUtf8(text);
}

bool isOnlyWhitespace(std::string_view text) {
    return trimWhitespace(text).empty() && isValidUtf8(text);
}

}  // namespace

ReaderVerdict runCommand(std::string_view line, SystemAudioCapture& capture) {
    if (!isValidUtf8(line)) {
        return ReaderVerdict::keepReading;
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
    return ReaderVerdict::keepReading;
}

void CommandAssembler::add(std::string_view data) {
    text_.erase(0, at_);
    at_ = 0;
    text_.append(data);
}

std::optional<std::string_view> CommandAssembler::next() {
    for (;;) {
        const std::string_view rest = std::string_view(text_).substr(at_);
        const std::size_t lineFeed = rest.find('\n');
        const std::string_view line = rest.substr(0, lineFeed);
        if (after_ == After::overlong) {
            // The rest of a line that ran for its length never runs.
            at_ += lineFeed == std::string_view::npos ? rest.size() : lineFeed + 1;
            if (lineFeed == std::string_view::npos) {
                return std::nullopt;
            }
            after_ = After::nothing;
            continue;
        }
        if (after_ == After::ranEarly) {
            if (!isOnlyWhitespace(line)) {
                after_ = After::nothing;  // more text: a command of its own
            } else if (lineFeed == std::string_view::npos) {
                at_ += line.size();  // white space so far: it may yet end the line that ran
                return std::nullopt;
            } else {
                at_ += lineFeed + 1;
                after_ = After::nothing;
                continue;
            }
        }
        if (lineFeed != std::string_view::npos) {
            at_ += lineFeed + 1;
            return line;
        }
        if (isCommandWord(line)) {
            after_ = After::ranEarly;
        } else if (line.size() > kMaxLineBytes) {
            after_ = After::overlong;
        } else {
            return std::nullopt;
        }
        at_ += line.size();
        return line;
    }
}

std::optional<std::string_view> CommandAssembler::finish() {
    const std::string_view rest = std::string_view(text_).substr(at_);
    at_ = text_.size();
    const bool endsLineThatRan =
        after_ == After::overlong || (after_ == After::ranEarly && isOnlyWhitespace(rest));
    after_ = After::nothing;
    if (rest.empty() || endsLineThatRan) {
        return std::nullopt;
    }
    return rest;
}

void runCommandReader(platform::FileHandle input, SystemAudioCapture& capture) {
    CommandAssembler assembler;
    const auto run = [&capture](std::string_view line) {
        // Every command is answered with a signal line: while a parent leaves too many of them
        // unread, or too many wait behind a start the server is slow to answer (they all come
        // at once when it does), the next command waits, and so do the ones behind it.
        capture.waitWhileOwing(kOwedAnswers);
        waitForSignalRoom();
        if (quitting.load(std::memory_order_acquire)) {
            quitHelper(capture);  // a stop signal got there first: wait for its exit
        }
        return runCommand(line, capture);
    };
    for (;;) {
        const std::string data = input.readAvailable(kReadBytes);
        if (data.empty()) {
            const auto last = assembler.finish();
            if (last && run(*last) == ReaderVerdict::quit) {
                break;
            }
            logErr("stdin closed \u2014 parent exited");
            break;
        }
        assembler.add(data);
        bool quit = false;
        while (!quit) {
            const auto line = assembler.next();
            if (!line) {
                break;
            }
            quit = run(*line) == ReaderVerdict::quit;
        }
        if (quit) {
            break;
        }
    }
    quitHelper(capture);
}

void quitHelper(SystemAudioCapture& capture) {
    // Held by the first caller until the process ends: a second caller waits here for good.
    static std::mutex exiting;
    quitting.store(true, std::memory_order_release);
    exiting.lock();
    capture.shutDown();
    platform::sleepFor(std::chrono::milliseconds(500));
    // A parent that does not read standard error must not keep the helper alive.
    flushLines(std::chrono::milliseconds(500));
    platform::exitProcess(0);
}

}  // namespace halvo
