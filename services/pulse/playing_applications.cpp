#include "services/pulse/playing_applications.h"

#include <string_view>
#include <utility>

#include "platform/process.h"
#include "services/common/monitor_source.h"

namespace halvo::pulse {

namespace {

// Where the answers land; lives on the waiting thread's stack.
struct PlayingReplies {
    PulseMainLoop& loop;
    std::uint32_t sinkIndex = kNoIndex;
    bool sinkDone = false;
    std::vector<std::pair<std::uint32_t, PlayingApplication>> streams;  // by the sink they play on
    bool streamsDone = false;
};

void onSink(pa_context*, const pa_sink_info* info, int endOfList, void* userdata) {
    auto& replies = *static_cast<PlayingReplies*>(userdata);
    if (endOfList == 0) {
        replies.sinkIndex = info->index;
        return;
    }
    replies.sinkDone = true;  // a sink that is gone leaves kNoIndex: nothing plays on it
    replies.loop.signal();
}

void onStream(pa_context*, const pa_sink_input_info* info, int endOfList, void* userdata) {
    auto& replies = *static_cast<PlayingReplies*>(userdata);
    if (endOfList != 0) {
        replies.streamsDone = true;
        replies.loop.signal();
        return;
    }
    PlaybackStream stream = playbackStreamOf(*info);
    stream.binary.erase(0, stream.binary.rfind('/') + 1);  // npos + 1 == 0: a plain name stays
    replies.streams.emplace_back(
        info->sink,
        PlayingApplication{platform::parseProcessID(stream.processID).value_or(0),
                           std::move(stream.applicationName), std::move(stream.binary)});
}

}  // namespace

PlaybackStream playbackStreamOf(const pa_sink_input_info& info) {
    const auto property = [&info](const char* key) {
        const char* value = pa_proplist_gets(info.proplist, key);
        return std::string(value != nullptr ? value : "");
    };
    return PlaybackStream{info.index, info.sink, property(PA_PROP_APPLICATION_NAME),
                          property(PA_PROP_APPLICATION_PROCESS_BINARY),
                          property(PA_PROP_APPLICATION_PROCESS_ID)};
}

Expected<std::vector<PlayingApplication>> readPlayingApplications(PulseContext& connection) {
    Expected<std::string> sink = connection.readDefaultSink();
    if (!sink) {
        return sink.error();
    }
    std::vector<PlayingApplication> playing;
    if (sink->empty()) {
        return playing;
    }
    PlayingReplies replies{connection.loop(), kNoIndex, false, {}, false};
    // Declared after the replies, so they are cancelled before the replies go out of scope.
    OperationRef sinkInfo(
        connection.loop(),
        pa_context_get_sink_info_by_name(connection.raw(), sink->c_str(), onSink, &replies));
    OperationRef streams(connection.loop(),
                         pa_context_get_sink_input_info_list(connection.raw(), onStream, &replies));
    if (!sinkInfo.sent() || !streams.sent()) {
        return Error{connection.lastError()};
    }
    if (Expected<void> answered =
            connection.waitUntil([&replies] { return replies.sinkDone && replies.streamsDone; });
        !answered) {
        return answered.error();
    }
    for (auto& [sinkIndex, application] : replies.streams) {
        // A stream being moved names no sink; it plays on none of them.
        if (sinkIndex == replies.sinkIndex && sinkIndex != kNoIndex) {
            playing.push_back(std::move(application));
        }
    }
    return playing;
}

}  // namespace halvo::pulse
