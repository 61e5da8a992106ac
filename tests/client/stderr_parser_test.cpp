#include <gtest/gtest.h>

#include <cmath>

#include "client/stderr_parser.h"

namespace halvo::client {
namespace {

using Records = std::vector<StderrRecord>;

Signal signalOf(SignalKind kind, std::string detail = {}) {
    return Signal{kind, std::move(detail)};
}

// Everything the parser yields for `text`, fed in pieces of `pieceSize` bytes, then finished.
Records parseAll(std::string_view text, std::size_t pieceSize) {
    StderrParser parser;
    Records all;
    for (std::size_t at = 0; at < text.size(); at += pieceSize) {
        for (auto& record : parser.feed(text.substr(at, pieceSize))) {
            all.push_back(std::move(record));
        }
    }
    for (auto& record : parser.finish()) {
        all.push_back(std::move(record));
    }
    return all;
}

constexpr std::string_view kTranscript =
    "[2026-12-06T08:44:00Z] Halvo Audio Helper v1.1\n"
    "WAITING\n"
    "CAPTURE_STARTED\n"
    "[2026-12-06T08:44:01Z] Audio format: 48000.0Hz, 1ch, 32bit\n"
    "[2026-12-06T08:44:02Z] Stream error: device\ngone\n"
    "ERROR:STREAM_STOPPED:device\ngone\n"
    "ERROR:\n"
    "ERROR:NO_DISPLAY\n"
    "ERROR:PERMISSION_DENIED\n"
    "STOPPED\n";

TEST(StderrParser, ReadsATranscriptTheSameWhateverTheChunking) {
    const Records expected{
        Diagnostic{"2026-12-06T08:44:00Z", "Halvo Audio Helper v1.1"},
        signalOf(SignalKind::waiting),
        signalOf(SignalKind::captureStarted),
        AudioFormat{48000, 1, 32},
        Diagnostic{"2026-12-06T08:44:01Z", "Audio format: 48000.0Hz, 1ch, 32bit"},
        Diagnostic{"2026-12-06T08:44:02Z", "Stream error: device\ngone"},
        signalOf(SignalKind::streamStopped, "device\ngone"),
        signalOf(SignalKind::captureFailed, ""),
        signalOf(SignalKind::noDisplay),
        signalOf(SignalKind::permissionDenied),
        signalOf(SignalKind::stopped),
    };
    for (std::size_t pieceSize : {std::size_t{1}, std::size_t{7}, kTranscript.size()}) {
        EXPECT_EQ(parseAll(kTranscript, pieceSize), expected) << "pieces of " << pieceSize;
    }
}

TEST(StderrParser, HoldsADescriptionUntilTheNextLineOrARelease) {
    StderrParser parser;
    EXPECT_TRUE(parser.feed("ERROR:Device busy\n").empty());
    EXPECT_TRUE(parser.holdsRecord());
    EXPECT_TRUE(parser.feed("and more\n").empty());
    EXPECT_EQ(parser.release(),
              (Records{signalOf(SignalKind::captureFailed, "Device busy\nand more")}));
    EXPECT_FALSE(parser.holdsRecord());

    // Once released, a further line is stray text, not part of the error.
    EXPECT_EQ(parser.feed("late line\n"), (Records{Diagnostic{"", "late line"}}));
    // Signals without a description are never held.
    EXPECT_EQ(parser.feed("STOPPED\n"), Records{signalOf(SignalKind::stopped)});
    EXPECT_FALSE(parser.holdsRecord());
}

TEST(StderrParser, SurvivesGarbage) {
    StderrParser parser;
    // Binary bytes, an empty line, a near-miss of a signal and a bracket without "] ".
    const Records records =
        parser.feed(std::string("\x01\xff\x00zz\n", 6) + "\nWAITING \n[no closing bracket\n");
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], StderrRecord(Diagnostic{"", std::string("\x01\xff\x00zz", 5)}));
    EXPECT_EQ(records[1], StderrRecord(Diagnostic{"", ""}));
    EXPECT_EQ(records[2], StderrRecord(Diagnostic{"", "WAITING "}));
    EXPECT_EQ(parser.finish(), (Records{Diagnostic{"", "[no closing bracket"}}));
}

TEST(StderrParser, CutsEndlessLinesSoMemoryStaysBounded) {
    StderrParser parser;
    const std::string endless(StderrParser::kLongestLine * 3 + 5, 'x');
    const Records records = parser.feed(endless);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(std::get<Diagnostic>(records[0]).message.size(), StderrParser::kLongestLine);

    // Continuation lines stop growing a held description at the same bound.
    parser.feed("\nERROR:x\n");
    for (int i = 0; i < 100; ++i) {
        parser.feed(std::string(4096, 'y') + "\n");
    }
    const Records held = parser.release();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_LE(std::get<Signal>(held[0]).detail.size(), StderrParser::kLongestLine);
}

TEST(FormatLine, ReadsRateChannelsAndBits) {
    EXPECT_EQ(parseFormatMessage("Audio format: 44100.0Hz, 2ch, 32bit"),
              (AudioFormat{44100, 2, 32}));
    EXPECT_EQ(parseFormatMessage("Audio format: 22050.5Hz, 1ch, 16bit"),
              (AudioFormat{22050.5, 1, 16}));
    EXPECT_EQ(parseFormatMessage("Audio format: 8000Hz, 1ch, 8bit"), (AudioFormat{8000, 1, 8}));
}

TEST(FormatLine, RefusesWhatNoStreamCanHave) {
    for (const char* message : {
             "Audio format: infHz, 1ch, 32bit",
             "Audio format: nanHz, 1ch, 32bit",
             "Audio format: 0.0Hz, 1ch, 32bit",
             "Audio format: -48000.0Hz, 1ch, 32bit",
             "Audio format: 48000.0Hz, 0ch, 32bit",
             "Audio format: 48000.0Hz, 1ch, 0bit",
             "Audio format: 48000.0Hz, 1ch, 12bit",
             "Audio format: 48000.0Hz, 1ch, 32bit trailing",
             "Audio format: 48000.0Hz, 1ch",
             "Audio format: 48000.0 Hz, 1ch, 32bit",
             "Audio: 40 samples, 12 KB total",
         }) {
        EXPECT_FALSE(parseFormatMessage(message)) << message;
    }
}

}  // namespace
}  // namespace halvo::client
