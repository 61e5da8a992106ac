#include "services/common/drm_displays.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <string>
#include <system_error>

namespace halvo {

namespace {

std::string firstLine(const std::filesystem::path& file) {
    std::ifstream stream(file);
    std::string line;
    std::getline(stream, line);
    return line;
}

// card0-HDMI-A-1 is a connector; card0 (the device), renderD128 and version are not.
bool isConnectorName(const std::string& name) {
    if (name.rfind("card", 0) != 0) {
        return false;
    }
    const std::size_t dash = name.find('-');
    return dash != std::string::npos && dash > 4 && dash + 1 < name.size();
}

// A positive number at the start of `text`, and what follows it.
std::optional<std::pair<std::int64_t, std::string_view>> parseDimension(std::string_view text) {
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end == text.data() || value <= 0) {
        return std::nullopt;
    }
    return std::pair{value, text.substr(static_cast<std::size_t>(end - text.data()))};
}

}  // namespace

std::optional<std::pair<std::int64_t, std::int64_t>> parseModeSize(std::string_view mode) {
    const auto width = parseDimension(mode);
    if (!width || width->second.empty() || width->second.front() != 'x') {
        return std::nullopt;
    }
    const auto height = parseDimension(width->second.substr(1));
    if (!height) {
        return std::nullopt;
    }
    return std::pair{width->first, height->first};
}

std::vector<Display> connectedDisplays(const std::filesystem::path& drmClassDirectory) {
    std::vector<std::string> connectors;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(drmClassDirectory, error), end;
         !error && entry != end; entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        if (isConnectorName(name) && firstLine(entry->path() / "status") == "connected") {
            connectors.push_back(name);
        }
    }
    std::sort(connectors.begin(), connectors.end());

    std::vector<Display> displays;
    for (const std::string& name : connectors) {
        Display display;
        display.displayID = static_cast<std::uint32_t>(displays.size() + 1);
        if (auto size = parseModeSize(firstLine(drmClassDirectory / name / "modes"))) {
            display.width = size->first;
            display.height = size->second;
        }
        displays.push_back(display);
    }
    return displays;
}

Display headlessDisplay() {
    return Display{0, 0, 0};
}

}  // namespace halvo
