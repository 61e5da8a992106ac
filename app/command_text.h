#pragma once

#include <string>
#include <string_view>

namespace halvo {

bool isValidUtf8(std::string_view text);

// Drops Unicode white space and newline characters from both ends. On malformed UTF-8 it stops
// at the malformed bytes, so a result that is all valid says nothing of the text's validity.
std::string_view trimWhitespace(std::string_view text);

}  // namespace halvo
