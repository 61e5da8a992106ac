#pragma once

#include <pulse/stream.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "capture/pulse/pulse_context.h"

namespace halvo::pulse {

// One pa_stream recording the monitor of a sink. Every method needs the loop's lock.
class PulseRecordStream {
  public:
    class Listener {
      public:
        virtual ~Listener() = default;
        // Loop thread, lock held: the stream's state changed (see state()). May destroy
        // `stream`; must not block.
        virtual void recordStreamStateChanged(PulseRecordStream& stream) = 0;
        // Loop thread, lock held: `length` recorded bytes, or a hole of `length` bytes the server
        // had nothing for when `data` is null. The bytes are borrowed for the call. Must not
        // destroy `stream` and must not block.
        virtual void recordStreamRead(PulseRecordStream& stream, const void* data,
                                      std::size_t length) = 0;
    };

    // Starts recording `sinkName`'s monitor (named explicitly, never the default source, which
    // is usually a microphone; never moved elsewhere by the server) in `sampleFormat`, with
    // fragments of `fragmentBytes`. Null with the library's description when it cannot even begin;
    // the outcome of the connection arrives as a state change.
    static std::unique_ptr<PulseRecordStream> open(std::shared_ptr<PulseContext> context,
                                                   const std::string& sinkName,
                                                   const pa_sample_spec& sampleFormat,
                                                   std::uint32_t fragmentBytes, Listener& listener,
                                                   std::string* error);
    // Detaches the listener and ends the recording; no callback reaches the listener afterwards.
    ~PulseRecordStream();
    PulseRecordStream(const PulseRecordStream&) = delete;
    PulseRecordStream& operator=(const PulseRecordStream&) = delete;

    pa_stream_state_t state() const { return pa_stream_get_state(stream_); }
    const std::string& sinkName() const { return sinkName_; }
    // The library's description of why the stream failed.
    std::string lastError() const { return context_->lastError(); }

    // Hands everything received so far to the listener.
    void readAvailable();

  private:
    PulseRecordStream(std::shared_ptr<PulseContext> context, std::string sinkName,
                      Listener& listener)
        : context_(std::move(context)), sinkName_(std::move(sinkName)), listener_(listener) {}
    static void onStateChanged(pa_stream* stream, void* userdata);
    static void onReadable(pa_stream* stream, std::size_t length, void* userdata);

    const std::shared_ptr<PulseContext> context_;
    const std::string sinkName_;
    Listener& listener_;
    pa_stream* stream_ = nullptr;
};

}  // namespace halvo::pulse
