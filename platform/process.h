#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace halvo::platform {

// The kernel's release and build, e.g. "6.1.0-13-amd64 (#1 SMP PREEMPT_DYNAMIC Debian 6.1.55-1)".
std::string operatingSystemVersionString();

std::int32_t processIdentifier();

// The current time as an ISO 8601 internet date-time in UTC, to the second: 2026-12-06T08:37:21Z.
std::string iso8601Now();
std::string iso8601(std::chrono::system_clock::time_point when);

void sleepFor(std::chrono::milliseconds duration);

// Keeps the calling thread (the main thread) parked for the rest of the process's life, without
// spinning. Returns only if the process is asked to end its main loop, which nothing does today.
void runMainLoop();

// Ends the process with `status` at once. Static destructors are not run: other threads may
// still be using the objects they would tear down. Every write is already unbuffered.
[[noreturn]] void exitProcess(int status);

}  // namespace halvo::platform
