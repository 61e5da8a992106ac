// Feeds arbitrary text, cut into arbitrary reads, to the command reader: the assembler that makes
// commands of the reads, and each command run. Any crash, sanitizer report, command holding a line
// feed, or byte on standard output fails the run: only audio may go there, and this service
// delivers none.
#include <fcntl.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/command_reader.h"
#include "controller/system_audio_capture.h"
#include "platform/dispatch.h"

namespace {

// A service that answers at once, on a thread of its own, and delivers nothing: the commands
// alone are under test.
class StubService : public halvo::CaptureService, public halvo::CaptureStream {
  public:
    void getShareableContent(bool, bool, halvo::ContentCompletion completion) override {
        thread_.async([completion] {
            completion(halvo::ShareableContent{{halvo::Display{1, 1920, 1080}}, {}, {}},
                       std::nullopt);
        });
    }
    void listPlayingApplications(halvo::PlayingCompletion completion) override {
        thread_.async([completion] { completion(std::vector<halvo::PlayingApplication>{}, {}); });
    }
    std::shared_ptr<halvo::CaptureStream> makeStream(
        const halvo::ContentFilter&, const halvo::StreamConfiguration&,
        std::weak_ptr<halvo::StreamDelegate>) override {
        return std::shared_ptr<halvo::CaptureStream>(this, [](halvo::CaptureStream*) {});
    }
    std::optional<halvo::Error> addStreamOutput(
        std::weak_ptr<halvo::StreamOutput>, halvo::StreamOutputType,
        std::shared_ptr<halvo::platform::SerialQueue>) override {
        return std::nullopt;
    }
    void startCapture(halvo::CaptureCompletion completion) override {
        thread_.async([completion] { completion(std::nullopt); });
    }
    void stopCapture(halvo::CaptureCompletion completion) override {
        thread_.async([completion] { completion(std::nullopt); });
    }

  private:
    halvo::platform::SerialQueue thread_{"stub.service",
                                         halvo::platform::QualityOfService::userInitiated};
};

int outputPipe = -1;  // read end of what the process writes to standard output

halvo::SystemAudioCapture& controller() {
    // Built once and kept for the whole run, as the helper keeps its controller.
    static auto* service = new StubService();
    static auto* capture =
        new std::shared_ptr<halvo::SystemAudioCapture>(halvo::SystemAudioCapture::create(*service));
    return **capture;
}

// Runs `line` as the reader would, short of quitting; false once it is QUIT.
bool run(std::string_view line) {
    if (line.find('\n') != std::string_view::npos) {
        std::abort();  // a line feed always ends a command
    }
    return halvo::runCommand(line, controller()) == halvo::ReaderVerdict::keepReading;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK) != 0 || ::dup2(fds[1], 1) < 0) {
        std::abort();
    }
    outputPipe = fds[0];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    halvo::CommandAssembler assembler;
    bool reading = true;
    while (reading && input.remaining_bytes() > 0) {
        // Each read: its length, then its bytes.
        const auto length = input.ConsumeIntegralInRange<std::size_t>(1, 16);
        assembler.add(input.ConsumeBytesAsString(length));
        while (reading) {
            const auto line = assembler.next();
            if (!line) {
                break;
            }
            reading = run(*line);
        }
    }
    if (reading) {
        if (const auto last = assembler.finish()) {
            run(*last);
        }
    }
    char byte;
    if (::read(outputPipe, &byte, 1) != -1 || errno != EAGAIN) {
        std::abort();  // something reached standard output
    }
    return 0;
}
