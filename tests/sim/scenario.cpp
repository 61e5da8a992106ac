#include "tests/sim/scenario.h"

#include <charconv>
#include <sstream>

namespace halvo::sim {

namespace {

struct ParseError {
    std::string what;
};

// A line's words after its keyword: positional ones, and key=value options, each used at most
// once. A value may be a "quoted string" (with \n, \t and \" escapes).
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;

    std::optional<std::string> take(const std::string& key) {
        auto found = options.extract(key);
        return found ? std::optional(std::move(found.mapped())) : std::nullopt;
    }
};

// The keyword of `line` (empty for none), its arguments in `args`.
std::string tokenize(const std::string& line, Arguments& args) {
    std::string keyword;
    for (std::size_t at = 0; at < line.size() && line[at] != '#';) {
        if (line[at] == ' ' || line[at] == '\t') {
            ++at;
            continue;
        }
        std::string key;
        const std::size_t wordEnd = line.find_first_of(" \t=\"", at);
        if (wordEnd != std::string::npos && line[wordEnd] == '=') {
            key = line.substr(at, wordEnd - at);
            at = wordEnd + 1;
        }
        std::string value;
        if (at < line.size() && line[at] == '"') {
            for (++at; at < line.size() && line[at] != '"'; ++at) {
                const bool escape = line[at] == '\\' && at + 1 < line.size();
                const char c = escape ? line[++at] : line[at];
                value += escape && c == 'n' ? '\n' : escape && c == 't' ? '\t' : c;
            }
            if (at++ >= line.size()) {
                throw ParseError{"unterminated quoted string"};
            }
        } else {
            const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
            value = line.substr(at, end - at);
            at = end;
        }
        if (keyword.empty() && key.empty()) {
            keyword = value;
        } else if (key.empty()) {
            args.positional.push_back(value);
        } else {
            args.options[key] = value;
        }
    }
    return keyword;
}

std::int64_t toInteger(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        throw ParseError{"not an integer: '" + text + "'"};
    }
    return value;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    for (std::string item; std::getline(stream, item, ',');) {
        items.push_back(item);
    }
    return items;
}

ContentAnswer parseContent(Arguments& args) {
    ContentAnswer answer;
    if (auto text = args.take("error")) {
        answer.error = Error{*text};
    }
    if (auto text = args.take("displays")) {
        answer.displays.clear();
        for (const std::string& item : splitList(*text)) {
            const std::size_t x = item.find('x');
            answer.displays.push_back(
                Display{static_cast<std::uint32_t>(answer.displays.size() + 1),
                        toInteger(item.substr(0, x)), toInteger(item.substr(x + 1))});
        }
    }
    if (auto text = args.take("apps")) {
        for (const std::string& item : splitList(*text)) {
            answer.applicationProcessIDs.push_back(item == "self" ? ContentAnswer::kSelf
                                                                  : toInteger(item));
        }
    }
    return answer;
}

BufferBatch parseBuffers(Arguments& args) {
    if (args.positional.empty()) {
        throw ParseError{"buffers needs a count or 'forever'"};
    }
    BufferBatch batch;
    batch.count =
        args.positional[0] == "forever" ? BufferBatch::kForever : toInteger(args.positional[0]);
    if (auto v = args.take("bytes"))
        batch.bytes = static_cast<std::size_t>(toInteger(*v));
    if (batch.bytes > BufferBatch::kMostBytes)
        throw ParseError{"a buffer holds at most 1 MiB"};
    if (auto v = args.take("interval"))
        batch.intervalMs = toInteger(*v);
    if (auto v = args.take("early"))
        batch.beforeStartCompletes = *v == "yes";
    return batch;
}

}  // namespace

ParseResult parseScenario(const std::string& text) {
    Scenario scenario;
    std::vector<StreamEvent>* events = nullptr;
    std::stringstream lines(text);
    std::string line;
    int lineNumber = 0;
    try {
        while (std::getline(lines, line)) {
            ++lineNumber;
            Arguments args;
            const std::string keyword = tokenize(line, args);
            if (keyword.empty()) {
                continue;
            } else if (keyword == "content") {
                scenario.contentAnswers.push_back(parseContent(args));
            } else if (keyword == "start") {
                const auto error = args.take("error");
                scenario.startErrors.push_back(error ? std::optional(Error{*error}) : std::nullopt);
            } else if (keyword == "delay") {
                if (auto v = args.take("content"))
                    scenario.contentDelayMs = toInteger(*v);
                if (auto v = args.take("start"))
                    scenario.startDelayMs = toInteger(*v);
            } else if (keyword == "playing") {
                scenario.playing.push_back(PlayingApplication{
                    static_cast<std::int32_t>(toInteger(args.take("pid").value_or("0"))),
                    args.take("name").value_or(""), args.take("binary").value_or("")});
            } else if (keyword == "stream") {
                const bool own = !args.positional.empty();
                events =
                    &scenario.streams[own ? static_cast<int>(toInteger(args.positional[0])) : 0];
            } else if (events == nullptr || (keyword != "buffers" && keyword != "system-stop")) {
                throw ParseError{"unknown keyword '" + keyword + "' here"};
            } else if (keyword == "buffers") {
                events->emplace_back(parseBuffers(args));
            } else {
                events->emplace_back(
                    SystemStop{Error{args.positional.empty() ? "" : args.positional[0]}});
            }
            if (!args.options.empty()) {
                throw ParseError{"unknown option '" + args.options.begin()->first + "'"};
            }
        }
    } catch (const ParseError& error) {
        return {std::nullopt, "line " + std::to_string(lineNumber) + ": " + error.what};
    }
    return {std::move(scenario), {}};
}

}  // namespace halvo::sim
