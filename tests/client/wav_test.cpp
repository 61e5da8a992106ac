#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <numbers>

#include "tests/client/client_test_support.h"
#include "tools/halvo-record/exit_status.h"
#include "tools/halvo-record/levels.h"
#include "tools/halvo-record/recording.h"
#include "tools/halvo-record/wav_reader.h"
#include "tools/halvo-record/wav_writer.h"

namespace halvo::client_test {
namespace {

using record::Recording;
using record::WavWriter;

std::span<const std::byte> bytesOf(const std::string& text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

std::vector<float> sine(double frequency, double amplitude, std::uint32_t rate, std::size_t frames,
                        std::uint16_t channels) {
    std::vector<float> samples;
    for (std::size_t i = 0; i < frames; ++i) {
        const double value =
            amplitude * std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate);
        samples.insert(samples.end(), channels, static_cast<float>(value));
    }
    return samples;
}

std::string bytesOfSamples(const std::vector<float>& samples) {
    std::string bytes(samples.size() * sizeof(float), '\0');
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

TEST(WavWriter, KeepsTheFileValidBeforeEachUpdateAndAfterTheEnd) {
    TemporaryFolder folder;
    const std::string path = folder.file("take.wav");
    std::string error;
    auto writer = WavWriter::open(path, &error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(writer->begin(44100, 2));
    expectFloatWavHeader(readFile(path), 44100, 2, 0);

    const std::string audio = bytesOfSamples(sine(1000, 0.5, 44100, 4410, 2));
    ASSERT_TRUE(writer->append(bytesOf(audio)));
    // Until the next update the header still describes the earlier, shorter file.
    expectFloatWavHeader(readFile(path), 44100, 2, 0);
    ASSERT_TRUE(writer->updateHeader());
    expectFloatWavHeader(readFile(path), 44100, 2, audio.size());
    ASSERT_TRUE(writer->append(bytesOf(audio)));
    ASSERT_TRUE(writer->finish());

    const std::string file = readFile(path);
    expectFloatWavHeader(file, 44100, 2, 2 * audio.size());
    EXPECT_EQ(file.size(), 58 + 2 * audio.size());
    EXPECT_EQ(file.substr(58), audio + audio);
}

TEST(WavWriter, ReportsAFullDisk) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    std::string error;
    auto writer = WavWriter::open("/dev/full", &error);
    ASSERT_TRUE(writer) << error;
    EXPECT_FALSE(writer->begin(48000, 1));
    EXPECT_NE(writer->error().find("No space"), std::string::npos) << writer->error();
}

TEST(Recording, ReassemblesFramesSplitAcrossChunksAndStopsAtTheDuration) {
    TemporaryFolder folder;
    const std::string path = folder.file("take.wav");
    Recording recording(WavWriter::open(path, nullptr), path, 0.01);  // 480 frames at 48 kHz
    recording.setFormat({48000, 2, 32});
    const std::string audio = bytesOfSamples(sine(440, 0.25, 48000, 600, 2));
    // Chunks of 7 bytes: almost every one ends inside a sample.
    for (std::size_t at = 0; at < audio.size(); at += 7) {
        recording.addAudio(bytesOf(audio.substr(at, 7)));
    }
    EXPECT_TRUE(recording.progress().complete);
    EXPECT_NEAR(record::toDbfs(recording.takeLevels().peak), record::toDbfs(0.25), 0.01);
    EXPECT_TRUE(recording.finish());
    EXPECT_FALSE(recording.failure());

    const std::string file = readFile(path);
    expectFloatWavHeader(file, 48000, 2, 480 * 8);
    EXPECT_EQ(file.substr(58), audio.substr(0, 480 * 8));
}

TEST(Recording, RefusesAudioItCannotStore) {
    TemporaryFolder folder;
    const std::string path = folder.file("take.wav");
    {
        Recording recording(WavWriter::open(path, nullptr), path, std::nullopt);
        recording.setFormat({48000, 1, 16});
        ASSERT_TRUE(recording.failure());
        EXPECT_EQ(recording.failure()->exitStatus, record::kExitCaptureFailed);
        // Nothing was recorded: the file goes away rather than stay empty and invalid.
        EXPECT_FALSE(recording.finish());
        EXPECT_FALSE(std::filesystem::exists(path));
    }
    Recording recording(WavWriter::open(path, nullptr), path, std::nullopt);
    recording.addAudio(bytesOf("abcd"));
    ASSERT_TRUE(recording.failure());
    EXPECT_EQ(recording.failure()->exitStatus, record::kExitCaptureFailed);
}

TEST(Analysis, FindsLengthLevelsAndTheTone) {
    TemporaryFolder folder;
    const std::string path = folder.file("tone.wav");
    auto writer = WavWriter::open(path, nullptr);
    ASSERT_TRUE(writer->begin(48000, 2));
    ASSERT_TRUE(writer->append(bytesOf(bytesOfSamples(sine(440, 0.5, 48000, 72000, 2)))));
    ASSERT_TRUE(writer->finish());

    const record::WavReadResult read = record::readWav(path);
    ASSERT_TRUE(read.audio) << read.error;
    const record::Analysis analysis = record::analyze(*read.audio);
    EXPECT_DOUBLE_EQ(analysis.seconds, 1.5);
    EXPECT_NEAR(record::toDbfs(analysis.levels.peak), -6.02, 0.01);
    EXPECT_NEAR(record::toDbfs(analysis.levels.rms), -9.03, 0.01);
    ASSERT_TRUE(analysis.dominantHz);
    EXPECT_NEAR(*analysis.dominantHz, 440, 0.5);
}

TEST(WavReader, ReadsAFileCutShortAndRefusesOthers) {
    TemporaryFolder folder;
    const std::string path = folder.file("cut.wav");
    auto writer = WavWriter::open(path, nullptr);
    ASSERT_TRUE(writer->begin(48000, 1));
    ASSERT_TRUE(writer->append(bytesOf(bytesOfSamples(std::vector<float>(100, 0.5f)))));
    ASSERT_TRUE(writer->updateHeader());
    writer.reset();
    // A header that claims more than the file holds, as after a crash between updates.
    std::filesystem::resize_file(path, 58 + 41 * 4 + 2);
    const record::WavReadResult cut = record::readWav(path);
    ASSERT_TRUE(cut.audio) << cut.error;
    EXPECT_EQ(cut.audio->frames(), 41u);

    std::filesystem::resize_file(path, 30);
    EXPECT_FALSE(record::readWav(path).audio);
    EXPECT_FALSE(record::readWav(folder.file("missing.wav")).audio);
}

}  // namespace
}  // namespace halvo::client_test
