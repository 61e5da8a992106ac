// The helper over the simulated capture service, for tests: the one argument names the scenario.
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "app/helper_main.h"
#include "platform/file_handle.h"
#include "platform/process.h"
#include "tests/sim/simulated_capture_service.h"

int main(int argc, char** argv) {
    halvo::platform::reserveStandardDescriptors();
    std::optional<halvo::sim::Scenario> scenario;
    try {
        std::ifstream file(argc < 2 ? "" : argv[1]);
        if (!file) {
            throw std::runtime_error(argc < 2 ? "usage: halvo-audio-helper-sim SCENARIO [OPTION]..."
                                              : "cannot read it");
        }
        std::stringstream text;
        text << file.rdbuf();
        scenario = halvo::sim::parseScenario(text.str());
    } catch (const std::runtime_error& failure) {
        const std::string path = argc < 2 ? "" : argv[1] + std::string(": ");
        halvo::platform::FileHandle::standardError().writeAll("halvo-audio-helper-sim: " + path +
                                                              failure.what() + "\n");
        return 2;
    }
    // The options follow the scenario, as if the helper had been given them.
    argv[1] = argv[0];
    const halvo::CommandLineOptions options = halvo::commandLineOrExit(argc - 1, argv + 1);
    halvo::blockStopSignals();
    return halvo::runHelper(
        std::make_unique<halvo::sim::SimulatedCaptureService>(std::move(*scenario)), options);
}
