#include "app/helper_main.h"

#include <pthread.h>

#include <algorithm>
#include <csignal>
#include <thread>

#include "app/command_reader.h"
#include "controller/system_audio_capture.h"
#include "halvo/protocol.h"
#include "logging/line_writer.h"
#include "logging/lines.h"
#include "platform/dispatch.h"
#include "platform/printable_text.h"
#include "platform/process.h"

namespace halvo {

namespace {

// Diagnostic lines waiting for a parent that does not read standard error; beyond this they
// are dropped.
constexpr std::size_t kQueuedDiagnosticBytes = 1 << 20;
// Signal lines waiting for such a parent; beyond this the command reader stops reading commands
// until they are read.
constexpr std::size_t kQueuedSignalBytes = 64 << 10;

std::string dropNote(std::uint64_t dropped, platform::DropReason why) {
    const std::string reason = why == platform::DropReason::notRead
                                   ? "standard error was not read"
                                   : "each longer than the " +
                                         std::to_string(kQueuedDiagnosticBytes) +
                                         " bytes that may wait for standard error";
    return diagnosticLine(platform::iso8601Now(),
                          std::to_string(dropped) + " lines dropped: " + reason);
}

// Both live until the process exits and are never destroyed: threads may use them to the end.
CaptureService* captureService = nullptr;
SystemAudioCapture* capture = nullptr;

[[noreturn]] void denyAndExit(const Error& error) {
    logErr(std::string(protocol::kPermissionDeniedReason) + error.localizedDescription);
    sendSignal(protocol::kPermissionDenied);
    flushLines(std::chrono::seconds(1));
    platform::exitProcess(1);
}

void permissionProbeFinished(const std::optional<ShareableContent>& content,
                             const std::optional<Error>& error) {
    if (error) {
        denyAndExit(*error);
    }
    const std::size_t displays = content ? content->displays.size() : 0;
    logErr("Permission OK. Displays: " + std::to_string(displays));
    if (content && !content->soundServer.empty()) {
        logErr("Sound server: " + platform::printableText(content->soundServer));
    }
    // The first start counts as the parent's first command; once the parent has said QUIT (or
    // gone), neither WAITING nor a start may follow its answer.
    capture->startAfterSignal(protocol::kWaiting);
}

// One line per application, in the order they first appear: "PID\tNAME\tBINARY", the texts
// escaped so that none can break a line or a field.
std::string applicationList(const std::vector<PlayingApplication>& playing) {
    std::vector<PlayingApplication> seen;
    std::string list;
    for (const PlayingApplication& application : playing) {
        if (std::find(seen.begin(), seen.end(), application) != seen.end()) {
            continue;
        }
        seen.push_back(application);
        list += std::to_string(application.processID) + "\t" +
                platform::printableText(application.applicationName) + "\t" +
                platform::printableText(application.binaryName) + "\n";
    }
    return list;
}

// --list-apps: the list on stdout and status 0, or the probe's denial and status 1. No banner:
// the run captures nothing.
void listApplications() {
    captureService->listPlayingApplications(
        [](std::optional<std::vector<PlayingApplication>> playing, std::optional<Error> error) {
            if (error || !playing) {
                denyAndExit(error.value_or(Error{}));
            }
            const bool written =
                platform::FileHandle::standardOutput().writeAll(applicationList(*playing));
            flushLines(std::chrono::seconds(1));
            platform::exitProcess(written ? 0 : 1);
        });
    platform::runMainLoop();
}

// SIGTERM and SIGINT: each acts as QUIT.
sigset_t stopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

// Takes the stop signals on a thread of their own and quits as QUIT does. Once `capture` is set.
void quitOnStopSignals() {
    std::thread([signals = stopSignals()] {
        pthread_setname_np(pthread_self(), "signals");
        int received = 0;
        while (sigwait(&signals, &received) != 0) {
        }
        logErr(std::string(received == SIGTERM ? "SIGTERM" : "SIGINT") + " received: quitting");
        quitHelper(*capture);
    }).detach();
}

}  // namespace

void blockStopSignals() {
    const sigset_t signals = stopSignals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

int runHelper(std::unique_ptr<CaptureService> service, const CommandLineOptions& options,
              std::optional<ShareableContent> probed) {
    // Never destroyed: threads may still log while the process exits.
    installLineWriter(*new platform::LineWriter(platform::FileHandle::standardError(),
                                                kQueuedDiagnosticBytes, kQueuedSignalBytes,
                                                dropNote));
    if (options.listApplications) {
        // A listing is over in moments: the signals end it the ordinary way.
        const sigset_t signals = stopSignals();
        pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
        captureService = service.release();
        listApplications();
        return 0;
    }
    blockStopSignals();
    logErr("Halvo Audio Helper v" HALVO_VERSION);
    logErr("Linux " + platform::operatingSystemVersionString());
    logErr("PID: " + std::to_string(platform::processIdentifier()));

    // One mebibyte (over five seconds of audio) of slack before a slow parent holds capture up.
    platform::FileHandle::standardOutput().growPipeBuffer(1 << 20);

    captureService = service.release();
    // The owning reference is never dropped, so weak references to the controller always resolve.
    auto* owner = new std::shared_ptr<SystemAudioCapture>(SystemAudioCapture::create(
        *captureService, platform::FileHandle::standardOutput(), options.applications));
    capture = owner->get();
    quitOnStopSignals();

    if (probed) {
        permissionProbeFinished(probed, std::nullopt);
    } else {
        captureService->getShareableContent(
            false, false, [](std::optional<ShareableContent> content, std::optional<Error> error) {
                permissionProbeFinished(content, error);
            });
    }
    platform::asyncOnGlobalUtilityQueue(
        [] { runCommandReader(platform::FileHandle::standardInput(), *capture); });
    logErr("Run loop started");
    platform::runMainLoop();
    return 0;
}

CommandLineOptions commandLineOrExit(int argc, char* const argv[]) {
    auto parsed = parseCommandLine(argc, argv);
    if (auto* usage = std::get_if<UsageError>(&parsed)) {
        const std::string line = "halvo-audio-helper: " + usage->message + " (see --help)\n";
        platform::FileHandle::standardError().writeAll(line);
        platform::exitProcess(2);
    }
    auto options = std::get<CommandLineOptions>(std::move(parsed));
    if (options.help) {
        platform::FileHandle::standardOutput().writeAll(helperUsage());
        platform::exitProcess(0);
    }
    return options;
}

}  // namespace halvo
