#pragma once

#include <string>
#include <string_view>

namespace halvo {

bool isValidUtf8(std::string_view text);

// Drops Unicode white space and newline characters from both ends. `text` must be valid UTF-8.
std::string_view trimWhitespace(std::string_view text);

}  // namespace halvo
