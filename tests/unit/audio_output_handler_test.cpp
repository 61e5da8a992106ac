#include "output/audio_output_handler.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <string>

#include "tests/support/waiting.h"
#include "tests/unit/captured_stderr.h"
#include "tests/unit/fake_stream.h"

namespace halvo {
namespace {

using platform::BlockBuffer;
using platform::SampleBuffer;

std::vector<std::byte> bytesOf(const std::string& text) {
    std::vector<std::byte> bytes(text.size());
    if (!text.empty())
        std::memcpy(bytes.data(), text.data(), text.size());
    return bytes;
}

SampleBuffer audioBuffer(const std::string& data, double rate = 48000) {
    SampleBuffer buffer;
    buffer.numSamples = static_cast<std::int64_t>(data.size() / 4) + 1;
    platform::AudioStreamBasicDescription asbd;
    asbd.sampleRate = rate;
    asbd.channelsPerFrame = 1;
    asbd.bitsPerChannel = 32;
    buffer.formatDescription = std::make_shared<const platform::FormatDescription>(asbd);
    buffer.dataBuffer = BlockBuffer::contiguous(bytesOf(data));
    return buffer;
}

// The handler over a temporary file standing in for standard output, with stderr captured.
class HandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        file_ = std::tmpfile();
        handler_ = std::make_unique<AudioOutputHandler>(platform::FileHandle(fileno(file_)));
    }
    void TearDown() override { std::fclose(file_); }
    void deliver(const SampleBuffer& buffer, StreamOutputType type = StreamOutputType::audio) {
        handler_->didOutputSampleBuffer(stream_, buffer, type);
    }
    std::string written() {
        std::string all;
        std::rewind(file_);
        char chunk[4096];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file_)) > 0)
            all.append(chunk, got);
        return all;
    }

    testing::CapturedStderr stderr_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<AudioOutputHandler> handler_;
    testing::InertStream stream_;
};

using Lines = std::vector<std::string>;

TEST_F(HandlerTest, DropsWhatMustNotReachTheParentWithoutALine) {
    deliver(audioBuffer("closed gate"));  // even the very first buffer
    handler_->setCapturing(true);
    deliver(audioBuffer("screen"), StreamOutputType::screen);
    deliver(audioBuffer("other type"), static_cast<StreamOutputType>(7));
    SampleBuffer empty = audioBuffer("no samples");
    empty.numSamples = 0;
    deliver(empty);
    empty.numSamples = -5;
    deliver(empty);

    EXPECT_EQ(written(), "");
    EXPECT_EQ(handler_->sampleCount(), 0u);
    EXPECT_EQ(stderr_.lines(), Lines{});
}

TEST_F(HandlerTest, FormatLineRepeatsUntilABufferIsWrittenThenNeverAgain) {
    handler_->setCapturing(true);
    SampleBuffer noBlock = audioBuffer("x");
    noBlock.dataBuffer.reset();
    deliver(noBlock);
    SampleBuffer failing = audioBuffer("x");
    failing.dataBuffer = std::make_shared<const BlockBuffer>(
        std::vector<BlockBuffer::Run>{bytesOf("abc")}, platform::kBlockBufferBadOffsetErr);
    deliver(failing);
    deliver(audioBuffer("first", 44100));
    handler_->setCapturing(false);
    handler_->setCapturing(true);
    deliver(audioBuffer("second", 22050.5));

    EXPECT_EQ(written(), "firstsecond");
    EXPECT_EQ(stderr_.lines(),
              (Lines{"Audio format: 48000.0Hz, 1ch, 32bit", "Audio format: 48000.0Hz, 1ch, 32bit",
                     "Audio format: 44100.0Hz, 1ch, 32bit"}));
}

TEST_F(HandlerTest, BufferWithoutDescriptionIsWrittenWithoutFormatLine) {
    handler_->setCapturing(true);
    SampleBuffer bare = audioBuffer("bare");
    bare.formatDescription.reset();
    deliver(bare);
    SampleBuffer notAudio = audioBuffer("video");
    notAudio.formatDescription = std::make_shared<const platform::FormatDescription>(std::nullopt);
    deliver(notAudio);

    EXPECT_EQ(written(), "barevideo");
    EXPECT_EQ(handler_->sampleCount(), 2u);
    EXPECT_EQ(stderr_.lines(), Lines{});
}

TEST_F(HandlerTest, ScatteredBlockIsWrittenWholeAndInOrder) {
    handler_->setCapturing(true);
    SampleBuffer scattered = audioBuffer("");
    scattered.dataBuffer = std::make_shared<const BlockBuffer>(
        std::vector<BlockBuffer::Run>{bytesOf("abc"), bytesOf(""), bytesOf("defg"), bytesOf("h")});
    deliver(scattered);

    EXPECT_EQ(written(), "abcdefgh");
    EXPECT_EQ(handler_->totalBytes(), 8u);
}

TEST_F(HandlerTest, ProgressEveryTwoHundredWrittenBuffersAfterTheirBytes) {
    handler_->setCapturing(true);
    const std::string chunk(4096, 'a');
    for (int i = 0; i < 199; ++i)
        deliver(audioBuffer(chunk));
    deliver(audioBuffer("", 48000));  // dropped: no data, does not count
    EXPECT_EQ(handler_->sampleCount(), 199u);
    deliver(audioBuffer(chunk));
    for (int i = 0; i < 199; ++i)
        deliver(audioBuffer("z"));
    deliver(audioBuffer("zz"));

    EXPECT_EQ(stderr_.lines(),
              (Lines{"Audio format: 48000.0Hz, 1ch, 32bit", "Audio: 200 samples, 800 KB total",
                     "Audio: 400 samples, 800 KB total"}));
    EXPECT_EQ(handler_->totalBytes(), 200u * 4096 + 201);
    EXPECT_EQ(written().size(), handler_->totalBytes());
}

// The handler writing into a pipe whose reader the test controls, as a parent's stdout.
class PipeHandlerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(::pipe(fds_), 0);
        handler_ = std::make_unique<AudioOutputHandler>(platform::FileHandle(fds_[1]));
        handler_->setCapturing(true);
    }
    void TearDown() override {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    // Delivers `count` buffers of `bytes` each on a thread of its own, as a sample queue would.
    std::future<void> deliverInBackground(int count, std::size_t bytes) {
        return std::async(std::launch::async, [this, count, bytes] {
            for (int i = 0; i < count; ++i) {
                handler_->didOutputSampleBuffer(stream_, audioBuffer(std::string(bytes, 'p')),
                                                StreamOutputType::audio);
            }
        });
    }
    std::string readAvailable() {
        std::string all;
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
        char chunk[65536];
        ssize_t got;
        while ((got = ::read(fds_[0], chunk, sizeof chunk)) > 0) {
            all.append(chunk, static_cast<std::size_t>(got));
        }
        return all;
    }

    int fds_[2] = {-1, -1};
    testing::CapturedStderr stderr_;
    std::unique_ptr<AudioOutputHandler> handler_;
    testing::InertStream stream_;
};

// A parent that hands the helper a non-blocking pipe and pauses: the write waits, it never
// drops or miscounts.
TEST_F(PipeHandlerTest, NonBlockingOutputIsWaitedOnNotDropped) {
    ::fcntl(fds_[1], F_SETFL, O_NONBLOCK);
    auto delivering = deliverInBackground(40, 10000);  // far more than the pipe holds
    ASSERT_TRUE(testing::waitUntilPipeRefusesWrites(fds_[1]));
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (received.size() < 400000 && std::chrono::steady_clock::now() < deadline) {
        pollfd readable{fds_[0], POLLIN, 0};
        ::poll(&readable, 1, 100);
        received += readAvailable();
    }
    ASSERT_EQ(delivering.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(received, std::string(400000, 'p'));
    EXPECT_EQ(handler_->totalBytes(), 400000u);
    EXPECT_EQ(handler_->sampleCount(), 40u);
}

// A parent that stops reading: closing the gate frees the writer at once, what reached the pipe
// is counted exactly and in whole frames, and the rest is accounted for as unwritten.
TEST_F(PipeHandlerTest, ClosingTheGateEndsAWriteStuckOnAParentThatDoesNotRead) {
    auto delivering = deliverInBackground(30, 10000);
    ASSERT_TRUE(testing::waitUntilPipeRefusesWrites(fds_[1]));  // the writer waits in write()
    handler_->setCapturing(false);
    ASSERT_EQ(delivering.wait_for(std::chrono::seconds(5)), std::future_status::ready);

    const std::string received = readAvailable();
    EXPECT_EQ(received.size(), handler_->totalBytes());
    EXPECT_EQ(received.size() % 4, 0u);
    const std::uint64_t unwritten = 300000 - received.size();
    char seconds[16];
    std::snprintf(seconds, sizeof seconds, "%.2f", static_cast<double>(unwritten) / 192000);
    EXPECT_EQ(handler_->takeUnwrittenReport(), "Audio not yet written at the stop: dropped " +
                                                   std::string(seconds) + " s of audio (" +
                                                   std::to_string(unwritten) + " bytes)");
    EXPECT_EQ(handler_->takeUnwrittenReport(), std::nullopt);
}

// A full disk: nothing is counted, the failure is said once and the observer learns it once.
TEST(HandlerOutputFailure, AFailingOutputIsReportedOnceAndNothingIsCounted) {
    const int full = ::open("/dev/full", O_WRONLY);
    ASSERT_GE(full, 0);
    testing::CapturedStderr captured;
    AudioOutputHandler handler{platform::FileHandle(full)};
    int failures = 0;
    handler.setOutputFailedObserver([&] { ++failures; });
    handler.setCapturing(true);
    testing::InertStream stream;
    for (int i = 0; i < 3; ++i) {
        handler.didOutputSampleBuffer(stream, audioBuffer("abcd"), StreamOutputType::audio);
    }
    ::close(full);

    EXPECT_EQ(failures, 1);
    EXPECT_EQ(handler.totalBytes(), 0u);
    EXPECT_EQ(handler.sampleCount(), 0u);
    EXPECT_EQ(captured.lines(), (Lines{"Audio format: 48000.0Hz, 1ch, 32bit",
                                       "Audio output failed: " + std::string(strerror(ENOSPC))}));
}

}  // namespace
}  // namespace halvo
