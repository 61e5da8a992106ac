// Feeds arbitrary reads of standard input to the command reader. Any crash, sanitizer report or
// byte on standard output fails the run: only audio may go there, and this service delivers none.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
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
    halvo::runCommands(std::string_view(reinterpret_cast<const char*>(data), size), controller());
    char byte;
    if (::read(outputPipe, &byte, 1) != -1 || errno != EAGAIN) {
        std::abort();  // something reached standard output
    }
    return 0;
}
