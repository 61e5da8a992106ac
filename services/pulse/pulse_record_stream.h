#pragma once

#include <pulse/stream.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "services/pulse/pulse_context.h"

namespace halvo::pulse {

// One pa_stream recording the monitor source of a sink. Every method needs the loop's lock.
class PulseRecordStream {
  public:
    class Listener {
      public:
        virtual ~Listener() = default;
        // Lock held, on the loop's thread, or inside open() for the state the stream starts in:
        // the stream's state changed (see state()). May destroy `stream`; must not block.
        virtual void recordStreamStateChanged(PulseRecordStream& stream) = 0;
        // Loop thread, lock held: `readableBytes` (whole frames) wait to be read, some of them
        // just arrived. The listener reads them with readAvailable(), now or at a later call.
        // Must not destroy `stream` and must not block.
        virtual void recordStreamReadable(PulseRecordStream& stream, std::size_t readableBytes) = 0;
        // Loop thread, lock held, inside readAvailable(): `length` recorded bytes, or a hole of
        // `length` bytes the server had nothing for when `data` is null. The bytes are borrowed
        // for the call. Must not destroy `stream` and must not block.
        virtual void recordStreamRead(PulseRecordStream& stream, const void* data,
                                      std::size_t length) = 0;
        // Loop thread, lock held: the server suspended the recorded source, or resumed it (see
        // suspended()). Must not destroy `stream` and must not block.
        virtual void recordStreamSuspended(PulseRecordStream& stream) = 0;
        // Loop thread, lock held: the server moved the stream to another source, so it no longer
        // records the one it was opened on (see recordsItsSource()). May destroy `stream`; must
        // not block.
        virtual void recordStreamMoved(PulseRecordStream& stream) = 0;
    };

    // Starts recording `source` (named explicitly, never the default source, which is usually a
    // microphone; not to be moved elsewhere by the server) in 32-bit float at `sampleRate`, in
    // the source's own channels (the server mixes none down), with fragments of
    // `fragmentFrames`. With `playbackStream` (a sink input of the monitored sink) it records
    // that stream alone, at the stream's own volume. The library's description when it cannot
    // even begin; the outcome of the connection arrives as a state change.
    static Expected<std::unique_ptr<PulseRecordStream>> open(
        std::shared_ptr<PulseContext> context, const MonitorSource& source,
        std::uint32_t sampleRate, std::uint32_t fragmentFrames, Listener& listener,
        std::uint32_t playbackStream = kNoIndex);
    // Detaches the listener and ends the recording; no callback reaches the listener afterwards.
    ~PulseRecordStream();
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    pa_stream_state_t state() const;
    const std::string& sourceName() const { return source_.name; }
    const MonitorSource& source() const { return source_; }
    const std::shared_ptr<PulseContext>& connection() const { return context_; }
    // Ready, recording the very source it was opened on (by the server's index), never moved.
    bool recordsItsSource() const;
    // The library's description of why the stream failed.
    std::string lastError() const { return context_->lastError(); }

    // Ready: the channels each frame holds, as the server fixed them.
    std::uint32_t channels() const;
    // Ready: the server has suspended the recorded source.
    bool suspended() const;
    // When the stream became ready: none of its audio began before.
    std::chrono::steady_clock::time_point readyAt() const { return readyAt_; }

    // The bytes that wait to be read (whole frames).
    std::size_t readableBytes() const;
    // Hands everything received so far to the listener.
    void readAvailable();

  private:
    PulseRecordStream(std::shared_ptr<PulseContext> context, MonitorSource source,
                      Listener& listener)
        : context_(std::move(context)), source_(std::move(source)), listener_(listener) {}
    static void onStateChanged(pa_stream* stream, void* userdata);
    static void onReadable(pa_stream* stream, std::size_t length, void* userdata);
    static void onMoved(pa_stream* stream, void* userdata);
    static void onSuspended(pa_stream* stream, void* userdata);

    const std::shared_ptr<PulseContext> context_;
    const MonitorSource source_;
    Listener& listener_;
    pa_stream* stream_ = nullptr;
    bool moved_ = false;
    std::chrono::steady_clock::time_point readyAt_;
};

}  // namespace halvo::pulse
