#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "output/audio_output_handler.h"
#include "tests/unit/captured_stderr.h"
#include "tests/unit/fake_stream.h"

namespace halvo {
namespace {

platform::SampleBuffer audioOf(std::size_t bytes) {
    platform::SampleBuffer buffer;
    buffer.numSamples = static_cast<std::int64_t>(bytes / 4);
    platform::AudioStreamBasicDescription asbd;
    asbd.sampleRate = 48000;
    asbd.channelsPerFrame = 1;
    asbd.bitsPerChannel = 32;
    buffer.formatDescription = std::make_shared<const platform::FormatDescription>(asbd);
    buffer.dataBuffer = platform::BlockBuffer::contiguous(std::vector<std::byte>(bytes));
    return buffer;
}

// A service may deliver in place, on its own thread, only what the sink provably deals with at
// once: a buffer that would wait for the parent must go through the sample queue.
TEST(OutputRoom, InPlaceOnlyWhenNothingWouldWait) {
    testing::CapturedStderr stderrLines;
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const int capacity = ::fcntl(ends[1], F_GETPIPE_SZ);
    ASSERT_GT(capacity, 8192);
    AudioOutputHandler handler{platform::FileHandle(ends[1])};
    testing::InertStream stream;
    handler.setCapturing(true);

    EXPECT_FALSE(handler.takesWithoutWaiting(4096)) << "the first buffer waits for its format line";
    handler.didOutputSampleBuffer(stream, audioOf(4096), StreamOutputType::audio);
    EXPECT_TRUE(handler.takesWithoutWaiting(4096));
    EXPECT_FALSE(handler.takesWithoutWaiting(static_cast<std::size_t>(capacity)));

    // The parent stops reading: once half the pipe waits, nothing more is in place.
    const std::size_t fill = static_cast<std::size_t>(capacity) / 2 - 4096;
    handler.didOutputSampleBuffer(stream, audioOf(fill), StreamOutputType::audio);
    EXPECT_FALSE(handler.takesWithoutWaiting(4096));

    // A closed gate only counts what arrives: nothing waits.
    handler.setCapturing(false);
    EXPECT_TRUE(handler.takesWithoutWaiting(1 << 20));

    // Not a pipe: no proof of room, so never in place while capturing.
    handler.setCapturing(true);
    std::FILE* file = std::tmpfile();
    AudioOutputHandler toFile{platform::FileHandle(::fileno(file))};
    toFile.setCapturing(true);
    toFile.didOutputSampleBuffer(stream, audioOf(4096), StreamOutputType::audio);
    EXPECT_FALSE(toFile.takesWithoutWaiting(4));
    std::fclose(file);
    ::close(ends[0]);
    ::close(ends[1]);
}

}  // namespace
}  // namespace halvo
