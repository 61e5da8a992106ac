// halvo-record as a user runs it, over the simulated helper.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "client/subprocess.h"
#include "tests/client/client_test_support.h"
#include "tools/halvo-record/exit_status.h"

namespace halvo::client_test {
namespace {

struct RecorderRun {
    client::ExitStatus status;
    std::string output;
    std::string errors;
};

std::string readToEnd(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (got > 0) {
            text.append(buffer, static_cast<std::size_t>(got));
        } else if (errno != EINTR) {
            break;
        }
    }
    return text;
}

// Runs halvo-record with `arguments`; `meanwhile` gets its pid while it runs.
RecorderRun runRecorder(std::vector<std::string> arguments,
                        const std::function<void(pid_t)>& meanwhile = {}) {
    arguments.insert(arguments.begin(), CLIENT_TEST_RECORD);
    std::string error;
    auto child = client::Subprocess::spawn(arguments, &error);
    EXPECT_TRUE(child) << error;
    if (!child) {
        return {};
    }
    if (meanwhile) {
        meanwhile(child->pid());
    }
    RecorderRun run;
    auto status = child->waitFor(20s);
    EXPECT_TRUE(status) << "halvo-record did not end";
    if (!status) {
        return run;  // the Subprocess kills it
    }
    run.status = *status;
    run.output = readToEnd(child->standardOutput());
    run.errors = readToEnd(child->standardError());
    return run;
}

// Waits until the file at `path` holds more than `bytes` bytes.
bool waitForFileSize(const std::string& path, std::uintmax_t bytes) {
    for (int i = 0; i < 1000; ++i) {
        std::error_code ignored;
        if (std::filesystem::file_size(path, ignored) > bytes &&
            std::filesystem::file_size(path, ignored) != static_cast<std::uintmax_t>(-1)) {
            return true;
        }
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// A float WAVE file at 48 kHz mono whose header agrees with its length, holding the sim's
// byte pattern from the start. Returns the number of data bytes.
std::size_t expectFinishedTake(const std::string& path) {
    const std::string file = readFile(path);
    if (file.size() < 58) {
        ADD_FAILURE() << "no WAVE header in " << path;
        return 0;
    }
    expectFloatWavHeader(file, 48000, 1, file.size() - 58);
    EXPECT_TRUE(file.substr(58) == patternBytes(file.size() - 58)) << "audio differs";
    return file.size() - 58;
}

class HalvoRecord : public ::testing::Test {
  protected:
    std::string helperFor(const std::string& scenarioName) {
        return folder_.script("helper.sh", std::string("'") + CLIENT_TEST_SIM_HELPER + "' '" +
                                               scenario(scenarioName) + "'");
    }
    TemporaryFolder folder_;
    const std::string take_ = folder_.file("take.wav");
};

TEST_F(HalvoRecord, RecordsExactlyTheRequestedDurationAndSaysNothing) {
    const RecorderRun run =
        runRecorder({"--helper", helperFor("thirty_seconds.scn"), "-o", take_, "-d", "0.5"});
    EXPECT_TRUE(run.status.exited);
    EXPECT_EQ(run.status.code, record::kExitOk);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(expectFinishedTake(take_), 24000u * 4);
}

class HalvoRecordInterrupted : public HalvoRecord, public ::testing::WithParamInterface<int> {};

TEST_P(HalvoRecordInterrupted, DrainsTheHelperAndFinishesTheFile) {
    const RecorderRun run =
        runRecorder({"--helper", helperFor("thirty_seconds.scn"), "-o", take_}, [&](pid_t pid) {
            ASSERT_TRUE(waitForFileSize(take_, 58 + 20000));
            ::kill(pid, GetParam());
        });
    EXPECT_EQ(run.status.code, record::kExitOk);
    EXPECT_EQ(run.errors, "");
    EXPECT_GT(expectFinishedTake(take_), 20000u);
}

INSTANTIATE_TEST_SUITE_P(ByTerminationSignal, HalvoRecordInterrupted,
                         ::testing::Values(SIGINT, SIGTERM));

TEST_F(HalvoRecord, LeavesAValidFileWhenKilledOutright) {
    const auto declaredDataBytes = [&] {
        std::ifstream file(take_, std::ios::binary);
        std::string header(58, '\0');
        return file.read(header.data(), 58) ? field32(header, 54) : 0;
    };
    const RecorderRun run =
        runRecorder({"--helper", helperFor("thirty_seconds.scn"), "-o", take_}, [&](pid_t pid) {
            // Killed once a periodic header update has happened.
            for (int i = 0; i < 1000 && declaredDataBytes() == 0; ++i) {
                std::this_thread::sleep_for(10ms);
            }
            ::kill(pid, SIGKILL);
        });
    EXPECT_EQ(run.status.signal, SIGKILL);
    const std::string file = readFile(take_);
    ASSERT_GT(file.size(), 58u);
    const std::uint32_t declared = field32(file, 54);
    EXPECT_GT(declared, 0u);
    EXPECT_LE(declared, file.size() - 58);
    EXPECT_EQ(field32(file, 4), 50 + declared);
    EXPECT_EQ(field32(file, 46), declared / 4);
    EXPECT_TRUE(file.substr(58, declared) == patternBytes(declared));
}

struct FailureCase {
    const char* scenario;
    int exitStatus;
    const char* message;  // part of what is said
    bool keepsFile;
};

void PrintTo(const FailureCase& failureCase, std::ostream* out) {
    *out << failureCase.scenario;
}

class HalvoRecordFailures : public HalvoRecord,
                            public ::testing::WithParamInterface<FailureCase> {};

TEST_P(HalvoRecordFailures, ExplainEachHelperErrorWithItsOwnStatus) {
    const RecorderRun run = runRecorder({"--helper", helperFor(GetParam().scenario), "-o", take_});
    EXPECT_EQ(run.status.code, GetParam().exitStatus);
    EXPECT_TRUE(run.errors.starts_with("halvo-record: ")) << run.errors;
    EXPECT_NE(run.errors.find(GetParam().message), std::string::npos) << run.errors;
    EXPECT_EQ(std::filesystem::exists(take_), GetParam().keepsFile);
    if (GetParam().keepsFile) {
        EXPECT_EQ(expectFinishedTake(take_), 10u * 1920);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, HalvoRecordFailures,
    ::testing::Values(
        FailureCase{"denied.scn", record::kExitPermissionDenied, "(Connection refused)", false},
        FailureCase{"no_display.scn", record::kExitNoDisplay, "no display", false},
        FailureCase{"start_fails.scn", record::kExitCaptureFailed,
                    "Device busy\nsecond line of the reason", false},
        FailureCase{"setup_fails_empty.scn", record::kExitCaptureFailed, "(no description)", false},
        FailureCase{"sixteen_bit.scn", record::kExitCaptureFailed, "16-bit", false},
        FailureCase{"system_stop.scn", record::kExitStreamStopped, "Audio device\nwas unplugged",
                    true}));

TEST_F(HalvoRecord, ReportsAHelperThatEndsWithoutAWord) {
    const std::string helper =
        folder_.script("helper.sh", "/bin/sh '" + fakeHelper("exits_early.sh") + "'");
    const RecorderRun run = runRecorder({"--helper", helper, "-o", take_});
    EXPECT_EQ(run.status.code, record::kExitHelperDied);
    EXPECT_NE(run.errors.find("ended unexpectedly (exit status 0)"), std::string::npos)
        << run.errors;
}

TEST_F(HalvoRecord, ReportsAMissingHelperAndAnUnwritableFile) {
    RecorderRun run = runRecorder({"--helper", folder_.file("no-such-helper"), "-o", take_});
    EXPECT_EQ(run.status.code, record::kExitHelperUnavailable);
    EXPECT_NE(run.errors.find("no-such-helper"), std::string::npos) << run.errors;
    EXPECT_FALSE(std::filesystem::exists(take_));

    run = runRecorder(
        {"--helper", helperFor("thirty_seconds.scn"), "-o", folder_.file("none/take.wav")});
    EXPECT_EQ(run.status.code, record::kExitOutputFile);
    EXPECT_NE(run.errors.find("none/take.wav"), std::string::npos) << run.errors;
}

TEST_F(HalvoRecord, AnswersHelpVersionAndBadUsage) {
    RecorderRun run = runRecorder({"--help"});
    EXPECT_EQ(run.status.code, record::kExitOk);
    EXPECT_TRUE(run.output.starts_with("Usage: halvo-record")) << run.output;

    run = runRecorder({"--version"});
    EXPECT_EQ(run.output, "halvo-record 1.1.0\n");

    for (const std::vector<std::string>& bad : {std::vector<std::string>{"-d", "0"},
                                                {"-d", "soon"},
                                                {"-o"},
                                                {"--frobnicate"},
                                                {"stray"}}) {
        run = runRecorder(bad);
        EXPECT_EQ(run.status.code, record::kExitUsage) << bad[0];
        EXPECT_TRUE(run.output.empty());
        EXPECT_NE(run.errors.find("--help"), std::string::npos);
    }
}

TEST_F(HalvoRecord, AnalyzesATake) {
    ASSERT_EQ(runRecorder({"--helper", helperFor("thirty_seconds.scn"), "-o", take_, "-d", "0.25"})
                  .status.code,
              record::kExitOk);
    const RecorderRun run = runRecorder({"--analyze", take_});
    EXPECT_EQ(run.status.code, record::kExitOk);
    EXPECT_NE(run.output.find(": 0.250 s, 48000 Hz, 1 channel, 32-bit float"), std::string::npos)
        << run.output;
    EXPECT_EQ(runRecorder({"--analyze", folder_.file("missing.wav")}).status.code,
              record::kExitOutputFile);
}

}  // namespace
}  // namespace halvo::client_test
