// Feeds arbitrary bytes, as a hostile or broken helper might write them, to what a parent reads
// them with: the client's standard-error parser, and the escaping that makes a name printable.
// Besides any crash or sanitizer report, these fail the run:
// - the parser's records differ with how the bytes are cut into reads (the first byte chooses
//   the cut), or a record holds more than the longest line;
// - the escaped text holds a control byte or invalid UTF-8, or does not unescape to the input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "halvo/client/stderr_parser.h"
#include "platform/printable_text.h"

namespace {

using halvo::client::StderrParser;
using halvo::client::StderrRecord;

void require(bool holds) {
    if (!holds) {
        std::abort();
    }
}

std::vector<StderrRecord> parseInReads(std::string_view bytes, std::size_t readSize) {
    StderrParser parser;
    std::vector<StderrRecord> records;
    for (std::size_t at = 0; at < bytes.size(); at += readSize) {
        auto some = parser.feed(bytes.substr(at, readSize));
        records.insert(records.end(), some.begin(), some.end());
    }
    auto rest = parser.finish();
    records.insert(records.end(), rest.begin(), rest.end());
    require(!parser.holdsRecord());
    return records;
}

void checkParser(std::string_view bytes, std::size_t readSize) {
    const std::vector<StderrRecord> records = parseInReads(bytes, readSize);
    require(records == parseInReads(bytes, bytes.size() + 1));
    for (const StderrRecord& record : records) {
        if (const auto* signal = std::get_if<halvo::client::Signal>(&record)) {
            require(signal->detail.size() <= StderrParser::kLongestLine);
        } else if (const auto* diagnostic = std::get_if<halvo::client::Diagnostic>(&record)) {
            require(diagnostic->message.size() <= StderrParser::kLongestLine);
        } else {
            require(std::get<halvo::client::AudioFormat>(record).bytesPerFrame() > 0);
        }
    }
}

int hexDigit(char digit) {
    const std::string_view digits = "0123456789abcdef";
    require(digits.find(digit) != std::string_view::npos);
    return static_cast<int>(digits.find(digit));
}

void checkPrintable(std::string_view text) {
    const std::string printable = halvo::platform::printableText(text);
    std::string unescaped;
    for (std::size_t at = 0; at < printable.size();) {
        const auto point = halvo::platform::decodeUtf8(std::string_view(printable).substr(at));
        require(point.has_value() && (point->value >= 0x20 && point->value != 0x7f));
        if (printable[at] != '\\') {
            unescaped.append(printable, at, point->length);
            at += point->length;
            continue;
        }
        require(at + 1 < printable.size());
        const char kind = printable[at + 1];
        if (kind == 'x') {
            require(at + 3 < printable.size());
            unescaped +=
                static_cast<char>(hexDigit(printable[at + 2]) * 16 + hexDigit(printable[at + 3]));
            at += 4;
        } else {
            const std::string_view from = "nrt\\", to = "\n\r\t\\";
            require(from.find(kind) != std::string_view::npos);
            unescaped += to[from.find(kind)];
            at += 2;
        }
    }
    require(unescaped == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    checkParser(bytes, data[0] % 16 + 1);
    checkPrintable(bytes);
    return 0;
}
