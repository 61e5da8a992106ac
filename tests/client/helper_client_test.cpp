// The client library: its reading of a helper's standard error, and the client against the real
// helper on a private sound server and small fake helpers.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>

#include "halvo/client/helper_client.h"
#include "tests/e2e/sound_server.h"

namespace halvo::client_test {
namespace {

using namespace client;
using namespace std::chrono_literals;
using namespace std::string_view_literals;
using Records = std::vector<StderrRecord>;

// Everything the parser yields for `text`, fed in pieces of `pieceSize` bytes, then finished.
Records parseAll(std::string_view text, std::size_t pieceSize) {
    StderrParser parser;
    Records all;
    for (std::size_t at = 0; at < text.size(); at += pieceSize) {
        std::ranges::move(parser.feed(text.substr(at, pieceSize)), std::back_inserter(all));
    }
    std::ranges::move(parser.finish(), std::back_inserter(all));
    return all;
}

// What a helper says, then garbage: binary bytes, an empty line, a near-miss of a signal and a
// bracket without "] " as a last line without a line feed.
constexpr std::string_view kTranscript =
    "[2026-12-06T08:44:00Z] Halvo Audio Helper v1.2\n"
    "WAITING\n"
    "CAPTURE_STARTED\n"
    "[2026-12-06T08:44:01Z] Audio format: 48000.0Hz, 1ch, 32bit\n"
    "[2026-12-06T08:44:02Z] Stream error: device\ngone\n"
    "ERROR:STREAM_STOPPED:device\ngone\n"
    "ERROR:\n"
    "[2026-12-06T08:44:03Z] Permission denied: Connection refused\n"
    "ERROR:NO_DISPLAY\n"
    "ERROR:PERMISSION_DENIED\n"
    "STOPPED\n"
    "\x01\xff\x00zz\n\nWAITING \n[no closing bracket"sv;

TEST(StderrParser, ReadsATranscriptTheSameWhateverTheChunking) {
    const Records expected{
        Diagnostic{"2026-12-06T08:44:00Z", "Halvo Audio Helper v1.2"},
        Signal{SignalKind::waiting, ""},
        Signal{SignalKind::captureStarted, ""},
        AudioFormat{48000, 1, 32},
        Diagnostic{"2026-12-06T08:44:01Z", "Audio format: 48000.0Hz, 1ch, 32bit"},
        Diagnostic{"2026-12-06T08:44:02Z", "Stream error: device\ngone"},
        Signal{SignalKind::streamStopped, "device\ngone"},
        Signal{SignalKind::captureFailed, ""},
        Diagnostic{"2026-12-06T08:44:03Z", "Permission denied: Connection refused"},
        Signal{SignalKind::noDisplay, ""},
        // The reason the diagnostic gave, though another line came between.
        Signal{SignalKind::permissionDenied, "Connection refused"},
        Signal{SignalKind::stopped, ""},
        Diagnostic{"", std::string("\x01\xff\x00zz", 5)},
        Diagnostic{"", ""},
        Diagnostic{"", "WAITING "},
        Diagnostic{"", "[no closing bracket"},
    };
    for (std::size_t pieceSize : {std::size_t{1}, std::size_t{7}, kTranscript.size()}) {
        EXPECT_EQ(parseAll(kTranscript, pieceSize), expected) << "pieces of " << pieceSize;
    }
}

TEST(StderrParser, CutsEndlessLinesSoMemoryStaysBounded) {
    StderrParser parser;
    const Records records = parser.feed(std::string(StderrParser::kLongestLine * 3 + 5, 'x'));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(std::get<Diagnostic>(records[0]).message.size(), StderrParser::kLongestLine);

    // Continuation lines stop growing a held description at the same bound.
    parser.feed("\nERROR:x\n");
    for (int i = 0; i < 100; ++i) {
        parser.feed(std::string(4096, 'y') + "\n");
    }
    const Records held = parser.release();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_LE(std::get<Signal>(held[0]).detail.size(), StderrParser::kLongestLine);
}

TEST(FormatLine, RefusesWhatNoStreamCanHave) {
    for (const char* format :
         {"infHz, 1ch, 32bit", "nanHz, 1ch, 32bit", "0.0Hz, 1ch, 32bit", "48000.0Hz, 0ch, 32bit",
          "48000.0Hz, 1ch, 0bit", "48000.0Hz, 1ch, 12bit"}) {
        EXPECT_FALSE(parseFormatMessage(std::string("Audio format: ") + format)) << format;
    }
}

// Keeps what a helper says. Tests read it in waitUntil(), or once onExit() has come.
struct Listener : HelperListener {
    // Guarded by `mutex`.
    std::vector<Signal> signals;
    std::vector<Diagnostic> diagnostics;
    std::string audio;
    std::optional<AudioFormat> format;
    std::optional<ExitStatus> exit;
    std::string calls;  // a letter for each call: signal, format, audio, diagnostic, x for exit
    std::mutex mutex;
    std::condition_variable changed;
    // Reader thread, for each signal before it is kept; may send commands.
    std::function<void(const Signal&)> onEachSignal;

    void onSignal(const Signal& signal) override {
        if (onEachSignal) {
            onEachSignal(signal);
        }
        keep('s', [&] { signals.push_back(signal); });
    }
    void onFormat(const AudioFormat& announced) override {
        keep('f', [&] { format = announced; });
    }
    void onAudio(std::span<const std::byte> bytes) override {
        keep('a', [&] { audio.append(reinterpret_cast<const char*>(bytes.data()), bytes.size()); });
    }
    void onDiagnostic(const Diagnostic& diagnostic) override {
        // A sanitizer report of the helper arrives here; its exit status cannot show it.
        EXPECT_EQ(diagnostic.message.find("Sanitizer"), std::string::npos) << diagnostic.message;
        keep('d', [&] { diagnostics.push_back(diagnostic); });
    }
    void onExit(const ExitStatus& status) override {
        keep('x', [&] { exit = status; });
    }

    void keep(char call, const std::function<void()>& change) {
        std::lock_guard lock(mutex);
        calls += call;
        change();
        changed.notify_all();
    }
    // Waits until `done` holds; false on timeout.
    bool waitUntil(const std::function<bool()>& done) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10s, done);
    }
    int count(SignalKind kind) const { return std::ranges::count(signals, kind, &Signal::kind); }
    // onExit() came once, as the last call.
    bool exitedLast() const { return calls.find('x') == calls.size() - 1; }
};

// `command`, or the real helper on the test's sound server when it is empty.
std::unique_ptr<HelperClient> launch(std::vector<std::string> command, Listener& listener,
                                     std::chrono::milliseconds exitTimeout = 3s) {
    std::vector<std::string> environment;
    if (command.empty()) {
        const auto server = testing::SoundServer::fromEnvironment();
        EXPECT_TRUE(server) << "run through ctest: HALVO_SOUND_DIR names the sound server";
        command = {HALVO_HELPER_PATH};
        environment = {server ? server->environmentEntry() : "PULSE_SERVER=unix:/nonexistent"};
    }
    std::string error;
    auto client = HelperClient::launch({.command = std::move(command),
                                        .extraEnvironment = std::move(environment),
                                        .exitTimeout = exitTimeout},
                                       listener, &error);
    EXPECT_TRUE(client) << error;
    return client;
}

// True once `pid` is neither running nor a zombie waiting for this process.
bool isGone(pid_t pid) {
    return ::waitpid(pid, nullptr, WNOHANG) < 0 && errno == ECHILD && ::kill(pid, 0) != 0;
}

// Signals, the format and every audio byte in order; STOP and START, also from the listener's
// thread; and at the end QUIT, which the helper obeys.
TEST(HelperClient, DeliversWhatTheHelperSaysObeysCommandsAndEndsCleanly) {
    Listener listener;
    std::atomic<HelperClient*> running{nullptr};
    std::atomic<std::size_t> stoppedAt{0};
    // The listener's thread answers the first STOPPED with START.
    listener.onEachSignal = [&](const Signal& signal) {
        if (signal.kind == SignalKind::stopped && listener.count(SignalKind::stopped) == 0) {
            stoppedAt = listener.audio.size();
            EXPECT_TRUE(running.load()->start());
        }
    };
    auto client = launch({}, listener);
    ASSERT_TRUE(client);
    running = client.get();
    ASSERT_TRUE(listener.waitUntil([&] { return listener.audio.size() >= 1920 * 3; }));
    ASSERT_TRUE(client->stop());
    ASSERT_TRUE(listener.waitUntil([&] {
        return listener.count(SignalKind::captureStarted) == 2 &&
               listener.audio.size() >= stoppedAt + 1920 * 3;
    }));

    const ExitStatus status = client->shutdown();
    EXPECT_TRUE(status.exited);
    EXPECT_EQ(status.code, 0);  // QUIT, not a kill
    EXPECT_GE(stoppedAt, 1920u * 3);
    EXPECT_LT(listener.calls.find('f'), listener.calls.find('a'));
    EXPECT_EQ(listener.format, (AudioFormat{48000, 1, 32}));
    EXPECT_EQ(client->format(), listener.format);
    // The helper stops the capture as it quits.
    EXPECT_EQ(listener.signals, (std::vector<Signal>{{SignalKind::waiting, ""},
                                                     {SignalKind::captureStarted, ""},
                                                     {SignalKind::stopped, ""},
                                                     {SignalKind::captureStarted, ""},
                                                     {SignalKind::stopped, ""}}));
    EXPECT_TRUE(listener.exitedLast()) << listener.calls;
    EXPECT_TRUE(isGone(client->pid()));
    EXPECT_EQ(std::ranges::count(listener.diagnostics, "", &Diagnostic::timestamp), 0)
        << "stray text";
}

// shutdown() from the listener's own thread ends the helper in order and returns how it ended;
// onExit() follows, the last call, and the destructor joins the reader.
TEST(HelperClient, ShutsDownFromItsListener) {
    Listener listener;
    std::atomic<HelperClient*> running{nullptr};
    std::optional<ExitStatus> fromListener;  // set on the reader thread before onExit()
    listener.onEachSignal = [&](const Signal& signal) {
        if (signal.kind == SignalKind::stopped) {
            fromListener = running.load()->shutdown();
        }
    };
    auto client = launch({}, listener);
    ASSERT_TRUE(client);
    running = client.get();
    ASSERT_TRUE(listener.waitUntil([&] { return listener.count(SignalKind::captureStarted); }));
    ASSERT_TRUE(client->stop());
    ASSERT_TRUE(listener.waitUntil([&] { return listener.exit.has_value(); }));
    ASSERT_TRUE(fromListener);
    EXPECT_TRUE(fromListener->exited);
    EXPECT_EQ(fromListener->code, 0);  // QUIT, not a kill
    EXPECT_EQ(listener.exit->code, 0);
    EXPECT_EQ(client->shutdown().code, 0);
    EXPECT_TRUE(listener.exitedLast());
    const pid_t pid = client->pid();
    client.reset();
    EXPECT_TRUE(isGone(pid));
}

TEST(HelperClient, ReadsGarbageAndReportsAHelperThatDiesByItself) {
    Listener listener;
    auto client = launch({CLIENT_TEST_FAKE_HELPERS "/garbage.sh"}, listener);
    ASSERT_TRUE(client);
    ASSERT_TRUE(listener.waitUntil([&] { return listener.exit.has_value(); }));
    EXPECT_EQ(listener.exit->code, 3);
    // Commands to a dead helper fail instead of raising SIGPIPE; shutdown reports the same end.
    EXPECT_FALSE(client->stop());
    EXPECT_EQ(client->shutdown().code, 3);
    EXPECT_TRUE(listener.exitedLast());
    EXPECT_EQ(listener.audio, "abcdefgh");
    std::erase(listener.calls, 'a');  // stdout is read apart from stderr
    EXPECT_EQ(listener.calls, "sdfddssdx") << "the garbage and the last line are diagnostics";
}

// deaf.sh ignores QUIT, so only SIGKILL ends it; leaves_child.sh quits but leaves a child that
// holds its pipes open. Either way shutdown() returns, reaps the helper and reports it once.
TEST(HelperClient, ShutdownEndsAHelperThatIgnoresQuitOrLeavesAChildHoldingItsPipes) {
    struct Case {
        const char* script;
        std::chrono::milliseconds exitTimeout;
        ExitStatus expected;
    };
    for (const Case& helper : {Case{"/deaf.sh", 300ms, {false, 0, SIGKILL}},
                               Case{"/leaves_child.sh", 3s, {true, 0, 0}}}) {
        SCOPED_TRACE(helper.script);
        Listener listener;
        auto client = launch({CLIENT_TEST_FAKE_HELPERS + std::string(helper.script)}, listener,
                             helper.exitTimeout);
        ASSERT_TRUE(client);
        ASSERT_TRUE(listener.waitUntil([&] { return listener.count(SignalKind::waiting); }));
        const ExitStatus status = client->shutdown();
        EXPECT_EQ(status.exited, helper.expected.exited);
        EXPECT_EQ(status.code, helper.expected.code);
        EXPECT_EQ(status.signal, helper.expected.signal);
        EXPECT_TRUE(isGone(client->pid()));
        EXPECT_TRUE(listener.exitedLast());
        ::kill(-client->pid(), SIGKILL);  // what is left in the helper's own process group
    }
}

}  // namespace
}  // namespace halvo::client_test
