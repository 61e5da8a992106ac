#include "services/common/server_snapshot.h"

#include <cstdint>
#include <optional>
#include <system_error>

#include "platform/printable_text.h"
#include "platform/process.h"
#include "services/common/drm_displays.h"

namespace halvo {

std::string pulseServerDescription(std::string_view name, std::string_view version) {
    constexpr std::string_view kOnPipeWire = "PulseAudio (on PipeWire ";
    if (name.starts_with(kOnPipeWire) && name.ends_with(")")) {
        name.remove_prefix(kOnPipeWire.size());
        name.remove_suffix(1);
        return "PipeWire " + std::string(name) + " (PulseAudio protocol)";
    }
    return "PulseAudio " + std::string(version);
}

ShareableContent makeShareableContent(const ServerSnapshot& snapshot,
                                      std::vector<Display> displays) {
    ShareableContent content;
    content.displays = std::move(displays);
    content.soundServer = snapshot.soundServer;
    if (content.displays.empty()) {
        content.displays.push_back(headlessDisplay());
    }
    for (const ClientEntry& client : snapshot.clients) {
        if (const std::optional<std::int32_t> pid = platform::parseProcessID(client.processID)) {
            // The name is the client's own choice: escaped, no line it ends up in can break.
            content.applications.push_back(
                RunningApplication{*pid, platform::printableText(client.name)});
        }
    }
    return content;
}

}  // namespace halvo
