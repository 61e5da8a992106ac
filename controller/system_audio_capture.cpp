#include "controller/system_audio_capture.h"

#include <string>
#include <utility>

#include "halvo/protocol.h"
#include "logging/lines.h"
#include "output/audio_format_text.h"
#include "platform/process.h"

namespace halvo {

std::shared_ptr<SystemAudioCapture> SystemAudioCapture::create(CaptureService& service,
                                                               platform::FileHandle output,
                                                               ApplicationRule applications) {
    std::shared_ptr<SystemAudioCapture> capture(
        new SystemAudioCapture(service, output, std::move(applications)));
    std::weak_ptr<SystemAudioCapture> weakCapture = capture;
    capture->handler_->setStreamStoppedObserver([weakCapture](CaptureStream& stopped) {
        if (auto strong = weakCapture.lock()) {
            strong->streamStoppedBySystem(stopped);
        }
    });
    // Capture for nobody helps no one: a stdout that refuses audio stops capture.
    capture->handler_->setOutputFailedObserver([weakCapture] {
        if (auto strong = weakCapture.lock()) {
            strong->outputFailed();
        }
    });
    return capture;
}

SystemAudioCapture::SystemAudioCapture(CaptureService& service, platform::FileHandle output,
                                       ApplicationRule applications)
    : service_(service),
      applications_(std::move(applications)),
      handler_(std::make_shared<AudioOutputHandler>(output)) {}

std::shared_ptr<CaptureStream> SystemAudioCapture::stream() const {
    std::lock_guard lock(mutex_);
    return stream_;
}

void SystemAudioCapture::enqueue(Command command) {
    if (command.step == Step::start && !commands_.empty() && commands_.back().step == Step::start) {
        // Nothing comes between the two, so one start answers both.
        ++commands_.back().answers;
        return;
    }
    commands_.push_back(command);
}

void SystemAudioCapture::start() {
    {
        std::lock_guard lock(mutex_);
        enqueue({Step::start});
    }
    runCommands();
}

void SystemAudioCapture::stop() {
    {
        std::lock_guard lock(mutex_);
        enqueue({Step::stop});
    }
    runCommands();
}

void SystemAudioCapture::startAfterSignal(std::string_view signal) {
    {
        std::lock_guard lock(mutex_);
        if (shutDown_) {
            return;
        }
        sendSignal(signal);
        enqueue({Step::start});
    }
    runCommands();
}

void SystemAudioCapture::outputFailed() {
    {
        std::lock_guard lock(mutex_);
        enqueue({Step::stopAfterOutputFailure, 1, openings_});
    }
    runCommands();
}

void SystemAudioCapture::shutDown() {
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
        if (busy_ && commands_.front().step == Step::start) {
            // The server may take seconds to answer; the process does not wait for it. The
            // start's completion finds its ticket stale and lets the stream go.
            answerFront("Start cancelled: " + std::string(kExiting),
                        protocol::errorSignal(kExiting));
            busy_ = false;
        }
        enqueue({Step::stop});
    }
    answered_.notify_all();
    runCommands();
}

void SystemAudioCapture::waitWhileOwing(std::size_t answers) {
    std::unique_lock lock(mutex_);
    answered_.wait(lock, [&] { return owed() < answers || shutDown_; });
}

std::size_t SystemAudioCapture::owed() const {
    std::size_t answers = 0;
    for (const Command& command : commands_) {
        answers += static_cast<std::size_t>(command.answers);
    }
    return answers;
}

bool SystemAudioCapture::isStartInFlight(std::uint64_t ticket) const {
    return busy_ && commands_.front().step == Step::start && ticket == startTicket_;
}

void SystemAudioCapture::answerFront(std::string_view message, std::string_view signal) {
    if (!message.empty()) {
        logErr(message);
    }
    for (int i = 0; i < commands_.front().answers; ++i) {
        sendSignal(signal);
    }
    commands_.pop_front();
    answered_.notify_all();
}

void SystemAudioCapture::runCommands() {
    for (;;) {
        std::shared_ptr<CaptureStream> stopping;
        std::uint64_t ticket = 0;
        {
            std::lock_guard lock(mutex_);
            if (busy_ || commands_.empty()) {
                return;
            }
            const Command next = commands_.front();
            switch (next.step) {
                case Step::start:
                    if (shutDown_) {
                        answerFront("Start cancelled: " + std::string(kExiting),
                                    protocol::errorSignal(kExiting));
                        continue;
                    }
                    if (streamRunning_) {
                        answerFront("Capture is already running", protocol::kCaptureStarted);
                        continue;
                    }
                    busy_ = true;
                    ticket = ++startTicket_;
                    break;
                case Step::stopAfterOutputFailure:
                    if (!streamRunning_ || next.opening != openings_) {
                        // A command stopped that capture already; a later one may have
                        // started another, which the failure must not end.
                        commands_.pop_front();
                        answered_.notify_all();
                        continue;
                    }
                    [[fallthrough]];
                case Step::stop:
                    handler_->setCapturing(false);
                    streamRunning_ = false;
                    if (!stream_) {
                        answerFront({}, protocol::kStopped);
                        continue;
                    }
                    busy_ = true;
                    stopping = stream_;
                    break;
            }
        }
        // The service is called without the lock: its completions take it.
        if (stopping) {
            stopping->stopCapture([self = shared_from_this()](std::optional<Error> error) {
                self->stopFinished(std::move(error));
            });
        } else {
            requestContent(ticket);
        }
        return;
    }
}

void SystemAudioCapture::requestContent(std::uint64_t ticket) {
    logErr("Starting system audio capture...");
    std::weak_ptr<SystemAudioCapture> weakSelf = weak_from_this();
    service_.getShareableContent(
        false, false,
        [weakSelf, ticket](std::optional<ShareableContent> content, std::optional<Error> error) {
            if (auto self = weakSelf.lock()) {
                self->contentArrived(ticket, std::move(content), std::move(error));
            }
        });
}

void SystemAudioCapture::contentArrived(std::uint64_t ticket,
                                        std::optional<ShareableContent> content,
                                        std::optional<Error> error) {
    {
        std::lock_guard lock(mutex_);
        if (!isStartInFlight(ticket)) {
            return;  // cancelled on the way out: no stream is made
        }
    }
    if (error) {
        finishStart(ticket, nullptr,
                    std::string(protocol::kContentErrorReason) + error->localizedDescription,
                    protocol::kPermissionDenied);
        return;
    }
    if (!content || content->displays.empty()) {
        finishStart(ticket, nullptr, "No display found", protocol::kNoDisplay);
        return;
    }
    const Display& display = content->displays.front();
    logErr("Display: " + std::to_string(display.width) + "x" + std::to_string(display.height));

    const std::int32_t ownProcessID = platform::processIdentifier();
    ContentFilter filter{display, {}, {}, applications_};
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
        finishStart(ticket, nullptr, "Stream setup error: " + failure->localizedDescription,
                    protocol::errorSignal(failure->localizedDescription));
        return;
    }
    newStream->startCapture(
        [self = shared_from_this(), newStream, ticket](std::optional<Error> startError) {
            if (startError) {
                self->finishStart(ticket, nullptr,
                                  "startCapture failed: " + startError->localizedDescription,
                                  protocol::errorSignal(startError->localizedDescription));
            } else {
                self->finishStart(ticket, newStream, "System audio capture STARTED",
                                  protocol::kCaptureStarted);
            }
        });
}

void SystemAudioCapture::finishStart(std::uint64_t ticket, std::shared_ptr<CaptureStream> started,
                                     std::string_view message, std::string_view signal) {
    std::shared_ptr<CaptureStream> released;  // let go outside the lock
    {
        std::lock_guard lock(mutex_);
        if (!isStartInFlight(ticket)) {
            // Cancelled on the way out: letting the new stream go ends its delivery.
            released = std::move(started);
            return;
        }
        if (started) {
            handler_->setCapturing(true);
            released = std::exchange(stream_, std::move(started));
            streamRunning_ = true;
            ++openings_;
        }
        answerFront(message, signal);
        busy_ = false;
    }
    runCommands();
}

void SystemAudioCapture::stopFinished(std::optional<Error> error) {
    std::shared_ptr<CaptureStream> released;  // let go outside the lock
    {
        std::lock_guard lock(mutex_);
        if (error) {
            logErr("stopCapture error: " + error->localizedDescription);
        }
        // Commands run one at a time, so the stream is still the one this stop was asked of.
        released = std::move(stream_);
        if (auto unwritten = handler_->takeUnwrittenReport()) {
            logErr(*unwritten);
        }
        answerFront("Stopped. Total: " + std::to_string(wholeKilobytes(handler_->totalBytes())) +
                        " KB, " + std::to_string(handler_->sampleCount()) + " samples",
                    protocol::kStopped);
        busy_ = false;
    }
    runCommands();
}

void SystemAudioCapture::streamStoppedBySystem(CaptureStream& stopped) {
    std::lock_guard lock(mutex_);
    if (stream_.get() == &stopped) {
        streamRunning_ = false;
    }
}

}  // namespace halvo
