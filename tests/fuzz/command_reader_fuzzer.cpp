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
#include "tests/sim/simulated_capture_service.h"

namespace {

int outputPipe = -1;  // read end of what the process writes to standard output

halvo::SystemAudioCapture& controller() {
    // Built once and kept for the whole run, as the helper keeps its controller.
    static auto* service = new halvo::sim::SimulatedCaptureService(
        halvo::sim::parseScenario("content displays=1920x1080 apps=self\n"));
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
