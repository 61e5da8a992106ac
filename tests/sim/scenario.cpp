#include "tests/sim/scenario.h"

#include <charconv>
#include <regex>
#include <sstream>
#include <stdexcept>

#include "platform/process.h"

namespace halvo::sim {

namespace {

using Failure = std::runtime_error;

// A line: words (the first is its keyword) and key=value options, up to a # that starts a
// comment. A word or value in "quotes" may hold spaces, # and the escapes \n, \t, \" and \\.
struct Line {
    std::vector<std::string> words;
    std::map<std::string, std::string> options;

    explicit Line(const std::string& text) {
        static const std::regex word(R"re(\s*(?:(\w+)=)?(?:"((?:[^"\\]|\\.)*)"|([^\s"#]+)))re");
        static const std::regex rest(R"(\s*(#.*)?)");
        auto at = text.cbegin();
        for (std::smatch m;
             std::regex_search(at, text.cend(), m, word, std::regex_constants::match_continuous);
             at = m[0].second) {
            std::string value = m[3];
            for (auto c = m[2].first; c != m[2].second; ++c) {
                // The pattern puts a character after every backslash.
                const char escaped = *c == '\\' ? *++c : '\0';
                value += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : *c;
            }
            (m[1].matched ? options[m[1]] : words.emplace_back()) = value;
        }
        if (!std::regex_match(at, text.cend(), rest)) {
            throw Failure("cannot read '" + std::string(at, text.cend()) + "'");
        }
    }

    std::string word(std::size_t index) const { return index < words.size() ? words[index] : ""; }
    // The option `key` as a T made of its text, taken out: what is left is refused.
    template <typename T = std::string>
    std::optional<T> take(const std::string& key) {
        auto found = options.extract(key);
        return found ? std::optional(T{found.mapped()}) : std::nullopt;
    }
};

std::int64_t toInteger(const std::string& text) {
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        throw Failure("not an integer: '" + text + "'");
    }
    return value;
}

ContentAnswer parseContent(Line& line) {
    ContentAnswer answer;
    if ((answer.error = line.take<Error>("error"))) {
        answer.content.reset();
        return answer;
    }
    if (auto displays = line.take("displays")) {  // WIDTHxHEIGHT,...
        answer.content->displays.clear();
        std::stringstream list(*displays);
        for (std::string item; std::getline(list, item, ',');) {
            const std::size_t x = item.find('x');
            answer.content->displays.push_back(
                Display{static_cast<std::uint32_t>(answer.content->displays.size() + 1),
                        toInteger(item.substr(0, x)), toInteger(item.substr(x + 1))});
        }
    }
    std::stringstream apps(line.take("apps").value_or(""));
    for (std::string item; std::getline(apps, item, ',');) {
        const auto pid = item == "self" ? platform::processIdentifier()
                                        : static_cast<std::int32_t>(toInteger(item));
        answer.content->applications.push_back(
            RunningApplication{pid, "app " + std::to_string(pid)});
    }
    return answer;
}

StreamEvent parseBuffers(Line& line) {
    if (line.word(1).empty()) {
        throw Failure("buffers needs a count or 'forever'");
    }
    StreamEvent batch;
    batch.count = line.word(1) == "forever" ? StreamEvent::kForever : toInteger(line.word(1));
    batch.bytes = static_cast<std::size_t>(toInteger(line.take("bytes").value_or("4096")));
    if (batch.bytes > StreamEvent::kMostBytes) {
        throw Failure("a buffer holds at most 1 MiB");
    }
    batch.intervalMs = toInteger(line.take("interval").value_or("0"));
    batch.early = line.take("early") == "yes";
    return batch;
}

}  // namespace

Scenario parseScenario(const std::string& text) {
    Scenario scenario;
    std::vector<StreamEvent>* events = nullptr;  // those of the last `stream` line
    std::stringstream lines(text);
    int number = 0;
    for (std::string content; std::getline(lines, content);) {
        try {
            ++number;
            Line line(content);
            const std::string keyword = line.word(0);
            if (keyword == "content") {
                scenario.contentAnswers.push_back(parseContent(line));
            } else if (keyword == "start") {
                scenario.startErrors.push_back(line.take<Error>("error"));
            } else if (keyword == "delay") {
                scenario.contentDelayMs = toInteger(line.take("content").value_or("0"));
                scenario.startDelayMs = toInteger(line.take("start").value_or("0"));
            } else if (keyword == "playing") {
                scenario.playing.push_back(PlayingApplication{
                    static_cast<std::int32_t>(toInteger(line.take("pid").value_or("0"))),
                    line.take("name").value_or(""), line.take("binary").value_or("")});
            } else if (keyword == "stream") {  // all streams, or with a number the nth started
                const auto ordinal = toInteger(line.word(1).empty() ? "0" : line.word(1));
                events = &scenario.streams[static_cast<int>(ordinal)];
            } else if (events && keyword == "buffers") {
                events->push_back(parseBuffers(line));
            } else if (events && keyword == "system-stop") {
                events->emplace_back().systemStop = Error{line.word(1)};
            } else if (!keyword.empty()) {
                throw Failure("unknown keyword '" + keyword + "' here");
            }
            if (!line.options.empty()) {
                throw Failure("unknown option '" + line.options.begin()->first + "'");
            }
        } catch (const std::exception& failure) {
            throw Failure("line " + std::to_string(number) + ": " + failure.what());
        }
    }
    return scenario;
}

}  // namespace halvo::sim
