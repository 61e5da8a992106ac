// The pulse service's record stream against a private server: one its owner lets go of while the
// server is still creating it is released exactly once, and ends on the server.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "services/pulse/pulse_context.h"
#include "services/pulse/pulse_record_stream.h"
#include "tests/e2e/sound_server.h"

// The test counts every reference to each stream the service makes, libpulse's own included
// (libpulse calls these through its exported names too): one taken away more often than it was
// given is counted, not passed on. The last reference is let go only at the end of the test, so
// that no stream is freed while something may still reach it.
namespace {

struct References {
    std::mutex mutex;
    std::map<pa_stream*, int> counts;  // guarded by `mutex`
    int overReleased = 0;              // guarded by `mutex`
};
References& references() {
    static References held;
    return held;
}
template <typename Function>
Function* library(const char* name) {
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" pa_stream* pa_stream_new(pa_context* context, const char* name,
                                    const pa_sample_spec* format, const pa_channel_map* map) {
    pa_stream* stream =
        library<decltype(pa_stream_new)>("pa_stream_new")(context, name, format, map);
    if (stream != nullptr) {
        std::lock_guard lock(references().mutex);
        references().counts.try_emplace(stream, 1);  // unless it was referenced while being made
    }
    return stream;
}

extern "C" pa_stream* pa_stream_ref(pa_stream* stream) {
    {
        std::lock_guard lock(references().mutex);
        ++references().counts.try_emplace(stream, 1).first->second;  // 1: the one it was made with
    }
    return library<decltype(pa_stream_ref)>("pa_stream_ref")(stream);
}

extern "C" void pa_stream_unref(pa_stream* stream) {
    std::lock_guard lock(references().mutex);
    auto found = references().counts.find(stream);
    if (found == references().counts.end()) {
        library<decltype(pa_stream_unref)>("pa_stream_unref")(stream);
    } else if (found->second == 0) {
        ++references().overReleased;
    } else if (--found->second > 0) {
        library<decltype(pa_stream_unref)>("pa_stream_unref")(stream);
    }
}

namespace halvo::testing {
namespace {

using namespace pulse;

struct Unheard final : PulseRecordStream::Listener {
    void recordStreamStateChanged(PulseRecordStream&) override {}
    void recordStreamReadable(PulseRecordStream&, std::size_t) override {}
    void recordStreamRead(PulseRecordStream&, const void*, std::size_t) override {}
    void recordStreamSuspended(PulseRecordStream&) override {}
    void recordStreamMoved(PulseRecordStream&) override {}
};

using RecordStreams = ServerTest;

// Opened and released under one hold of the lock, a hundred times: each disconnect's own
// TERMINATED once took the stream's last reference a second time (libpulse aborts, or the heap
// is corrupted, which AddressSanitizer reports), and none may stay recording.
TEST_F(RecordStreams, OneReleasedWhileBeingCreatedIsReleasedOnce) {
    const std::string entry = server_->environmentEntry();
    ASSERT_EQ(::setenv("PULSE_SERVER", entry.substr(entry.find('=') + 1).c_str(), 1), 0);
    const auto count = [&] {
        const std::string list = server_->pactl("list short source-outputs").value_or("");
        return std::count(list.begin(), list.end(), '\n');
    };
    const auto before = count();
    const auto loop = std::make_shared<PulseMainLoop>();
    MainLoopLock lock(*loop);
    Expected<std::shared_ptr<PulseContext>> connection = PulseContext::connect(loop, false);
    ASSERT_TRUE(connection) << connection.error().localizedDescription;
    Expected<MonitorSource> monitor = (*connection)->readMonitorSource("halvo_null_a");
    ASSERT_TRUE(monitor) << monitor.error().localizedDescription;
    Unheard listener;
    const auto open = [&] {
        return PulseRecordStream::open(*connection, *monitor, 48000, 1024, listener);
    };
    for (int round = 0; round < 100; ++round) {
        Expected<std::unique_ptr<PulseRecordStream>> stream = open();
        ASSERT_TRUE(stream) << stream.error().localizedDescription;
        ASSERT_EQ((*stream)->state(), PA_STREAM_CREATING);
    }
    // One kept until the server has made it: the others are made by then (PipeWire's pulse
    // server answers other requests meanwhile), and then closed, once they have gone from the
    // server, their disconnects answered after one more round trip.
    Expected<std::unique_ptr<PulseRecordStream>> kept = open();
    ASSERT_TRUE(kept);
    const auto made = [&] { return (*kept)->state() != PA_STREAM_CREATING; };
    for (int wait = 0; wait < 6 && !made(); ++wait) {  // a busy PipeWire takes its time
        static_cast<void>((*connection)->waitUntil(made));
    }
    ASSERT_TRUE(made());
    for (int trip = 0; trip < 300 && count() != before + 1; ++trip) {
        bool passed = false;  // 50 ms, the lock let go meanwhile
        const auto timer = (*connection)->startTimer(std::chrono::milliseconds(50), [&] {
            passed = true;
            loop->signal();
        });
        ASSERT_TRUE(timer && (*connection)->waitUntil([&] { return passed; }));
    }
    EXPECT_EQ(count(), before + 1) << "streams left recording";
    ASSERT_TRUE((*connection)->readDefaultSink());
    kept->reset();
    connection->reset();
    std::lock_guard held(references().mutex);
    EXPECT_EQ(references().overReleased, 0) << "streams released once too often";
    for (auto& [stream, left] : references().counts) {
        if (left == 0) {
            library<decltype(pa_stream_unref)>("pa_stream_unref")(stream);
        }
    }
    references().counts.clear();
}

}  // namespace
}  // namespace halvo::testing
