// The helper over the simulated capture service, for tests: the one argument names the scenario.
#include <fstream>
#include <sstream>

#include "app/helper_main.h"
#include "platform/file_handle.h"
#include "platform/process.h"
#include "tests/sim/simulated_capture_service.h"

int main(int argc, char** argv) {
    halvo::platform::reserveStandardDescriptors();
    const auto complain = [](const std::string& text) {
        halvo::platform::FileHandle::standardError().writeAll("halvo-audio-helper-sim: " + text +
                                                              "\n");
        return 2;
    };
    if (argc < 2) {
        return complain("usage: halvo-audio-helper-sim SCENARIO [OPTION]...");
    }
    std::ifstream file(argv[1]);
    if (!file) {
        return complain(std::string("cannot read ") + argv[1]);
    }
    std::stringstream text;
    text << file.rdbuf();
    auto parsed = halvo::sim::parseScenario(text.str());
    if (!parsed.scenario) {
        return complain(std::string(argv[1]) + ": " + parsed.error);
    }
    // The options follow the scenario, as if the helper had been given them.
    argv[1] = argv[0];
    const halvo::HelperOptions options = halvo::helperOptionsOrExit(argc - 1, argv + 1);
    return halvo::runHelper(
        std::make_unique<halvo::sim::SimulatedCaptureService>(std::move(*parsed.scenario)),
        options);
}
