// halvo-record: its recording and reading of WAVE files, and the tool as a user runs it over the
// simulated helper and small fake helpers.
#include <signal.h>
#include <sys/stat.h>

#include <regex>
#include <thread>

#include "tests/client/client_test_support.h"
#include "tools/halvo-record/exit_status.h"
#include "tools/halvo-record/levels.h"
#include "tools/halvo-record/recording.h"
#include "tools/halvo-record/sound_file_reader.h"
#include "tools/halvo-record/sound_file_writer.h"

namespace halvo::client_test {
namespace {

using record::FileFormat;
using record::Recording;
using record::SoundFileWriter;

// How far a take's length may stray from the wall clock: the first audio and the audio after a
// resume each reach the file a buffer or two (10 ms each here) after they were captured, the
// test's own look at the file takes a few milliseconds, and the simulated helper paces its
// buffers a little slower than real time, more so on a loaded machine (the silence makes up
// for that before a gap, not after it). Measured unloaded: within 3 ms.
constexpr double kWallClockTolerance = 0.1;

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

// The data size the header of the WAVE file at `path` declares; 0 without a header.
std::uint64_t declaredDataBytes(const std::string& path) {
    const std::string file = readFile(path);
    const std::size_t data = file.find("data");
    return data == std::string::npos || file.size() < data + 8 ? 0 : field32(file, data + 4);
}

// A float WAVE file at 48 kHz mono whose header declares all the audio it holds (or, for a take
// cut short, no more than that), holding the sim's byte pattern from the start. Returns the
// number of data bytes.
std::size_t expectTake(const std::string& path, bool finished = true) {
    const std::string file = readFile(path);
    const WaveLayout layout = expectFloatWav(file, 48000, 1);
    if (finished) {
        EXPECT_EQ(layout.dataOffset + layout.dataBytes, file.size()) << "bytes after the data";
    }
    EXPECT_TRUE(file.substr(layout.dataOffset, layout.dataBytes) == patternBytes(layout.dataBytes))
        << "audio differs";
    return layout.dataBytes;
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
        if (GetParam() != 0) {
            EXPECT_TRUE(waitUntil([&] { return declaredDataBytes(take) > 20000; }));
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

// A WAVE take's frames, split into the sim's audio (frames not all zero: its byte pattern never
// holds two zero bytes in a row) and one stretch of silence between them.
struct GapTake {
    std::size_t frames = 0;
    std::size_t silenceStart = 0;
    std::size_t silenceFrames = 0;
};

GapTake expectPatternAroundOneGap(const std::string& path) {
    const std::string file = readFile(path);
    const WaveLayout layout = expectFloatWav(file, 48000, 1);
    EXPECT_EQ(layout.dataOffset + layout.dataBytes, file.size()) << "bytes after the data";
    const std::string data = file.substr(layout.dataOffset, layout.dataBytes);
    GapTake take{data.size() / 4, 0, 0};
    std::string audio;
    for (std::size_t frame = 0; frame < take.frames; ++frame) {
        const std::string bytes = data.substr(frame * 4, 4);
        if (bytes == std::string(4, '\0')) {
            if (take.silenceFrames == 0) {
                take.silenceStart = frame;
            }
            EXPECT_EQ(take.silenceStart + take.silenceFrames, frame) << "silence in two places";
            ++take.silenceFrames;
        } else {
            audio += bytes;
        }
    }
    EXPECT_TRUE(audio == patternBytes(audio.size())) << "the audio around the gap differs";
    return take;
}

// The system stops the capture (the sound server went away); the first retry finds no server,
// the second resumes. One take: the audio before, silence as long as the capture was away, the
// audio after, and as many frames as the wall clock says.
TEST(HalvoRecordRecovery, ResumesAfterAStopIntoOneFileThatKeepsTime) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    RunningProgram recorder(
        {CLIENT_TEST_RECORD, "--helper", helperFor(folder, "resumes.scn"), "-o", take});
    ASSERT_TRUE(recorder.running());
    ASSERT_TRUE(waitUntil([&] { return audioBytesOnDisk(take) > 0; }));
    const auto firstAudio = std::chrono::steady_clock::now();
    ASSERT_TRUE(recorder.waitForError("capture stopped: Connection terminated; retrying in 0.5 s"))
        << recorder.errors();
    ASSERT_TRUE(recorder.waitForError(
        "capture did not resume: no sound server reachable or access refused (Connection "
        "refused); retrying in 1.0 s"))
        << recorder.errors();
    ASSERT_TRUE(recorder.waitForError(" s of silence\n")) << recorder.errors();
    const std::uint64_t resumedAt = audioBytesOnDisk(take);
    ASSERT_TRUE(waitUntil([&] { return audioBytesOnDisk(take) >= resumedAt + 48000; }));
    const auto lastAudio = std::chrono::steady_clock::now();
    ::kill(recorder.pid(), SIGINT);
    const auto status = recorder.waitForExit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->exited);
    EXPECT_EQ(status->code, record::kExitOk) << recorder.errors();

    const GapTake gap = expectPatternAroundOneGap(take);
    EXPECT_EQ(gap.silenceStart, 50u * 480) << "the gap follows the audio before the stop";
    // Retries after 0.5 s and 1 s more: the capture was away for 1.5 s and a little, and the
    // silence says so, as does the line about it.
    const double silence = static_cast<double>(gap.silenceFrames) / 48000;
    EXPECT_GE(silence, 1.45);
    std::smatch said;
    ASSERT_TRUE(std::regex_search(
        recorder.errors(), said,
        std::regex("capture resumed after ([0-9.]+) s; wrote ([0-9.]+) s of silence\n")))
        << recorder.errors();
    EXPECT_NEAR(silence, std::stod(said[2].str()), 0.05);
    EXPECT_NEAR(silence, std::stod(said[1].str()), kWallClockTolerance);
    const double wallClock = std::chrono::duration<double>(lastAudio - firstAudio).count();
    EXPECT_NEAR(static_cast<double>(gap.frames) / 48000, wallClock, kWallClockTolerance);
}

// Every retry is refused: the take ends with the system-stopped status after the retry time,
// keeping a valid file of the audio before the stop (no silence after it: nothing followed).
// The retries came after 0.5 s, 1 s, and at the limit.
TEST(HalvoRecordRecovery, GivesUpAfterTheRetryTimeKeepingTheFile) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const RecorderRun run = runRecorder(
        {"--helper", helperFor(folder, "never_resumes.scn"), "-o", take, "--retry-for", "2"});
    EXPECT_EQ(run.status.code, record::kExitStreamStopped) << run.errors;
    EXPECT_EQ(expectTake(take), 10u * 1920);
    EXPECT_TRUE(run.errors.starts_with(
        "halvo-record: capture stopped: Connection terminated; retrying in 0.5 s\n"
        "halvo-record: capture did not resume: no sound server reachable or access refused "
        "(Connection refused); retrying in 1.0 s\n"))
        << run.errors;
    std::size_t refusals = 0;
    for (std::size_t at = 0; (at = run.errors.find("did not resume", at)) != std::string::npos;
         ++at) {
        ++refusals;
    }
    EXPECT_EQ(refusals, 2u) << run.errors;
    EXPECT_NE(run.errors.find("halvo-record: giving up after 2."), std::string::npos) << run.errors;
    EXPECT_TRUE(run.errors.ends_with(
        "halvo-record: the system stopped the audio stream: Connection terminated\n"))
        << run.errors;
}

// The duration runs out while the capture is away: the take ends on time, the rest of the
// duration silence, and that is a complete recording.
TEST(HalvoRecordRecovery, EndsOnTimeWhenTheDurationRunsOutDuringAGap) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const RecorderRun run =
        runRecorder({"--helper", helperFor(folder, "never_resumes.scn"), "-o", take, "-d", "1"});
    EXPECT_EQ(run.status.code, record::kExitOk) << run.errors;
    EXPECT_NE(run.errors.find("halvo-record: capture had not resumed when the duration ran out; "
                              "wrote 0.9 s of silence\n"),
              std::string::npos)
        << run.errors;
    const GapTake gap = expectPatternAroundOneGap(take);
    EXPECT_EQ(gap.frames, 48000u);
    EXPECT_EQ(gap.silenceStart, 10u * 480);
    EXPECT_EQ(gap.silenceFrames, 48000u - 10 * 480);
}

// The capture resumes at another rate and channel count: the file cannot follow, so the take
// ends there with its own status, keeping what it holds.
TEST(HalvoRecordRecovery, EndsTheTakeWhenTheCaptureResumesInAnotherFormat) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const RecorderRun run = runRecorder(
        {"--helper", helperFor(folder, "format_changes.sh"), "-o", take, "--retry-for", "5"});
    EXPECT_EQ(run.status.code, record::kExitFormatChanged) << run.errors;
    EXPECT_NE(run.errors.find("the capture resumed as 44100 Hz, 2 channels, 32-bit, but " + take +
                              " is 48000 Hz, 1 channel, 32-bit"),
              std::string::npos)
        << run.errors;
    const std::string file = readFile(take);
    const WaveLayout layout = expectFloatWav(file, 48000, 1, 19200);
    EXPECT_EQ(file.substr(layout.dataOffset), std::string(19200, '\1'));
}

struct FailureCase {
    const char* helper;
    int exitStatus;
    const char* message;  // part of what is said
    bool keepsFile;
    std::vector<std::string> arguments = {};
};

void PrintTo(const FailureCase& failureCase, std::ostream* out) {
    *out << failureCase.helper;
}

class HalvoRecordFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(HalvoRecordFailures, ExplainEachHelperErrorWithItsOwnStatus) {
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    std::vector<std::string> arguments{"--helper", helperFor(folder, GetParam().helper), "-o",
                                       take};
    arguments.insert(arguments.end(), GetParam().arguments.begin(), GetParam().arguments.end());
    const RecorderRun run = runRecorder(arguments);
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
        // Without retries, a stop ends the take at once.
        FailureCase{"system_stop.scn",
                    record::kExitStreamStopped,
                    "Audio device\nwas unplugged",
                    true,
                    {"--retry-for", "0"}},
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
    if (::access("/dev/full", W_OK) == 0) {
        run = runRecorder({"--helper", helperFor(folder, "thirty_seconds.scn"), "-o", "/dev/full"});
        EXPECT_EQ(run.status.code, record::kExitOutputFile);
        EXPECT_NE(run.errors.find("No space"), std::string::npos) << run.errors;
    }
    for (const char* bad : {"--duration=0", "--duration=soon", "-o", "--frobnicate", "stray",
                            "--format=mp3", "--retry-for=-1", "--retry-for=never"}) {
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
            EXPECT_TRUE(waitUntil([&] { return declaredDataBytes(take) > 20000; }));
            std::filesystem::resize_file(take, 0);
        });
    EXPECT_EQ(run.status.code, record::kExitOutputFile);
    EXPECT_NE(run.errors.find("truncated by another program"), std::string::npos) << run.errors;
    const std::string file = readFile(take);
    const WaveLayout layout = expectFloatWav(file, 48000, 1);
    EXPECT_EQ(layout.dataOffset + layout.dataBytes, file.size());
}

// A take recorded from chunks that split frames, read back and analysed as --analyze does.
TEST(Recording, ReassemblesSplitFramesStopsAtTheDurationAndReadsBack) {
    TemporaryFolder folder;
    const std::string path = folder.file("take.wav");
    Recording recording(SoundFileWriter::open(path, FileFormat::wav, nullptr), path,
                        1.5);  // 72000 frames at 48 kHz
    recording.setFormat({48000, 2, 32});
    EXPECT_TRUE(recording.setFormat({48000, 2, 32})) << "the same format again changes nothing";
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
    const WaveLayout layout = expectFloatWav(file, 48000, 2, 72000 * 8);
    EXPECT_TRUE(file.substr(layout.dataOffset) == audio.substr(0, 72000 * 8)) << "audio differs";

    const record::ReadResult read = record::readSoundFile(path);
    ASSERT_TRUE(read.audio) << read.error;
    const record::Analysis analysis = record::analyze(*read.audio);
    EXPECT_DOUBLE_EQ(analysis.seconds, 1.5);
    EXPECT_NEAR(record::toDbfs(analysis.levels.peak), -6.02, 0.01);
    EXPECT_NEAR(record::toDbfs(analysis.levels.rms), -9.03, 0.01);
    ASSERT_TRUE(analysis.dominantHz);
    EXPECT_NEAR(*analysis.dominantHz, 440, 0.5);
    const RecorderRun run = runRecorder({"--analyze", path});
    EXPECT_EQ(run.status.code, record::kExitOk);
    EXPECT_NE(run.output.find(": 1.500 s, 48000 Hz, 2 channels, WAVE 32-bit float"),
              std::string::npos)
        << run.output;

    // A header that claims more than the file holds, and no header at all.
    std::filesystem::resize_file(path, layout.dataOffset + 41 * 8 + 2);
    const record::ReadResult cut = record::readSoundFile(path);
    ASSERT_TRUE(cut.audio) << cut.error;
    EXPECT_EQ(cut.audio->frames(), 41u);
    std::filesystem::resize_file(path, 30);
    EXPECT_FALSE(record::readSoundFile(path).audio);
    EXPECT_EQ(runRecorder({"--analyze", folder.file("missing.wav")}).status.code,
              record::kExitOutputFile);

    // Audio before any format cannot be stored.
    Recording unannounced(SoundFileWriter::open(path, FileFormat::wav, nullptr), path,
                          std::nullopt);
    unannounced.addAudio(bytesOf("abcd"));
    ASSERT_TRUE(unannounced.failure());
    EXPECT_EQ(unannounced.failure()->exitStatus, record::kExitCaptureFailed);
}

// The file keeps time across a gap but not across a pause: after a pause the first audio sets
// the clock anew, so a later gap's silence leaves the paused time out. A duration that runs out
// during a gap is filled up to the frame.
TEST(Recording, FillsAGapByTheClockSinceTheLastPause) {
    TemporaryFolder folder;
    const std::string path = folder.file("take.wav");
    Recording recording(SoundFileWriter::open(path, FileFormat::wav, nullptr), path, 3.0);
    ASSERT_TRUE(recording.setFormat({48000, 1, 32}));
    const std::string tenMilliseconds = patternBytes(480 * 4);
    const auto t0 = Recording::Clock::now();
    recording.captureStarting();
    recording.addAudio(bytesOf(tenMilliseconds), t0);
    // Paused for five seconds (no gap begun), then ten more milliseconds.
    recording.captureStarting();
    recording.addAudio(bytesOf(tenMilliseconds), t0 + 5s);
    EXPECT_FALSE(recording.takeGapReport());
    // Stopped by the system at 6 s; resumed at 7 s. The clock has run since 4.98 s, when the
    // 20 ms before the pause's end were captured: 2.02 s are due with this chunk's 10 ms.
    recording.beginGap(t0 + 6s);
    EXPECT_FALSE(recording.completeGapIfDue(t0 + 6500ms)) << "the duration is not reached";
    recording.captureStarting();
    recording.addAudio(bytesOf(tenMilliseconds), t0 + 7s);
    const auto report = recording.takeGapReport();
    ASSERT_TRUE(report);
    EXPECT_DOUBLE_EQ(report->seconds, 1.0);
    EXPECT_NEAR(report->silenceSeconds, 2.02 - 0.03, 1e-9);
    // Stopped again; the 3 s run out at 7.98 s, before any capture resumed.
    recording.beginGap(t0 + 7500ms);
    EXPECT_FALSE(recording.completeGapIfDue(t0 + 7970ms));
    const auto filled = recording.completeGapIfDue(t0 + 7980ms);
    ASSERT_TRUE(filled);
    EXPECT_NEAR(*filled, 3.0 - 2.02, 1e-9);
    EXPECT_TRUE(recording.progress().complete);
    EXPECT_TRUE(recording.finish());

    const std::string file = readFile(path);
    const WaveLayout layout = expectFloatWav(file, 48000, 1, 3 * 48000 * 4);
    EXPECT_TRUE(file.substr(layout.dataOffset) ==
                tenMilliseconds + tenMilliseconds + std::string(4 * (96960 - 1440), '\0') +
                    tenMilliseconds + std::string(4 * (144000 - 96960), '\0'))
        << "audio differs";
}

// FLAC and Ogg/Opus, chosen by the name or by --format, hold the audio --analyze then reads: the
// length to the frame (FLAC) or nearly (Opus), and the tone.
TEST(HalvoRecord, WritesFlacAndOpusByExtensionOrFormat) {
    TemporaryFolder folder;
    struct Case {
        std::vector<std::string> arguments;
        const char* encoding;
        double toleranceSeconds;
    };
    for (const Case& take :
         {Case{{"-o", folder.file("take.flac")}, "FLAC 24-bit integer", 0},
          Case{{"-o", folder.file("take.opus")}, "Ogg Opus", 0.03},
          Case{{"-o", folder.file("take.wav"), "--format=OPUS"}, "Ogg Opus", 0.03}}) {
        if (std::string(take.encoding) == "Ogg Opus" &&
            !record::canWrite(FileFormat::opus, 48000, 1)) {
            continue;  // a libsndfile without Opus
        }
        std::vector<std::string> arguments{"--helper", CLIENT_TEST_FAKE_HELPERS "/sine.sh", "-d",
                                           "0.5"};
        arguments.insert(arguments.end(), take.arguments.begin(), take.arguments.end());
        const RecorderRun run = runRecorder(arguments);
        ASSERT_EQ(run.status.code, record::kExitOk) << run.errors;
        const record::ReadResult read = record::readSoundFile(take.arguments[1]);
        ASSERT_TRUE(read.audio) << read.error;
        EXPECT_EQ(read.audio->encoding, take.encoding);
        EXPECT_EQ(read.audio->sampleRate, 48000);
        EXPECT_EQ(read.audio->channels, 1);
        const record::Analysis analysis = record::analyze(*read.audio);
        EXPECT_NEAR(analysis.seconds, 0.5, take.toleranceSeconds) << take.encoding;
        EXPECT_NEAR(record::toDbfs(analysis.levels.rms), -9.03, 0.5) << take.encoding;
        ASSERT_TRUE(analysis.dominantHz);
        EXPECT_NEAR(*analysis.dominantHz, 440, 5) << take.encoding;
    }
}

}  // namespace
}  // namespace halvo::client_test
