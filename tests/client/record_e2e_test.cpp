// halvo-record with the real helper, against a private sound server that a ctest fixture
// started (its folder in HALVO_SOUND_DIR): a tone played into the default sink is recorded, also
// across a crash and restart of the server.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <regex>

#include "client/subprocess.h"
#include "tests/client/client_test_support.h"
#include "tests/e2e/sound_server.h"
#include "tools/halvo-record/exit_status.h"
#include "tools/halvo-record/levels.h"
#include "tools/halvo-record/sound_file_reader.h"

namespace halvo::client_test {
namespace {

constexpr double kToneHz = 997;  // prime, so no harmonic of mains hum or a round rate
constexpr double kToneAmplitude = 0.5;

// The tone plays into the default sink once the server has a stream of it: no fixed wait.
std::unique_ptr<client::Subprocess> playTone(const testing::SoundServer& server) {
    auto player = server.play(kToneHz, "halvo_null_a");
    EXPECT_TRUE(player);
    EXPECT_TRUE(waitUntil([&] {
        const auto inputs = server.pactl("list short sink-inputs");
        return inputs && !inputs->empty();
    }));
    return player;
}

// The frames [first, first + count) of `audio`.
record::DecodedAudio slice(const record::DecodedAudio& audio, std::size_t first,
                           std::size_t count) {
    record::DecodedAudio part = audio;
    part.samples.assign(audio.samples.begin() + static_cast<std::ptrdiff_t>(first),
                        audio.samples.begin() + static_cast<std::ptrdiff_t>(first + count));
    return part;
}

void expectTone(const record::DecodedAudio& audio, const char* where) {
    const record::Analysis analysis = record::analyze(audio);
    EXPECT_NEAR(record::toDbfs(analysis.levels.peak), record::toDbfs(kToneAmplitude), 1.0) << where;
    ASSERT_TRUE(analysis.dominantHz) << where;
    EXPECT_NEAR(*analysis.dominantHz, kToneHz, 2.0) << where;
}

TEST(RecordFromSoundServer, RecordsOneSecondOfAToneIntoAValidFile) {
    const auto server = testing::SoundServer::fromEnvironment();
    if (!server) {
        GTEST_SKIP() << "no sound server: run through ctest";
    }
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const auto player = playTone(*server);

    // Without --helper: the halvo-audio-helper beside halvo-record in the build folder.
    const RecorderRun run = runRecorder({"-d", "1", "-o", take}, {}, {server->environmentEntry()});
    ASSERT_EQ(run.status.code, record::kExitOk) << run.errors;

    const std::string file = readFile(take);
    const WaveLayout layout = expectFloatWav(file, 48000, 1, 48000 * 4);
    EXPECT_EQ(file.size(), layout.dataOffset + 48000 * 4);

    const record::ReadResult read = record::readSoundFile(take);
    ASSERT_TRUE(read.audio) << read.error;
    EXPECT_EQ(read.audio->frames(), 48000u);
    expectTone(*read.audio, "the take");
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
TEST(RecordAcrossServerRestart, KeepsOneFileInTimeWithTheToneOnBothSides) {
    constexpr double kTolerance = 0.05;
    const auto server = testing::SoundServer::fromEnvironment();
    if (!server) {
        GTEST_SKIP() << "no sound server: run through ctest";
    }
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    auto player = playTone(*server);
    RunningProgram recorder({CLIENT_TEST_RECORD, "-o", take, "--retry-for", "30"},
                            {server->environmentEntry()});
    ASSERT_TRUE(recorder.running());
    ASSERT_TRUE(waitUntil([&] { return audioBytesOnDisk(take) > 0; }));
    const auto firstAudio = std::chrono::steady_clock::now();
    ASSERT_TRUE(waitUntil([&] { return audioBytesOnDisk(take) >= 48000 * 4; }));

    server->kill();
    ASSERT_TRUE(recorder.waitForError("halvo-record: capture stopped: ")) << recorder.errors();
    // The first retry finds no server; the helper itself connects anew on the next START.
    ASSERT_TRUE(recorder.waitForError("halvo-record: capture did not resume: no sound server"))
        << recorder.errors();
    ASSERT_TRUE(server->restart());
    ASSERT_TRUE(recorder.waitForError(" s of silence\n", 20s)) << recorder.errors();
    player = playTone(*server);
    const std::uint64_t resumedAt = audioBytesOnDisk(take);
    ASSERT_TRUE(waitUntil([&] { return audioBytesOnDisk(take) >= resumedAt + 48000 * 4 * 3 / 2; }));
    const auto lastAudio = std::chrono::steady_clock::now();
    ::kill(recorder.pid(), SIGINT);
    const auto status = recorder.waitForExit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, record::kExitOk) << recorder.errors();

    const std::string file = readFile(take);
    const WaveLayout layout = expectFloatWav(file, 48000, 1);
    EXPECT_EQ(file.size(), layout.dataOffset + layout.dataBytes);
    const record::ReadResult read = record::readSoundFile(take);
    ASSERT_TRUE(read.audio) << read.error;
    const record::DecodedAudio& audio = *read.audio;
    const double wallClock = std::chrono::duration<double>(lastAudio - firstAudio).count();
    EXPECT_NEAR(static_cast<double>(audio.frames()) / 48000, wallClock, kTolerance)
        << recorder.errors();

    // The silence written is there, between the tone before and the tone after.
    std::smatch wrote;
    ASSERT_TRUE(std::regex_search(recorder.errors(), wrote,
                                  std::regex("capture resumed after ([0-9.]+) s; wrote ([0-9.]+) "
                                             "s of silence")));
    const double silence = std::stod(wrote[2].str());
    EXPECT_NEAR(silence, std::stod(wrote[1].str()), kTolerance);
    std::size_t longestZeros = 0;
    for (std::size_t i = 0, run = 0; i < audio.frames(); ++i) {
        run = audio.samples[i] == 0 ? run + 1 : 0;
        longestZeros = std::max(longestZeros, run);
    }
    EXPECT_GE(static_cast<double>(longestZeros) / 48000, silence - 0.05);
    ASSERT_GE(audio.frames(), 48000u * 2);
    expectTone(slice(audio, 0, 48000 * 3 / 4), "before the crash");
    expectTone(slice(audio, audio.frames() - 48000 / 2, 48000 / 2), "after the restart");
}

}  // namespace
}  // namespace halvo::client_test
