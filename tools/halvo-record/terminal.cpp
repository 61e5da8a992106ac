#include "tools/halvo-record/terminal.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace halvo::record {

KeyboardInput::KeyboardInput() {
    termios settings{};
    if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &settings) != 0) {
        return;
    }
    saved_ = settings;
    settings.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (::tcsetattr(STDIN_FILENO, TCSANOW, &settings) != 0) {
        saved_.reset();
    }
}

KeyboardInput::~KeyboardInput() {
    if (saved_) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &*saved_);
    }
}

std::string KeyboardInput::readKeys() {
    std::string keys;
    if (!saved_) {
        return keys;
    }
    char buffer[64];
    ssize_t got = 0;
    // VMIN = VTIME = 0: read() returns at once with what is there.
    while ((got = ::read(STDIN_FILENO, buffer, sizeof buffer)) > 0) {
        keys.append(buffer, static_cast<std::size_t>(got));
    }
    return keys;
}

namespace {

std::string clockText(double seconds) {
    const auto tenths = static_cast<long long>(seconds * 10);
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld.%lld", tenths / 600, tenths / 10 % 60,
                  tenths % 10);
    return text;
}

std::string decibels(double amplitude) {
    const double db = toDbfs(amplitude);
    char text[16];
    if (db < -99) {
        return " -inf";
    }
    std::snprintf(text, sizeof text, "%5.1f", db);
    return text;
}

std::string size(std::uint64_t bytes) {
    const bool megabytes = bytes >= 1024 * 1024;
    char text[32];
    std::snprintf(text, sizeof text, megabytes ? "%5.1f MB" : "%5.1f KB",
                  static_cast<double>(bytes) / (megabytes ? 1024 * 1024 : 1024));
    return text;
}

// A bar over -60..0 dBFS. Built without "literal" + string, on which g++ 12 at -O3 warns
// falsely (-Wrestrict).
std::string meterBar(double peak) {
    constexpr int kWidth = 20;
    const double db = toDbfs(peak);
    const int filled =
        std::clamp(static_cast<int>(std::lround((db + 60) / 60 * kWidth)), 0, kWidth);
    std::string bar(kWidth + 2, '-');
    bar.front() = '[';
    bar.replace(1, static_cast<std::size_t>(filled), static_cast<std::size_t>(filled), '#');
    bar.back() = ']';
    return bar;
}

}  // namespace

std::string statusLine(const Recording::Progress& progress, const Levels& shown,
                       std::optional<double> seconds, TakeState state) {
    const bool paused = state == TakeState::paused;
    std::string line = paused ? "PAUSED " : state == TakeState::retrying ? "RETRY  " : "REC    ";
    line += clockText(progress.seconds) +
            (seconds ? std::string(" / ") + clockText(*seconds) : "") + "  " +
            size(progress.bytes) + "  peak " + decibels(shown.peak) + " dBFS  rms " +
            decibels(shown.rms) + " dBFS  " + meterBar(shown.peak);
    line += paused                         ? "  space: resume"
            : state == TakeState::retrying ? "  waiting for the capture"
                                           : "  space: pause";
    return line;
}

std::string inPlace(const std::string& line) {
    return "\r" + line + "\x1b[K";
}

}  // namespace halvo::record
