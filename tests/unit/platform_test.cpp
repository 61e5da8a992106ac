// What the helper's own plumbing must hold to: memory bounded whatever a parent writes, and
// timestamps that never run ahead of the clock.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "app/command_reader.h"
#include "platform/process.h"

namespace halvo {
namespace {

// A parent writing one endless line must not make the reader hold it all.
TEST(CommandAssembler, ALineLongerThanAnyCommandDoesNotGrowWithoutBound) {
    CommandAssembler assembler;
    const std::string chunk(kReadBytes, 'x');
    std::size_t held = 0;
    for (std::size_t read = 0; read * kReadBytes <= kMaxLineBytes; ++read) {
        held = assembler.take(chunk, true).size();
    }
    EXPECT_GT(held, kMaxLineBytes) << "run as it stands once past the limit";
    EXPECT_EQ(assembler.take("STOP\n", false), "STOP\n");

    // Just short of the limit the line still waits; the read that ends it goes on with a command
    // it cuts in two, which waits for its rest however long the line before it was.
    for (std::size_t read = 0; (read + 1) * kReadBytes <= kMaxLineBytes; ++read) {
        EXPECT_EQ(assembler.take(chunk, true), "");
    }
    const std::string end = std::string(kReadBytes - 3, 'x') + "\nST";
    EXPECT_EQ(assembler.take(end, true).size(), kMaxLineBytes + kReadBytes - 2);
    EXPECT_EQ(assembler.take("OP\n", false), "STOP\n");
}

// Milliseconds are cut, never rounded up into the next second.
TEST(Timestamp, IsUtcToTheSecond) {
    using namespace std::chrono;
    const sys_seconds when = sys_days{year{2026} / 12 / 6} + hours{8} + minutes{4} + seconds{9};
    EXPECT_EQ(platform::iso8601(when + milliseconds{999}), "2026-12-06T08:04:09Z");
}

}  // namespace
}  // namespace halvo
