#include "controller/system_audio_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "platform/process.h"
#include "tests/sim/simulated_capture_service.h"
#include "tests/support/waiting.h"
#include "tests/unit/captured_stderr.h"

namespace halvo {
namespace {

using namespace std::chrono_literals;
using testing::eventually;

// A controller over the simulated service, writing its audio to a temporary file. The lines a
// step writes are all out once the service counts its completion as answered; the controller's
// state changes before them, so running() alone does not mean its lines are written.
class ControllerTest : public ::testing::Test {
  protected:
    void TearDown() override {
        capture_.reset();
        service_.reset();
        if (file_)
            std::fclose(file_);
    }
    void build(const std::string& scenarioText) {
        service_ = std::make_unique<sim::SimulatedCaptureService>(sim::parseScenario(scenarioText));
        file_ = std::tmpfile();
        capture_ = SystemAudioCapture::create(*service_, platform::FileHandle(fileno(file_)));
    }
    bool running() { return capture_->handler()->isCapturing() && capture_->stream() != nullptr; }
    std::size_t fileSize() {
        std::fflush(file_);
        std::fseek(file_, 0, SEEK_END);
        return static_cast<std::size_t>(std::ftell(file_));
    }

    std::unique_ptr<sim::SimulatedCaptureService> service_;
    std::shared_ptr<SystemAudioCapture> capture_;
    std::FILE* file_ = nullptr;
    testing::CapturedStderr stderr_;
};

// On the way out nothing may start: a start still pending is answered as cancelled at once (no
// stream is made when the service answers), and so is one asked for afterwards.
TEST_F(ControllerTest, AfterShutDownNoStartBeginsOrLands) {
    build("delay content=100\n");
    capture_->start();
    capture_->shutDown();
    capture_->start();
    capture_->startAfterSignal("WAITING");
    ASSERT_TRUE(eventually([&] { return service_->record().contentAnswers == 1; }));

    EXPECT_FALSE(capture_->handler()->isCapturing());
    EXPECT_EQ(capture_->stream(), nullptr);
    EXPECT_EQ(service_->record().streamsMade, 0);
    auto all = stderr_.lines();
    std::erase_if(all, [](const std::string& line) {
        return line != "STOPPED" && line != "CAPTURE_STARTED" && !line.starts_with("ERROR:");
    });
    EXPECT_EQ(all, (std::vector<std::string>{"ERROR:The helper is exiting", "STOPPED",
                                             "ERROR:The helper is exiting"}));
}

TEST_F(ControllerTest, AfterASystemStopStartBuildsANewStreamWhoseFirstBuffersAreWritten) {
    build(
        "stream 1\n"
        "  buffers 2 bytes=100\n"
        "  system-stop \"device gone\"\n"
        "stream 2\n"
        "  buffers 3 bytes=10 early=yes\n");
    capture_->start();
    ASSERT_TRUE(eventually([&] { return service_->record().streamsMade == 1; }));
    ASSERT_TRUE(eventually([&] { return service_->record().systemStops == 1; }));
    ASSERT_EQ(capture_->handler()->sampleCount(), 2u);
    const auto stopped = capture_->stream();
    capture_->start();  // the gate is still open from the first stream
    ASSERT_TRUE(eventually([&] { return capture_->handler()->sampleCount() == 5; }));
    ASSERT_TRUE(eventually([&] { return service_->record().startAnswers == 2; }));
    EXPECT_NE(capture_->stream(), stopped);

    EXPECT_EQ(service_->record().streamsMade, 2);
    EXPECT_EQ(fileSize(), 230u);
    const auto all = stderr_.lines();
    EXPECT_EQ(std::ranges::count(all, "ERROR:STREAM_STOPPED:device gone"), 1);
    EXPECT_EQ(std::ranges::count(all, "STOPPED"), 0);
}

TEST_F(ControllerTest, ContentArrivingAfterTheControllerIsGoneDoesNothing) {
    build("delay content=100\n");
    capture_->start();
    capture_.reset();
    ASSERT_TRUE(eventually([&] { return service_->record().contentAnswers == 1; }));

    EXPECT_EQ(service_->record().streamsMade, 0);
    EXPECT_EQ(stderr_.lines(), (std::vector<std::string>{"Starting system audio capture..."}));
}

TEST_F(ControllerTest, FirstDisplayIsCapturedAndOnlyTheHelperIsExcluded) {
    build("content displays=2560x1440,1920x1080 apps=4242,self,77,self\n");
    capture_->start();
    ASSERT_TRUE(eventually([&] { return running(); }));

    const auto filter = service_->record().lastFilter;
    EXPECT_EQ(filter.display.width, 2560);
    EXPECT_EQ(filter.excludedApplications.size(), 2u);
    EXPECT_EQ(std::ranges::count(filter.excludedApplications, platform::processIdentifier(),
                                 &RunningApplication::processID),
              2);
}

// Start/stop storms from two threads while buffers flow: a ThreadSanitizer build turns any
// unsynchronised access into a failure; every build checks, once the service has answered all it
// was asked, that the bytes match the counters.
TEST_F(ControllerTest, StartStopStormKeepsBytesAndCountersInStep) {
    build(
        "stream\n"
        "  buffers forever bytes=256\n");
    auto storm = [&](int rounds) {
        for (int i = 0; i < rounds; ++i) {
            capture_->start();
            // Varied pauses let the stop land before, during and after the start's steps.
            std::this_thread::sleep_for(std::chrono::microseconds(200 + i % 7 * 100));
            capture_->stop();
        }
    };
    std::thread other(storm, 150);
    storm(150);
    other.join();
    capture_->start();
    ASSERT_TRUE(eventually([&] { return running(); }));
    ASSERT_TRUE(eventually([&] { return capture_->handler()->sampleCount() > 0; }));
    capture_->stop();
    ASSERT_TRUE(eventually([&] {
        const auto record = service_->record();
        return record.contentAnswers == record.contentQueries &&
               record.startAnswers == record.startRequests &&
               record.stopAnswers == record.stopRequests;
    }));
    EXPECT_EQ(capture_->stream(), nullptr);

    const auto handler = capture_->handler();
    EXPECT_EQ(fileSize(), handler->totalBytes());
    EXPECT_EQ(handler->totalBytes(), handler->sampleCount() * 256);
    // Every command got its answer, however the two threads' commands met.
    const auto all = stderr_.lines();
    EXPECT_EQ(std::ranges::count(all, "CAPTURE_STARTED"), 301);
    EXPECT_EQ(std::ranges::count(all, "STOPPED"), 301);
}

}  // namespace
}  // namespace halvo
