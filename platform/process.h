#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvo::platform {

// The kernel's release and build, e.g. "6.1.0-13-amd64 (#1 SMP PREEMPT_DYNAMIC Debian 6.1.55-1)".
std::string operatingSystemVersionString();

std::int32_t processIdentifier();

// Whether process `pid` is `ancestor` or one of its descendants, by the parent chain in /proc
// (procfs reads, which never wait for a device). False once the chain ends or a process on it
// has gone.
bool isProcessOrDescendant(std::int32_t pid, std::int32_t ancestor);

// The process id `text` spells (a positive decimal number and nothing else), or nothing.
std::optional<std::int32_t> parseProcessID(std::string_view text);

// The current time as an ISO 8601 internet date-time in UTC, to the second: 2026-12-06T08:37:21Z.
std::string iso8601Now();
std::string iso8601(std::chrono::system_clock::time_point when);

void sleepFor(std::chrono::milliseconds duration);

// Keeps the calling thread (the main thread) parked for the rest of the process's life, without
// spinning. Returns only if the process is asked to end its main loop, which nothing does today.
void runMainLoop();

// Lets SIGPIPE reach the calling thread. A thread inherits its creator's signal mask, and some
// libraries' threads block every signal: a thread that writes to a pipe must not inherit that,
// or a parent that closes the pipe would no longer end the process.
void allowBrokenPipeSignal();

// Keeps SIGPIPE from the calling thread: for a thread whose writes must never end the process.
void blockBrokenPipeSignal();

// What a write that failed with EPIPE does when the signal is not blocked: delivers SIGPIPE to
// the calling thread, which ends the process unless SIGPIPE is ignored. Returns only then.
void raiseBrokenPipe();

// Opens /dev/null on any of descriptors 0, 1 and 2 that is closed, before anything else can take
// their numbers: audio must never go into a socket or file that happened to get descriptor 1.
// Descriptor 1 is opened for reading only, so that writes of audio to it fail and are reported.
void reserveStandardDescriptors();

// Ends the process with `status` at once. Static destructors are not run: other threads may
// still be using the objects they would tear down. Every write is already unbuffered.
[[noreturn]] void exitProcess(int status);

}  // namespace halvo::platform
