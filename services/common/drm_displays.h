#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "capture/shareable_content.h"

namespace halvo {

// The screens the kernel reports under `drmClassDirectory` (normally /sys/class/drm): every
// connector directory (card<N>-<name>) whose status is "connected", in name order, numbered
// from 1, sized by the first line of its mode list (0x0 when it lists none). A directory that
// cannot be read has no screens.
std::vector<Display> connectedDisplays(const std::filesystem::path& drmClassDirectory);

// What a machine with no screen (headless, a container) reports: one 0x0 display standing for
// the headless session, so that audio capture never depends on a screen.
Display headlessDisplay();

// "1920x1080" (and "1920x1080i" and the like) -> {1920, 1080}.
std::optional<std::pair<std::int64_t, std::int64_t>> parseModeSize(std::string_view mode);

}  // namespace halvo
