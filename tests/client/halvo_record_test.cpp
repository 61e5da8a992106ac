// halvo-record as a user runs it, over the real helper on a private sound server (which some
// cases kill) and small fake helpers, and the bookkeeping of its take (split frames, the
// duration, gaps and pauses).
#include <signal.h>

#include <fstream>

#include "tests/client/client_test_support.h"
#include "tests/e2e/sound_server.h"
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
using testing::eventually;
using testing::SoundServer;

std::span<const std::byte> bytesOf(const std::string& text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

// What the sound server goes through while halvo-record records: nothing; it is not there (no
// server reachable); it dies once audio has reached the file (then it is started again).
enum class Server { up, none, killed };

// Runs halvo-record into `take` over `helper`: the real one on `server` when empty (through
// unlimited.sh when files are limited), a fake helper script (*.sh), or anything else as it is.
// `arguments` come after those, its files are limited to `fileLimit` KiB, and `meanwhile` runs
// while it records. Gives its status (none on
// timeout: the runner then kills it), what it said and what it printed.
std::tuple<std::optional<client::ExitStatus>, std::string, std::string> runRecorder(
    const SoundServer& server, const std::string& helper, const std::string& take,
    const std::vector<std::string>& arguments,
    const std::function<void(HelperProcess&)>& meanwhile = {},
    const std::string& fileLimit = "unlimited", Server fault = Server::up) {
    const std::string path = helper.ends_with(".sh")    ? CLIENT_TEST_FAKE_HELPERS "/" + helper
                             : !helper.empty()          ? helper
                             : fileLimit == "unlimited" ? HALVO_HELPER_PATH
                                                        : CLIENT_TEST_FAKE_HELPERS "/unlimited.sh";
    std::vector<std::string> all{"/bin/sh", "-c",
                                 "ulimit -S -f " + fileLimit + " && exec \"$0\" \"$@\""};
    all.insert(all.end(), {CLIENT_TEST_RECORD, "--helper", path, "-o", take});
    all.insert(all.end(), arguments.begin(), arguments.end());
    const auto recorder = HelperProcess::launch(
        all, {fault == Server::none ? "PULSE_SERVER=unix:/nonexistent" : server.environmentEntry(),
              "HALVO_HELPER=" HALVO_HELPER_PATH});
    if (meanwhile) {
        meanwhile(*recorder);
    }
    if (fault == Server::killed) {
        EXPECT_TRUE(eventually([&] { return audioBytes(take) > 0; }, 10s));
        server.kill();
    }
    const auto status = recorder->waitForExit(20s);
    EXPECT_TRUE(status) << "halvo-record did not end";
    if (fault == Server::killed) {
        EXPECT_TRUE(server.restart());
    }
    return {status, recorder->transcript(), recorder->standardOutput()};
}

// How a take ends, and the valid WAVE file of the helper's audio from the start it leaves: by its
// duration; by SIGINT or SIGTERM, which end it in order; by SIGKILL, after which the file holds
// the audio up to the last periodic header update; when the disk fills in the middle of a buffer
// (a file size limit of 20 KiB, which the kernel enforces as it does a full disk: a short write,
// then an error), with whole frames and a header that declares exactly what it holds; or when
// another program truncates the file (the audio before the cut then reads as silence).
struct Ending {
    const char* name;
    int signal = 0;  // sent once a periodic header update has happened
    int status = record::kExitOk;
    const char* said = "";
    std::string fileLimit = "unlimited";
    bool truncate = false;
};

class HalvoRecordEnds : public testing::ServerTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(HalvoRecordEnds, WithAValidFileOfTheHelpersAudio) {
    const Ending& ending = GetParam();
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const bool byDuration =
        ending.signal == 0 && ending.fileLimit == "unlimited" && !ending.truncate;
    const auto [status, errors, printed] = runRecorder(
        *server_, "", take,
        byDuration ? std::vector<std::string>{"-d", "0.5"} : std::vector<std::string>{},
        [&](HelperProcess& recorder) {
            if (ending.signal != 0 || ending.truncate) {
                EXPECT_TRUE(eventually([&] { return audioBytes(take, false) > 20000; }, 10s));
            }
            if (ending.signal != 0) {
                recorder.kill(ending.signal);
            } else if (ending.truncate) {
                std::filesystem::resize_file(take, 0);
            }
        },
        ending.fileLimit);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->exited ? status->code : 128 + status->signal, ending.status) << errors;
    EXPECT_TRUE(*ending.said == '\0' ? errors.empty()
                                     : errors.find(ending.said) != std::string::npos)
        << errors;
    const std::string file = readFile(take);
    const WaveLayout layout =
        expectFloatWav(file, 1, byDuration ? std::optional<std::uint64_t>(24000 * 4) : std::nullopt,
                       ending.signal != SIGKILL);
    EXPECT_GT(layout.dataBytes, 9000u);
}

INSTANTIATE_TEST_SUITE_P(
    Takes, HalvoRecordEnds,
    ::testing::Values(Ending{"duration"}, Ending{"sigint", SIGINT}, Ending{"sigterm", SIGTERM},
                      Ending{"sigkill", SIGKILL, 128 + SIGKILL},
                      Ending{"disk_full", 0, record::kExitOutputFile, "File too large", "20"},
                      Ending{"truncated", 0, record::kExitOutputFile,
                             "truncated by another program", "unlimited", true}),
    [](const auto& test) { return std::string(test.param.name); });

// A run of halvo-record and how it ends: its status, what it says (these texts in this order;
// nothing when there are none), the audio bytes of the file it leaves (0: no file; kAny: a file
// of any length), and what it prints.
constexpr std::uint64_t kAny = ~0ull;
struct Outcome {
    std::string helper;  // empty: the real one
    std::vector<std::string> arguments;
    int status;
    std::vector<std::string> said;
    std::uint64_t keptBytes = 0;
    Server server = Server::up;
    std::string printed = "";
};

void PrintTo(const Outcome& outcome, std::ostream* out) {
    *out << (outcome.helper.empty() ? "helper" : outcome.helper)
         << (outcome.server == Server::none ? " (no server)" : "")
         << (outcome.server == Server::killed ? " (server killed)" : "");
    for (const std::string& argument : outcome.arguments) {
        *out << " " << argument;
    }
}

class HalvoRecordOutcomes : public testing::ServerTest,
                            public ::testing::WithParamInterface<Outcome> {};

TEST_P(HalvoRecordOutcomes, HaveTheirOwnStatusMessageAndFile) {
    const Outcome& expected = GetParam();
    TemporaryFolder folder;
    const std::string take = folder.file("take.wav");
    const auto [status, errors, printed] = runRecorder(
        *server_, expected.helper, take, expected.arguments, {}, "unlimited", expected.server);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->code, expected.status) << errors;
    std::size_t at = 0;
    for (const std::string& text : expected.said) {
        at = errors.find(text, at);
        ASSERT_NE(at, std::string::npos) << "not said (in this order): " << text << "\n" << errors;
    }
    EXPECT_TRUE(expected.said.empty() ? errors.empty() : errors.starts_with("halvo-record: "))
        << errors;
    EXPECT_EQ(printed, expected.printed);
    EXPECT_EQ(std::filesystem::exists(take), expected.keptBytes != 0);
    if (expected.keptBytes != 0) {
        expectFloatWav(
            readFile(take), 1,
            expected.keptBytes == kAny ? std::nullopt : std::optional(expected.keptBytes));
    }
}

INSTANTIATE_TEST_SUITE_P(
    UsageHelpersAndFiles, HalvoRecordOutcomes,
    ::testing::Values(
        Outcome{"", {"-d", "0"}, record::kExitUsage, {"invalid duration '0'"}},
        // A name whose extension is no format halvo-record writes, unless --format says one.
        Outcome{"", {"-o", "x.mp3"}, record::kExitUsage, {"'x.mp3'", ".flac"}},
        // Standard output (a pipe here) cannot take WAVE, whose header is written last.
        Outcome{"",
                {"-o", "-"},
                record::kExitOutputFile,
                {"cannot write WAVE to standard output", "--format flac"}},
        // The service and application options reach the helper as they were given; a start
        // that fails says why.
        Outcome{"arguments.sh",
                {"--only", "Fire fox", "--backend=pipewire", "--only=42"},
                record::kExitCaptureFailed,
                {"arguments: --backend pipewire --only Fire fox --only 42\n"}},
        Outcome{"", {"--backend", "alsa"}, record::kExitUsage, {"'alsa'"}},
        // --list-apps prints the helper's list as it is, and only that.
        Outcome{"arguments.sh",
                {"--list-apps"},
                record::kExitOk,
                {},
                0,
                Server::up,
                "4242\tFirefox\tfirefox\n77\tmpv\tmpv\n"},
        Outcome{"",
                {"--list-apps"},
                record::kExitPermissionDenied,
                {"(Connection refused)"},
                0,
                Server::none},
        Outcome{"no-such-helper", {}, record::kExitHelperUnavailable, {"no-such-helper"}},
        Outcome{"",
                {"-o", "/nonexistent/halvo/take.wav"},
                record::kExitOutputFile,
                {"/nonexistent/halvo/take.wav"}},
        // A duration shorter than one frame records nothing, as when nothing was captured.
        Outcome{"", {"-d", "0.00001"}, record::kExitOk, {"no audio was"}},
        Outcome{"", {}, record::kExitPermissionDenied, {"(Connection refused)"}, 0, Server::none},
        Outcome{"exits_early.sh", {}, record::kExitHelperDied, {"unexpectedly (exit status 0)"}},
        // Without retries, a stop ends the take at once.
        Outcome{"",
                {"--retry-for", "0"},
                record::kExitStreamStopped,
                {"Connection terminated"},
                kAny,
                Server::killed},
        // Every retry is refused (the policy's table has the steps): the take ends at the
        // limit, keeping the audio before the stop and no silence after it.
        Outcome{
            "",
            {"--retry-for", "2"},
            record::kExitStreamStopped,
            {"giving up after 2.", "the system stopped the audio stream: Connection terminated\n"},
            kAny,
            Server::killed},
        // The duration runs out while the capture is away: the take ends on time, the rest
        // silence, and that is a complete recording.
        Outcome{"",
                {"-d", "2"},
                record::kExitOk,
                {"capture had not resumed when the duration ran out; wrote "},
                2 * 48000 * 4,
                Server::killed}));

// A take recorded from chunks that split frames and run past the duration, then read by
// --analyze. The samples alternate between 0.5 and 0: peak -6.02 dBFS, RMS -9.03 dBFS.
TEST(Recording, ReassemblesSplitFramesStopsAtTheDurationAndIsAnalysed) {
    TemporaryFolder folder;
    const std::string path = folder.file("take.wav");
    Recording recording(SoundFileWriter::open(path, FileFormat::wav, nullptr), path,
                        1.5);  // 72000 frames at 48 kHz
    ASSERT_TRUE(recording.setFormat({48000, 2, 32}));
    EXPECT_TRUE(recording.setFormat({48000, 2, 32})) << "the same format again changes nothing";
    std::vector<float> samples(75000 * 2);
    for (std::size_t i = 0; i < samples.size(); i += 2) {
        samples[i] = samples[i + 1] = i % 4 == 0 ? 0.5f : 0.0f;
    }
    const std::string audio(reinterpret_cast<const char*>(samples.data()), samples.size() * 4);
    // Chunks of 7 bytes, which almost all end inside a sample, then the rest.
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
    const WaveLayout layout = expectFloatWav(file, 2, 72000 * 8);
    EXPECT_TRUE(file.substr(layout.dataOffset) == audio.substr(0, 72000 * 8)) << "audio differs";

    const auto analysis = HelperProcess::launch({CLIENT_TEST_RECORD, "--analyze", path});
    ASSERT_TRUE(analysis->waitForExit());
    EXPECT_EQ(analysis->standardOutput(), path +
                                              ": 1.500 s, 48000 Hz, 2 channels, WAVE 32-bit float\n"
                                              "peak: -6.0 dBFS, rms: -9.0 dBFS\n");
}

// The file keeps time across a gap but not across a pause: after a pause the first audio sets
// the clock anew, so a later gap's silence leaves the paused time out. A duration that runs out
// during a gap is filled up to the frame.
TEST(Recording, FillsAGapByTheClockSinceTheLastPause) {
    TemporaryFolder folder;
    const std::string path = folder.file("take.wav");
    Recording recording(SoundFileWriter::open(path, FileFormat::wav, nullptr), path, 3.0);
    ASSERT_TRUE(recording.setFormat({48000, 1, 32}));
    const std::string tenMilliseconds(480 * 4, 'p');
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
    const WaveLayout layout = expectFloatWav(file, 1, 3 * 48000 * 4);
    EXPECT_TRUE(file.substr(layout.dataOffset) ==
                tenMilliseconds + tenMilliseconds + std::string(4 * (96960 - 1440), '\0') +
                    tenMilliseconds + std::string(4 * (144000 - 96960), '\0'))
        << "audio differs";
}

// FLAC and Ogg/Opus, chosen by the name or by --format, hold the tone: the length to the frame
// (FLAC) or nearly (Opus, which pads), and the level. FLAC streams to standard output (a pipe).
using HalvoRecord = testing::ServerTest;

TEST_F(HalvoRecord, WritesFlacAndOpusByExtensionOrFormat) {
    TemporaryFolder folder;
    struct Case {
        std::string file;
        std::vector<std::string> arguments;
        const char* encoding;
        double toleranceSeconds;
    };
    for (const Case& take :
         {Case{"take.flac", {"-d", "0.5"}, "FLAC 24-bit integer", 0},
          Case{"take.opus", {"-d", "0.5"}, "Ogg Opus", 0.03},
          Case{"take.wav", {"-d", "0.5", "--format=OPUS"}, "Ogg Opus", 0.03},
          Case{"-", {"-d", "0.5", "-f", "flac", "-o", "-"}, "FLAC 24-bit integer", 0}}) {
        if (take.toleranceSeconds != 0 && !record::canWrite(FileFormat::opus, 48000, 1)) {
            continue;  // a libsndfile without Opus
        }
        const std::string path = folder.file(take.file == "-" ? "stdout.flac" : take.file);
        const auto [status, errors, printed] =
            runRecorder(*server_, "sine.sh", path, take.arguments);
        ASSERT_TRUE(status && status->code == record::kExitOk) << errors;
        if (take.file == "-") {
            EXPECT_FALSE(std::filesystem::exists(path) || std::filesystem::exists("-"));
            std::ofstream(path, std::ios::binary) << printed;
        }
        const record::ReadResult read = record::readSoundFile(path);
        ASSERT_TRUE(read.audio) << read.error;
        EXPECT_EQ(read.audio->encoding, take.encoding);
        EXPECT_EQ(read.audio->sampleRate, 48000);
        EXPECT_EQ(read.audio->channels, 1);
        EXPECT_NEAR(static_cast<double>(read.audio->frames()) / 48000, 0.5, take.toleranceSeconds);
        record::LevelMeter meter;
        meter.add(read.audio->samples);
        EXPECT_NEAR(record::toDbfs(meter.take().rms), -9.03, 0.5) << take.encoding;
    }
}

}  // namespace
}  // namespace halvo::client_test
