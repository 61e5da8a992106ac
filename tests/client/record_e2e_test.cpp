// halvo-record with the real helper against a private sound server that a ctest fixture started
// (its folder in HALVO_SOUND_DIR) and that this test crashes and starts again.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "tests/client/client_test_support.h"
#include "tests/e2e/sound_server.h"
#include "tests/support/tone.h"
#include "tools/halvo-record/exit_status.h"
#include "tools/halvo-record/levels.h"
#include "tools/halvo-record/sound_file_reader.h"

namespace halvo::client_test {
namespace {

using testing::eventually;
using RecordAcrossServerRestart = testing::ServerTest;

constexpr double kToneHz = 997;  // prime, so no harmonic of mains hum or a round rate

// The peak of the frames [first, first + count) of mono `audio`: the tone's 0.5 where it played.
double peakDbfs(const record::DecodedAudio& audio, std::size_t first, std::size_t count) {
    record::LevelMeter meter;
    meter.add(std::span(audio.samples).subspan(first, count));
    return record::toDbfs(meter.take().peak);
}

// The server crashes in the middle of a take and is started again: halvo-record retries until
// the helper captures again, and the take is one valid file as long as the wall clock says, the
// tone on both sides of the silence that stands for the outage.
//
// How long may it stray? The first audio and the first audio after the resume each reach the
// file about one fragment (1024 frames, 21 ms) after they were captured, and the end of the
// take lets in up to a fragment more; the test sees the file grow a few milliseconds late.
// Measured: the file comes out 7 to 11 ms longer than the wall clock says; 50 ms is two
// fragments and room for a loaded machine.
TEST_F(RecordAcrossServerRestart, KeepsOneFileInTimeWithTheToneOnBothSides) {
    constexpr double kTolerance = 0.05;
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    // The tone plays into the default sink once the server has a stream of it: no fixed wait.
    auto player = server_->play(kToneHz, "halvo_null_a");
    ASSERT_TRUE(player && waitForPlayer());
    // Without --helper: the halvo-audio-helper beside halvo-record in the build folder.
    const auto recorder = HelperProcess::launch(
        {CLIENT_TEST_RECORD, "-o", take, "--retry-for", "30"}, {server_->environmentEntry()});
    ASSERT_TRUE(recorder);
    ASSERT_TRUE(eventually([&] { return audioBytes(take) > 0; }, 10s));
    const auto firstAudio = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return audioBytes(take) >= 48000 * 4; }, 10s));

    server_->kill();
    // The first retry finds no server; the helper itself connects anew on the next START.
    for (const char* said : {"halvo-record: capture stopped: ",
                             "halvo-record: capture did not resume: no sound server"}) {
        ASSERT_TRUE(recorder->waitForText(said, 10s)) << recorder->transcript();
    }
    ASSERT_TRUE(server_->restart());
    ASSERT_TRUE(recorder->waitForText(" s of silence", 20s)) << recorder->transcript();
    player = server_->play(kToneHz, "halvo_null_a");
    ASSERT_TRUE(player && waitForPlayer());
    const std::uint64_t resumedAt = audioBytes(take);
    ASSERT_TRUE(eventually([&] { return audioBytes(take) >= resumedAt + 48000 * 4 * 3 / 2; }, 10s));
    const auto lastAudio = std::chrono::steady_clock::now();
    recorder->kill(SIGINT);
    const auto status = recorder->waitForExit(20s);
    const std::string errors = recorder->transcript();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited && status->code == record::kExitOk) << errors;

    expectFloatWav(readFile(take), 1);
    const record::ReadResult read = record::readSoundFile(take);
    ASSERT_TRUE(read.audio) << read.error;
    const record::DecodedAudio& audio = *read.audio;
    const double wallClock = std::chrono::duration<double>(lastAudio - firstAudio).count();
    EXPECT_NEAR(static_cast<double>(audio.frames()) / 48000, wallClock, kTolerance) << errors;

    // The silence written is there, between the tone before and the tone after.
    std::smatch wrote;
    ASSERT_TRUE(std::regex_search(
        errors, wrote,
        std::regex("capture resumed after ([0-9.]+) s; wrote ([0-9.]+) s of silence")));
    const double silence = std::stod(wrote[2].str());
    EXPECT_NEAR(silence, std::stod(wrote[1].str()), kTolerance + 0.1) << "both printed to 0.1 s";
    const std::size_t longestZeros = testing::continuityOf(audio.samples, kToneHz).longestZeros;
    EXPECT_GE(static_cast<double>(longestZeros) / 48000, silence - 0.05);
    ASSERT_GE(audio.frames(), 48000u * 2);
    EXPECT_NEAR(peakDbfs(audio, 0, 48000 * 3 / 4), record::toDbfs(0.5), 1.0) << "before the crash";
    EXPECT_NEAR(peakDbfs(audio, audio.frames() - 48000 / 2, 48000 / 2), record::toDbfs(0.5), 1.0)
        << "after the restart";
}

}  // namespace
}  // namespace halvo::client_test
