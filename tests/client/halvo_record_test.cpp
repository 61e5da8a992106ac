// halvo-record: its recording and reading of WAVE files, and the tool as a user runs it over the
// simulated helper and small fake helpers.
#include <signal.h>
#include <sys/stat.h>

#include <thread>

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

// For --helper, which takes no arguments: a fake helper script (*.sh) as it is, or a script in
// `folder` that runs the simulated helper with a scenario.
std::string helperFor(const TemporaryFolder& folder, const std::string& name) {
    if (name.ends_with(".sh")) {
        return CLIENT_TEST_FAKE_HELPERS "/" + name;
    }
    const std::string path = folder.file("helper.sh");
    std::ofstream(path) << "#!/bin/sh\nexec '" CLIENT_TEST_SIM_HELPER "' '" CLIENT_TEST_SCENARIOS
                           "/"
                        << name << "'\n";
    ::chmod(path.c_str(), 0755);
    return path;
}

// The data size the header of the file at `path` declares; 0 without a header.
std::uint32_t declaredDataBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string header(58, '\0');
    return file.read(header.data(), 58) ? field32(header, 54) : 0;
}

// A float WAVE file at 48 kHz mono whose header declares all that follows it (or, for a take cut
// short, no more than that), holding the sim's byte pattern from the start. Returns the number of
// data bytes.
std::size_t expectTake(const std::string& path, bool finished = true) {
    const std::string file = readFile(path);
    const std::size_t dataBytes =
        finished ? std::max<std::size_t>(file.size(), 58) - 58 : declaredDataBytes(path);
    expectFloatWavHeader(file, 48000, 1, dataBytes);
    EXPECT_TRUE(file.substr(std::min<std::size_t>(file.size(), 58), dataBytes) ==
                patternBytes(dataBytes))
        << "audio differs";
    return dataBytes;
}

// How a take ends: by its duration (0 here), by SIGINT or SIGTERM, which end it in order, or by
// SIGKILL, after which the file still holds the audio up to the last periodic header update.
class HalvoRecordEnds : public ::testing::TestWithParam<int> {};

TEST_P(HalvoRecordEnds, WithAValidFile) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    std::vector<std::string> arguments{"--helper", helperFor(folder, "thirty_seconds.scn"), "-o",
                                       take};
    if (GetParam() == 0) {
        arguments.insert(arguments.end(), {"-d", "0.5"});
    }
    const RecorderRun run = runRecorder(arguments, [&](pid_t pid) {
        // Signalled once a periodic header update has happened.
        for (int i = 0; GetParam() != 0 && i < 1000 && declaredDataBytes(take) <= 20000; ++i) {
            std::this_thread::sleep_for(10ms);
        }
        ::kill(pid, GetParam());  // 0: no signal
    });
    if (GetParam() == SIGKILL) {
        EXPECT_EQ(run.status.signal, SIGKILL);
    } else {
        EXPECT_TRUE(run.status.exited);
        EXPECT_EQ(run.status.code, record::kExitOk);
        EXPECT_EQ(run.errors, "");
    }
    const std::size_t dataBytes = expectTake(take, GetParam() != SIGKILL);
    EXPECT_TRUE(GetParam() == 0 ? dataBytes == 24000u * 4 : dataBytes > 20000u) << dataBytes;
}

INSTANTIATE_TEST_SUITE_P(DurationOrSignal, HalvoRecordEnds,
                         ::testing::Values(0, SIGINT, SIGTERM, SIGKILL));

struct FailureCase {
    const char* helper;
    int exitStatus;
    const char* message;  // part of what is said
    bool keepsFile;
};

void PrintTo(const FailureCase& failureCase, std::ostream* out) {
    *out << failureCase.helper;
}

class HalvoRecordFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(HalvoRecordFailures, ExplainEachHelperErrorWithItsOwnStatus) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const RecorderRun run =
        runRecorder({"--helper", helperFor(folder, GetParam().helper), "-o", take});
    EXPECT_EQ(run.status.code, GetParam().exitStatus);
    EXPECT_TRUE(run.errors.starts_with("halvo-record: ")) << run.errors;
    EXPECT_NE(run.errors.find(GetParam().message), std::string::npos) << run.errors;
    EXPECT_EQ(std::filesystem::exists(take), GetParam().keepsFile);
    if (GetParam().keepsFile) {
        EXPECT_EQ(expectTake(take), 10u * 1920);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Helpers, HalvoRecordFailures,
    ::testing::Values(
        FailureCase{"denied.scn", record::kExitPermissionDenied, "(Connection refused)", false},
        FailureCase{"no_display.scn", record::kExitNoDisplay, "no display", false},
        FailureCase{"start_fails.scn", record::kExitCaptureFailed,
                    "Device busy\nsecond line of the reason", false},
        FailureCase{"setup_fails_empty.scn", record::kExitCaptureFailed, "(no description)", false},
        FailureCase{"sixteen_bit.scn", record::kExitCaptureFailed, "16-bit", false},
        FailureCase{"system_stop.scn", record::kExitStreamStopped, "Audio device\nwas unplugged",
                    true},
        FailureCase{"exits_early.sh", record::kExitHelperDied, "ended unexpectedly (exit status 0)",
                    false}));

TEST(HalvoRecord, ReportsAMissingHelperAnUnwritableFileAndBadUsage) {
    TemporaryFolder folder;
    RecorderRun run =
        runRecorder({"--helper", folder.file("no-such-helper"), "-o", folder.file("take.wav")});
    EXPECT_EQ(run.status.code, record::kExitHelperUnavailable);
    EXPECT_NE(run.errors.find("no-such-helper"), std::string::npos) << run.errors;
    EXPECT_FALSE(std::filesystem::exists(folder.file("take.wav")));

    run = runRecorder(
        {"--helper", helperFor(folder, "thirty_seconds.scn"), "-o", folder.file("none/take.wav")});
    EXPECT_EQ(run.status.code, record::kExitOutputFile);
    EXPECT_NE(run.errors.find("none/take.wav"), std::string::npos) << run.errors;
    for (const char* bad : {"--duration=0", "--duration=soon", "-o", "--frobnicate", "stray"}) {
        run = runRecorder({bad});
        EXPECT_EQ(run.status.code, record::kExitUsage) << bad;
        EXPECT_TRUE(run.output.empty());
        EXPECT_NE(run.errors.find("--help"), std::string::npos);
    }
}

// A duration shorter than one frame records nothing, and says so as when nothing was captured.
TEST(HalvoRecord, LeavesNoFileForADurationShorterThanAFrame) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const RecorderRun run = runRecorder(
        {"--helper", helperFor(folder, "thirty_seconds.scn"), "-o", take, "-d", "0.00001"});
    EXPECT_EQ(run.status.code, record::kExitOk);
    EXPECT_NE(run.errors.find("no audio was captured"), std::string::npos) << run.errors;
    EXPECT_FALSE(std::filesystem::exists(take));
}

// The disk fills in the middle of a buffer (here a file size limit of 10240 bytes, which the
// kernel enforces as it does a full disk: a short write, then an error): the take ends with
// status 7 and a file of whole frames whose header declares exactly what it holds.
TEST(HalvoRecord, KeepsWholeFramesAndAMatchingHeaderWhenTheDiskFills) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const RecorderRun run =
        runProgram({"/bin/sh", "-c", "ulimit -f 20 && exec \"$0\" \"$@\"", CLIENT_TEST_RECORD,
                    "--helper", helperFor(folder, "thirty_seconds.scn"), "-o", take});
    EXPECT_TRUE(run.status.exited) << "signal " << run.status.signal;
    EXPECT_EQ(run.status.code, record::kExitOutputFile);
    EXPECT_NE(run.errors.find("File too large"), std::string::npos) << run.errors;
    const std::size_t dataBytes = expectTake(take);
    EXPECT_EQ(dataBytes % 4, 0u);
    EXPECT_GT(dataBytes, 9000u);
}

// Another program truncates the file in the middle of a take: the take ends with status 7 and
// says so, and the file keeps a valid header (the audio before the cut reads as silence).
TEST(HalvoRecord, ReportsAFileTruncatedByAnotherProgram) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const RecorderRun run =
        runRecorder({"--helper", helperFor(folder, "thirty_seconds.scn"), "-o", take}, [&](pid_t) {
            for (int i = 0; i < 1000 && declaredDataBytes(take) <= 20000; ++i) {
                std::this_thread::sleep_for(10ms);
            }
            std::filesystem::resize_file(take, 0);
        });
    EXPECT_EQ(run.status.code, record::kExitOutputFile);
    EXPECT_NE(run.errors.find("truncated by another program"), std::string::npos) << run.errors;
    const std::string file = readFile(take);
    expectFloatWavHeader(file, 48000, 1, file.size() - 58);
}

TEST(WavWriter, ReportsAFullDisk) {
    if (::access("/dev/full", W_OK) != 0) {
        GTEST_SKIP() << "no /dev/full";
    }
    auto writer = WavWriter::open("/dev/full", nullptr);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(writer->begin(48000, 1));
    EXPECT_NE(writer->error().find("No space"), std::string::npos) << writer->error();
}

// A take recorded from chunks that split frames, read back and analysed as --analyze does.
TEST(Recording, ReassemblesSplitFramesStopsAtTheDurationAndReadsBack) {
    TemporaryFolder folder;
    const std::string path = folder.file("take.wav");
    Recording recording(WavWriter::open(path, nullptr), path, 1.5);  // 72000 frames at 48 kHz
    recording.setFormat({48000, 2, 32});
    const std::string audio = sine(440, 0.5, 75000, 2);
    // Chunks of 7 bytes, which almost all end inside a sample, then the rest, beyond the duration.
    std::size_t at = 0;
    for (; at < audio.size() / 2; at += 7) {
        recording.addAudio(bytesOf(audio.substr(at, 7)));
    }
    recording.addAudio(bytesOf(audio.substr(at)));
    EXPECT_TRUE(recording.progress().complete);
    EXPECT_NEAR(record::toDbfs(recording.takeLevels().peak), -6.02, 0.01);
    EXPECT_TRUE(recording.finish());
    EXPECT_FALSE(recording.failure());
    const std::string file = readFile(path);
    expectFloatWavHeader(file, 48000, 2, 72000 * 8);
    EXPECT_TRUE(file.substr(58) == audio.substr(0, 72000 * 8)) << "audio differs";

    const record::WavReadResult read = record::readWav(path);
    ASSERT_TRUE(read.audio) << read.error;
    const record::Analysis analysis = record::analyze(*read.audio);
    EXPECT_DOUBLE_EQ(analysis.seconds, 1.5);
    EXPECT_NEAR(record::toDbfs(analysis.levels.peak), -6.02, 0.01);
    EXPECT_NEAR(record::toDbfs(analysis.levels.rms), -9.03, 0.01);
    ASSERT_TRUE(analysis.dominantHz);
    EXPECT_NEAR(*analysis.dominantHz, 440, 0.5);
    const RecorderRun run = runRecorder({"--analyze", path});
    EXPECT_EQ(run.status.code, record::kExitOk);
    EXPECT_NE(run.output.find(": 1.500 s, 48000 Hz, 2 channels, 32-bit float"), std::string::npos)
        << run.output;

    // A header that claims more than the file holds, and no header at all.
    std::filesystem::resize_file(path, 58 + 41 * 8 + 2);
    const record::WavReadResult cut = record::readWav(path);
    ASSERT_TRUE(cut.audio) << cut.error;
    EXPECT_EQ(cut.audio->frames(), 41u);
    std::filesystem::resize_file(path, 30);
    EXPECT_FALSE(record::readWav(path).audio);
    EXPECT_EQ(runRecorder({"--analyze", folder.file("missing.wav")}).status.code,
              record::kExitOutputFile);

    // Audio before any format cannot be stored.
    Recording unannounced(WavWriter::open(path, nullptr), path, std::nullopt);
    unannounced.addAudio(bytesOf("abcd"));
    ASSERT_TRUE(unannounced.failure());
    EXPECT_EQ(unannounced.failure()->exitStatus, record::kExitCaptureFailed);
}

}  // namespace
}  // namespace halvo::client_test
