// halvo-record with the real helper, against the private sound server that ctest's fixture
// started (its folder in HALVO_SOUND_DIR): a tone played into the default sink is recorded.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <thread>

#include "client/subprocess.h"
#include "tests/client/client_test_support.h"
#include "tools/halvo-record/exit_status.h"
#include "tools/halvo-record/levels.h"
#include "tools/halvo-record/sound_file_reader.h"

namespace halvo::client_test {
namespace {

constexpr double kToneHz = 997;  // prime, so no harmonic of mains hum or a round rate
constexpr double kToneAmplitude = 0.5;

TEST(RecordFromSoundServer, RecordsOneSecondOfAToneIntoAValidFile) {
    const char* soundDir = std::getenv("HALVO_SOUND_DIR");
    if (soundDir == nullptr) {
        GTEST_SKIP() << "no sound server: run through ctest";
    }
    const std::string server = std::string("unix:") + soundDir + "/native";
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    // Four seconds of the tone into the server's default sink; stopped on destruction.
    std::ofstream(folder.file("tone.f32"), std::ios::binary)
        << sine(kToneHz, kToneAmplitude, 4 * 48000, 1);
    std::string error;
    const auto player =
        client::Subprocess::spawn({"pacat", "--playback", "--raw", "--format=float32le",
                                   "--rate=48000", "--channels=1", folder.file("tone.f32")},
                                  &error, {"PULSE_SERVER=" + server});
    ASSERT_TRUE(player) << error;
    std::this_thread::sleep_for(300ms);

    // Without --helper: the halvo-audio-helper beside halvo-record in the build folder.
    const RecorderRun run = runRecorder({"-d", "1", "-o", take}, {}, {"PULSE_SERVER=" + server});
    ASSERT_EQ(run.status.code, record::kExitOk) << run.errors;

    const std::string file = readFile(take);
    const WaveLayout layout = expectFloatWav(file, 48000, 1, 48000 * 4);
    EXPECT_EQ(file.size(), layout.dataOffset + 48000 * 4);

    const record::ReadResult read = record::readSoundFile(take);
    ASSERT_TRUE(read.audio) << read.error;
    const record::Analysis analysis = record::analyze(*read.audio);
    EXPECT_DOUBLE_EQ(analysis.seconds, 1.0);
    EXPECT_NEAR(record::toDbfs(analysis.levels.peak), record::toDbfs(kToneAmplitude), 1.0);
    ASSERT_TRUE(analysis.dominantHz);
    EXPECT_NEAR(*analysis.dominantHz, kToneHz, 2.0);
}

}  // namespace
}  // namespace halvo::client_test
