#include "capture/system_audio_capture.h"

#include <utility>

#include "logging/lines.h"
#include "output/audio_format_text.h"
#include "platform/process.h"

namespace halvo {

std::shared_ptr<SystemAudioCapture> SystemAudioCapture::create(CaptureService& service,
                                                               platform::FileHandle output) {
    std::shared_ptr<SystemAudioCapture> capture(new SystemAudioCapture(service, output));
    std::weak_ptr<SystemAudioCapture> weakCapture = capture;
    capture->handler_->setStreamStoppedObserver([weakCapture](CaptureStream& stopped) {
        if (auto strong = weakCapture.lock()) {
            strong->streamStoppedBySystem(stopped);
        }
    });
    // Capture for nobody helps no one: a stdout that refuses audio stops capture.
    capture->handler_->setOutputFailedObserver([weakCapture] {
        if (auto strong = weakCapture.lock()) {
            strong->stop();
        }
    });
    return capture;
}

SystemAudioCapture::SystemAudioCapture(CaptureService& service, platform::FileHandle output)
    : service_(service), handler_(std::make_shared<AudioOutputHandler>(output)) {}

std::shared_ptr<CaptureStream> SystemAudioCapture::stream() const {
    std::lock_guard lock(mutex_);
    return stream_;
}

void SystemAudioCapture::start() {
    {
        std::lock_guard lock(mutex_);
        if (shutDown_) {
            logErr("Exiting; START ignored");
            return;
        }
        if (startPending_) {
            logErr("Capture is already starting; START ignored");
            return;
        }
        if (streamRunning_) {
            logErr("Capture is already running; START ignored");
            return;
        }
        startPending_ = true;
        if (stopsInFlight_ > 0) {
            // Its STOPPED comes first; the start begins from stopFinished.
            startAfterStop_ = true;
            return;
        }
    }
    requestContent();
}

void SystemAudioCapture::requestContent() {
    logErr("Starting system audio capture...");
    std::weak_ptr<SystemAudioCapture> weakSelf = weak_from_this();
    service_.getShareableContent(
        false, false,
        [weakSelf](std::optional<ShareableContent> content, std::optional<Error> error) {
            if (auto self = weakSelf.lock()) {
                self->contentArrived(std::move(content), std::move(error));
            }
        });
}

void SystemAudioCapture::endPendingStart() {
    std::lock_guard lock(mutex_);
    startPending_ = false;
}

void SystemAudioCapture::contentArrived(std::optional<ShareableContent> content,
                                        std::optional<Error> error) {
    if (error) {
        endPendingStart();
        logErr("Content error: " + error->localizedDescription);
        sendSignal("ERROR:PERMISSION_DENIED");
        return;
    }
    if (!content || content->displays.empty()) {
        endPendingStart();
        logErr("No display found");
        sendSignal("ERROR:NO_DISPLAY");
        return;
    }
    const Display& display = content->displays.front();
    logErr("Display: " + std::to_string(display.width) + "x" + std::to_string(display.height));

    const std::int32_t ownProcessID = platform::processIdentifier();
    ContentFilter filter{display, {}, {}};
    for (const RunningApplication& application : content->applications) {
        if (application.processID == ownProcessID) {
            filter.excludedApplications.push_back(application);
        }
    }

    StreamConfiguration configuration;
    configuration.width = 2;
    configuration.height = 2;
    configuration.minimumFrameInterval = Time{1, 1};
    configuration.showsCursor = false;
    configuration.capturesAudio = true;
    configuration.sampleRate = kSampleRate;
    configuration.channelCount = kChannelCount;
    configuration.excludesCurrentProcessAudio = true;

    std::shared_ptr<CaptureStream> newStream = service_.makeStream(filter, configuration, handler_);
    auto sampleQueue = std::make_shared<platform::SerialQueue>(
        "halvo.audio", platform::QualityOfService::userInteractive);

    if (auto failure =
            newStream->addStreamOutput(handler_, StreamOutputType::audio, std::move(sampleQueue))) {
        endPendingStart();
        logErr("Stream setup error: " + failure->localizedDescription);
        sendSignal("ERROR:" + failure->localizedDescription);
        return;
    }
    newStream->startCapture(
        [self = shared_from_this(), newStream](std::optional<Error> startError) {
            self->startFinished(newStream, std::move(startError));
        });
}

void SystemAudioCapture::startFinished(const std::shared_ptr<CaptureStream>& newStream,
                                       std::optional<Error> error) {
    if (error) {
        endPendingStart();
        logErr("startCapture failed: " + error->localizedDescription);
        sendSignal("ERROR:" + error->localizedDescription);
        return;
    }
    std::shared_ptr<CaptureStream> replaced;  // released outside the lock
    {
        std::lock_guard lock(mutex_);
        if (shutDown_) {
            // On the way out: releasing the new stream ends its delivery.
            startPending_ = false;
            return;
        }
        handler_->setCapturing(true);
        replaced = std::exchange(stream_, newStream);
        startPending_ = false;
        streamRunning_ = true;
    }
    logErr("System audio capture STARTED");
    sendSignal("CAPTURE_STARTED");
}

void SystemAudioCapture::stop() {
    handler_->setCapturing(false);
    std::shared_ptr<CaptureStream> current;
    {
        std::lock_guard lock(mutex_);
        current = stream_;
        streamRunning_ = false;
        if (current) {
            ++stopsInFlight_;
        }
    }
    if (!current) {
        sendSignal("STOPPED");
        return;
    }
    current->stopCapture([self = shared_from_this(), current](std::optional<Error> error) {
        self->stopFinished(current, std::move(error));
    });
}

void SystemAudioCapture::stopFinished(const std::shared_ptr<CaptureStream>& stoppedStream,
                                      std::optional<Error> error) {
    if (error) {
        logErr("stopCapture error: " + error->localizedDescription);
    }
    {
        // A start that succeeded while this stop was under way owns stream_ now; keep it.
        std::lock_guard lock(mutex_);
        if (stream_ == stoppedStream) {
            stream_.reset();
        }
    }
    if (auto unwritten = handler_->takeUnwrittenReport()) {
        logErr(*unwritten);
    }
    logErr("Stopped. Total: " + std::to_string(wholeKilobytes(handler_->totalBytes())) + " KB, " +
           std::to_string(handler_->sampleCount()) + " samples");
    sendSignal("STOPPED");
    bool beginStart = false;
    {
        std::lock_guard lock(mutex_);
        --stopsInFlight_;
        if (stopsInFlight_ == 0 && startAfterStop_) {
            startAfterStop_ = false;
            beginStart = !shutDown_;
        }
    }
    if (beginStart) {
        requestContent();
    }
}

void SystemAudioCapture::shutDown() {
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
        if (startAfterStop_) {
            startAfterStop_ = false;
            startPending_ = false;
        }
    }
    stop();
}

void SystemAudioCapture::streamStoppedBySystem(CaptureStream& stopped) {
    std::lock_guard lock(mutex_);
    if (stream_.get() == &stopped) {
        streamRunning_ = false;
    }
}

}  // namespace halvo
