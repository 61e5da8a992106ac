#include "services/pulse/silence_watch.h"

#include <utility>

namespace halvo::pulse {

SilenceWatch::SilenceWatch(Log log, Read read) : log_(std::move(log)), read_(std::move(read)) {}

void SilenceWatch::watch(std::shared_ptr<PulseContext> connection, const MonitorSource& monitor) {
    connection_ = std::move(connection);
    monitor_ = monitor;
    ask();
}

void SilenceWatch::stop() {
    query_.reset();
    monitor_.reset();
    stale_ = false;
}

void SilenceWatch::deviceChanged(ServerListener::Device device, std::uint32_t index) {
    if (monitor_ && ((device == ServerListener::Device::sink && index == monitor_->sinkIndex) ||
                     (device == ServerListener::Device::source && index == monitor_->index))) {
        ask();
    }
}

void SilenceWatch::ask() {
    if (query_) {
        stale_ = true;  // read again once this reading is in
        return;
    }
    if (!monitor_) {
        return;
    }
    query_ = connection_->querySilenceReasons(
        *monitor_, [this](const Expected<SilenceReasons>& reasons) { answered(reasons); });
}

void SilenceWatch::answered(const Expected<SilenceReasons>& reasons) {
    query_.reset();  // answered: nothing is out any more
    // A failed reading (the sink just went) changes nothing: what follows it is read anew.
    if (reasons) {
        for (const std::string& message : silenceReasonChanges(reasons_, *reasons)) {
            log_(message);
        }
        reasons_ = *reasons;
        read_();
    }
    if (std::exchange(stale_, false)) {
        ask();
    }
}

}  // namespace halvo::pulse
