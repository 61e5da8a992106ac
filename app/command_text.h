#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace halvo {

// Splits one read from standard input into command lines: every piece ending in a line feed,
// and the piece after the last line feed when it is not empty. Nothing is held back for a
// later read.
std::vector<std::string_view> splitCommandLines(std::string_view data);

bool isValidUtf8(std::string_view text);

// Drops Unicode white space and newline characters from both ends. `text` must be valid UTF-8.
std::string_view trimWhitespace(std::string_view text);

}  // namespace halvo
