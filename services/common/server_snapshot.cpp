#include "services/common/server_snapshot.h"

#include <cstdint>
#include <optional>
#include <system_error>

#include "platform/printable_text.h"
#include "platform/process.h"
#include "services/common/drm_displays.h"

namespace halvo {

ShareableContent makeShareableContent(const ServerSnapshot& snapshot,
                                      std::vector<Display> displays) {
    ShareableContent content;
    content.displays = std::move(displays);
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
