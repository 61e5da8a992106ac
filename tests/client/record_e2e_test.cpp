// halvo-record with the real helper, against the private sound server that ctest's fixture
// started (its folder in HALVO_SOUND_DIR): a tone played into the default sink is recorded.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <thread>

#include "client/subprocess.h"
#include "tests/client/client_test_support.h"
#include "tools/halvo-record/exit_status.h"
#include "tools/halvo-record/levels.h"
#include "tools/halvo-record/wav_reader.h"

namespace halvo::client_test {
namespace {

constexpr double kToneHz = 997;  // prime, so no harmonic of mains hum or a round rate
constexpr double kToneAmplitude = 0.5;

// Plays `seconds` of the tone into the server's default sink; stops it on destruction.
std::unique_ptr<client::Subprocess> playTone(const TemporaryFolder& folder,
                                             const std::string& server, double seconds) {
    const std::string file = folder.file("tone.f32");
    std::ofstream out(file, std::ios::binary);
    for (int i = 0; i < static_cast<int>(seconds * 48000); ++i) {
        const auto sample = static_cast<float>(
            kToneAmplitude * std::sin(2 * std::numbers::pi * kToneHz * i / 48000));
        out.write(reinterpret_cast<const char*>(&sample), sizeof sample);
    }
    out.close();
    std::string error;
    auto player = client::Subprocess::spawn({"pacat", "--playback", "--raw", "--format=float32le",
                                             "--rate=48000", "--channels=1", file},
                                            &error, {"PULSE_SERVER=" + server});
    EXPECT_TRUE(player) << error;
    return player;
}

TEST(RecordFromSoundServer, RecordsOneSecondOfAToneIntoAValidFile) {
    const char* soundDir = std::getenv("HALVO_SOUND_DIR");
    if (soundDir == nullptr) {
        GTEST_SKIP() << "no sound server: run through ctest";
    }
    const std::string server = std::string("unix:") + soundDir + "/native";
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    auto player = playTone(folder, server, 4);
    ASSERT_TRUE(player);
    std::this_thread::sleep_for(300ms);

    // Without --helper: the halvo-audio-helper beside halvo-record in the build folder.
    std::string error;
    auto recorder = client::Subprocess::spawn({CLIENT_TEST_RECORD, "-d", "1", "-o", take}, &error,
                                              {"PULSE_SERVER=" + server});
    ASSERT_TRUE(recorder) << error;
    const auto status = recorder->waitFor(20s);
    ASSERT_TRUE(status);
    std::string errors(4096, '\0');
    errors.resize(static_cast<std::size_t>(
        std::max<ssize_t>(0, ::read(recorder->standardError(), errors.data(), errors.size()))));
    ASSERT_EQ(status->code, record::kExitOk) << errors;

    const std::string file = readFile(take);
    EXPECT_EQ(file.size(), 58u + 48000 * 4);
    expectFloatWavHeader(file, 48000, 1, 48000 * 4);

    const record::WavReadResult read = record::readWav(take);
    ASSERT_TRUE(read.audio) << read.error;
    const record::Analysis analysis = record::analyze(*read.audio);
    EXPECT_DOUBLE_EQ(analysis.seconds, 1.0);
    EXPECT_NEAR(record::toDbfs(analysis.levels.peak), record::toDbfs(kToneAmplitude), 1.0);
    ASSERT_TRUE(analysis.dominantHz);
    EXPECT_NEAR(*analysis.dominantHz, kToneHz, 2.0);
}

}  // namespace
}  // namespace halvo::client_test
