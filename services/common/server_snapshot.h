#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "capture/shareable_content.h"

namespace halvo {

// One client of the sound server, as the server lists it.
struct ClientEntry {
    std::string name;
    std::string processID;  // the application.process.id property, unparsed; may be empty
};

// What the service reads from the server for a content query.
struct ServerSnapshot {
    std::vector<ClientEntry> clients;
    std::string soundServer;  // what records, as the "Sound server: " line names it
};

// What a pulse server's name and version (as its server information gives them) make of the
// "Sound server: " line: "PulseAudio 16.1", or "PipeWire 0.3.65 (PulseAudio protocol)" for
// "PulseAudio (on PipeWire 0.3.65)".
std::string pulseServerDescription(std::string_view name, std::string_view version);

// The content a query answers: `displays` (the headless display when there are none) and the
// server's clients that name their process, in the server's order, their names made printable
// (platform::printableText). The helper's own
// connection is one of them, which is how it finds itself to exclude.
ShareableContent makeShareableContent(const ServerSnapshot& snapshot,
                                      std::vector<Display> displays);

}  // namespace halvo
