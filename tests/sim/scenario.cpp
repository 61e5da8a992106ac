#include "tests/sim/scenario.h"

#include <charconv>
#include <map>
#include <sstream>

namespace halvo::sim {

const std::vector<StreamEvent>& Scenario::eventsForStream(int ordinal) const {
    for (const auto& [number, events] : streamEvents) {
        if (number == ordinal) {
            return events;
        }
    }
    return defaultEvents;
}

namespace {

struct Token {
    std::string key;  // empty for a positional token
    std::string value;
};

struct ParseError {
    std::string what;
};

// Splits a line into words, key=value pairs and "quoted strings" (with \n, \t, \\ and \" escapes).
std::vector<Token> tokenize(const std::string& line) {
    std::vector<Token> tokens;
    std::size_t at = 0;
    const auto readValue = [&]() {
        std::string value;
        if (at < line.size() && line[at] == '"') {
            ++at;
            while (at < line.size() && line[at] != '"') {
                char c = line[at++];
                if (c == '\\' && at < line.size()) {
                    const char escaped = line[at++];
                    c = escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
                }
                value += c;
            }
            if (at >= line.size()) {
                throw ParseError{"unterminated quoted string"};
            }
            ++at;
            return value;
        }
        while (at < line.size() && line[at] != ' ' && line[at] != '\t') {
            value += line[at++];
        }
        return value;
    };
    while (at < line.size()) {
        if (line[at] == ' ' || line[at] == '\t') {
            ++at;
            continue;
        }
        if (line[at] == '#') {
            break;
        }
        Token token;
        if (line[at] != '"') {
            const std::size_t wordEnd = line.find_first_of(" \t=", at);
            if (wordEnd != std::string::npos && line[wordEnd] == '=') {
                token.key = line.substr(at, wordEnd - at);
                at = wordEnd + 1;
            }
        }
        token.value = readValue();
        tokens.push_back(std::move(token));
    }
    return tokens;
}

std::int64_t toInteger(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        throw ParseError{"not an integer: '" + text + "'"};
    }
    return value;
}

double toDouble(const std::string& text) {
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        throw ParseError{"not a number: '" + text + "'"};
    }
    return value;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        if (!item.empty()) {
            items.push_back(item);
        }
    }
    return items;
}

std::vector<Display> parseDisplays(const std::string& text) {
    std::vector<Display> displays;
    std::uint32_t nextID = 1;
    for (const std::string& item : splitList(text)) {
        const std::size_t x = item.find('x');
        if (x == std::string::npos) {
            throw ParseError{"display is not WIDTHxHEIGHT: '" + item + "'"};
        }
        displays.push_back(
            Display{nextID++, toInteger(item.substr(0, x)), toInteger(item.substr(x + 1))});
    }
    return displays;
}

// Positional tokens after the keyword, and key=value options, each used at most once.
struct Arguments {
    std::vector<std::string> positional;
    std::map<std::string, std::string> options;

    std::optional<std::string> take(const std::string& key) {
        const auto found = options.find(key);
        if (found == options.end()) {
            return std::nullopt;
        }
        std::string value = found->second;
        options.erase(found);
        return value;
    }
    void expectAllUsed() const {
        if (!options.empty()) {
            throw ParseError{"unknown option '" + options.begin()->first + "'"};
        }
    }
};

Outcome parseOutcome(Arguments& args) {
    if (!args.positional.empty() && args.positional[0] == "ok") {
        return std::nullopt;
    }
    if (auto text = args.take("error")) {
        return Error{*text};
    }
    throw ParseError{"expected 'ok' or error=\"...\""};
}

ContentAnswer parseContent(Arguments& args) {
    ContentAnswer answer;
    if (!args.positional.empty() && args.positional[0] == "none") {
        answer.hasContent = false;
    }
    if (auto text = args.take("error")) {
        answer.error = Error{*text};
        answer.hasContent = args.options.count("displays") > 0 && answer.hasContent;
    }
    if (auto text = args.take("displays")) {
        answer.displays = parseDisplays(*text);
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
    BufferBatch batch;
    if (args.positional.empty()) {
        throw ParseError{"buffers needs a count or 'forever'"};
    }
    batch.count =
        args.positional[0] == "forever" ? BufferBatch::kForever : toInteger(args.positional[0]);
    if (auto v = args.take("bytes"))
        batch.bytes = static_cast<std::size_t>(toInteger(*v));
    if (auto v = args.take("rate"))
        batch.sampleRate = toDouble(*v);
    if (auto v = args.take("bits"))
        batch.bits = static_cast<std::uint32_t>(toInteger(*v));
    if (auto v = args.take("samples"))
        batch.numSamples = toInteger(*v);
    if (auto v = args.take("interval"))
        batch.intervalMs = toInteger(*v);
    if (auto v = args.take("type")) {
        batch.outputType = *v == "audio" ? 1 : *v == "screen" ? 0 : toInteger(*v);
    }
    if (auto v = args.take("format")) {
        if (*v == "none") {
            batch.format = FormatKind::none;
        } else if (*v != "audio") {
            throw ParseError{"format is audio or none"};
        }
    }
    if (auto v = args.take("block")) {
        if (*v == "none") {
            batch.block = BlockKind::none;
        } else if (*v == "bad-pointer") {
            batch.block = BlockKind::failingPointer;
        } else if (*v != "contiguous") {
            throw ParseError{"block is contiguous, none or bad-pointer"};
        }
    }
    if (auto v = args.take("runs")) {
        batch.block = BlockKind::runs;
        batch.bytes = 0;
        for (const std::string& item : splitList(*v)) {
            batch.runs.push_back(static_cast<std::size_t>(toInteger(item)));
            batch.bytes += batch.runs.back();
        }
    }
    if (auto v = args.take("early")) {
        batch.beforeStartCompletes = *v == "yes";
    }
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
            const std::vector<Token> tokens = tokenize(line);
            if (tokens.empty()) {
                continue;
            }
            const std::string keyword = tokens[0].value;
            Arguments args;
            for (std::size_t i = 1; i < tokens.size(); ++i) {
                if (tokens[i].key.empty()) {
                    args.positional.push_back(tokens[i].value);
                } else {
                    args.options[tokens[i].key] = tokens[i].value;
                }
            }
            if (keyword == "content") {
                scenario.contentAnswers.push_back(parseContent(args));
            } else if (keyword == "register") {
                scenario.registerOutcomes.push_back(parseOutcome(args));
            } else if (keyword == "start") {
                scenario.startOutcomes.push_back(parseOutcome(args));
            } else if (keyword == "delay") {
                if (auto v = args.take("content"))
                    scenario.contentDelayMs = toInteger(*v);
                if (auto v = args.take("start"))
                    scenario.startDelayMs = toInteger(*v);
                if (auto v = args.take("stop"))
                    scenario.stopDelayMs = toInteger(*v);
            } else if (keyword == "playing") {
                scenario.playing.push_back(PlayingApplication{
                    static_cast<std::int32_t>(toInteger(args.take("pid").value_or("0"))),
                    args.take("name").value_or(""), args.take("binary").value_or("")});
            } else if (keyword == "stream") {
                if (args.positional.empty()) {
                    events = &scenario.defaultEvents;
                } else {
                    scenario.streamEvents.emplace_back(
                        static_cast<int>(toInteger(args.positional[0])),
                        std::vector<StreamEvent>{});
                    events = &scenario.streamEvents.back().second;
                }
            } else if (keyword == "buffers" || keyword == "system-stop") {
                if (events == nullptr) {
                    throw ParseError{"'" + keyword + "' outside a 'stream' block"};
                }
                if (keyword == "buffers") {
                    events->emplace_back(std::in_place_type<BufferBatch>, parseBuffers(args));
                } else {
                    events->emplace_back(
                        std::in_place_type<SystemStop>,
                        SystemStop{Error{args.positional.empty() ? "" : args.positional[0]}});
                }
            } else {
                throw ParseError{"unknown keyword '" + keyword + "'"};
            }
            args.expectAllUsed();
        }
    } catch (const ParseError& error) {
        return {std::nullopt, "line " + std::to_string(lineNumber) + ": " + error.what};
    }
    return {std::move(scenario), {}};
}

}  // namespace halvo::sim
