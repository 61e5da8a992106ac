#include "output/audio_output_handler.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

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

}  // namespace
}  // namespace halvo
