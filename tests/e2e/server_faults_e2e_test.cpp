// The shipped helper against sound servers that misbehave: one that never answers, one whose
// streams never come up, one that names things to forge lines, one with a source posing as a
// monitor.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>

#include "tests/e2e/sound_server.h"
#include "tests/support/helper_process.h"
#include "tests/support/tone.h"

namespace halvo::testing {
namespace {

using namespace std::chrono_literals;

// Every request has a 5 s deadline; this leaves room for a slow machine, not for a hang.
constexpr auto kPastTheDeadline = 8s;

// A unix socket that takes connections into its backlog and never says a word.
struct SilentServer {
    std::string path = "/tmp/halvo-silent-" + std::to_string(::getpid());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    bool listening() {
        sockaddr_un address{AF_UNIX, {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        ::unlink(path.c_str());  // left by a crashed run of a process with the same id
        return ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
               ::listen(fd, 16) == 0;
    }
    ~SilentServer() {
        ::close(fd);
        ::unlink(path.c_str());
    }
};

TEST(SilentServer, TheStartUpProbeGivesUpAndTheHelperExitsWithPermissionDenied) {
    ::unsetenv("PULSE_SERVER");
    SilentServer server;
    ASSERT_TRUE(server.listening());
    auto helper = HelperProcess::launch({HALVO_HELPER_PATH}, {"PULSE_SERVER=unix:" + server.path});
    EXPECT_EQ(helper->exitCode(kPastTheDeadline), 1) << helper->transcript();
    EXPECT_EQ(helper->count("ERROR:PERMISSION_DENIED"), 1);
    EXPECT_EQ(helper->count("Permission denied: Timeout"), 1);
    EXPECT_EQ(helper->count("WAITING"), 0);
}

// PipeWire's pulse server with no session manager: queries are answered, streams never created.
using PipeWireBare = ServerTest;

TEST_F(PipeWireBare, AStartWhoseStreamIsNeverCreatedFailsAndTheNextStartTriesAfresh) {
    auto helper = spawn();
    ASSERT_TRUE(helper && helper->waitForNext("WAITING"));
    ASSERT_TRUE(helper->waitForNext("ERROR:Timeout", kPastTheDeadline)) << helper->transcript();
    EXPECT_TRUE(helper->waitFor("startCapture failed: Timeout"));

    ASSERT_TRUE(helper->send("START\n"));
    ASSERT_TRUE(helper->waitForNext("ERROR:Timeout", kPastTheDeadline)) << helper->transcript();
    EXPECT_EQ(helper->count("Starting system audio capture..."), 2);
    EXPECT_EQ(helper->count("CAPTURE_STARTED"), 0);
    EXPECT_EQ(helper->quit(kPastTheDeadline), 0);
}

// PipeWire's pulse server takes any sink name (PulseAudio's turns a line feed into '_').
using PipeWireSession = ServerTest;

TEST_F(PipeWireSession, ASinkNamedWithALineFeedForgesNoLineWhenItBecomesTheDefault) {
    auto helper = launch();
    ASSERT_TRUE(helper);
    ASSERT_TRUE(loadModule("module-null-sink 'sink_name=halvo\nERROR:STREAM_STOPPED:x'"));
    // pactl set-default-sink cannot name it; the session manager's metadata can.
    ASSERT_TRUE(
        server_->shell("pw-metadata -n default 0 default.configured.audio.sink "
                       "'{ \"name\": \"halvo\\nERROR:STREAM_STOPPED:x\" }' "
                       "Spa:String:JSON >/dev/null"));
    ASSERT_TRUE(helper->waitForNext(
        "Default output changed: following halvo\\nERROR:STREAM_STOPPED:x.monitor"))
        << helper->transcript();
    for (const std::string& line : helper->lines()) {
        EXPECT_TRUE(isDiagnosticLine(line) || line == "WAITING" || line == "CAPTURE_STARTED")
            << "not a line of the helper's: " << line;
    }
    EXPECT_EQ(helper->quit(kPastTheDeadline), 0);
}

using ImpostorMonitor = ServerTest;

// PulseAudio names a sink's monitor "<sink>.monitor" unless a source took that name first: then
// the monitor is "<sink>.monitor.2", and "<sink>.monitor" records something else (here a null
// source's silence). Following the default onto that sink, and starting on it.
TEST_F(ImpostorMonitor, TheDefaultOutputsRealMonitorIsRecorded) {
    ASSERT_TRUE(loadModule("module-null-source source_name=halvo_null_c.monitor rate=48000"));
    ASSERT_TRUE(loadModule("module-null-sink sink_name=halvo_null_c rate=48000"));
    ASSERT_TRUE(server_->pactl("list short sources").value_or("").find("halvo_null_c.monitor.2") !=
                std::string::npos);
    const auto tone = server_->play(440, "halvo_null_c");
    ASSERT_TRUE(tone);
    auto following = launch();
    ASSERT_TRUE(following);
    ASSERT_TRUE(server_->pactl("set-default-sink halvo_null_c"));
    ASSERT_TRUE(following->waitForNext("Default output changed: following halvo_null_c.monitor.2"))
        << following->transcript();
    auto starting = launch();
    ASSERT_TRUE(starting);
    for (HelperProcess* helper : {following.get(), starting.get()}) {
        // A sample louder than any silence: the tone played into the recorded output.
        EXPECT_TRUE(waitForTone(*helper, 0, 0, 0.1f))
            << "recorded the source posing as the monitor";
        EXPECT_EQ(helper->quit(kPastTheDeadline), 0);
    }
}

// The new default's monitor never delivers (its sink is suspended) and the old output goes:
// following gives up at its deadline, and the capture is stopped by the system, once.
using SuspendedDefault = ServerTest;

TEST_F(SuspendedDefault, AFollowThatNeverDeliversGivesUpAtItsDeadline) {
    auto helper = launch();
    ASSERT_TRUE(helper);
    atTheEnd([this] {
        server_->pactl("suspend-sink halvo_null_b 0");
        server_->pactl("load-module module-null-sink sink_name=halvo_null_a rate=48000");
    });
    ASSERT_TRUE(server_->pactl("suspend-sink halvo_null_b 1"));
    ASSERT_TRUE(server_->pactl("set-default-sink halvo_null_b"));
    ASSERT_TRUE(
        server_->shell("pactl list short modules | grep 'sink_name=halvo_null_a' | cut -f1 "
                       "| xargs -r pactl unload-module"));
    ASSERT_TRUE(helper->waitForNext("ERROR:STREAM_STOPPED:Entity killed", kPastTheDeadline))
        << helper->transcript();
    EXPECT_EQ(helper->countStartingWith("Default output changed"), 0);
    EXPECT_EQ(helper->countStartingWith("ERROR:"), 1);
    ASSERT_TRUE(helper->send("STOP\n"));
    ASSERT_TRUE(helper->waitForNext("STOPPED"));
    EXPECT_EQ(helper->quit(kPastTheDeadline), 0);
}

}  // namespace
}  // namespace halvo::testing
