// Measures the helper against parec, PulseAudio's own recorder at low latency, side by side on
// the same sound server, and the helper's sink path against cat. Prints a table with ratios and,
// with --markdown FILE, writes it there with the machine and the date.
#include <signal.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "bench/measure.h"

namespace halvo::bench {
namespace {

using namespace std::chrono_literals;

struct Options {
    std::string helper;
    std::string simHelper;
    int launches = 10;
    double sessionSeconds = 30;
    double throughputSeconds = 2;
    std::string markdown;
};

std::string commandOutput(const std::string& command) {
    std::string text;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[512];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0)
            text.append(chunk, got);
        ::pclose(pipe);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return text;
}

Recorder helperRecorder(const Options& options) {
    return {"halvo-audio-helper", {options.helper}, [](client::Subprocess& child) {
                child.write("QUIT\n");
                child.closeStandardInput();
            }};
}

Recorder parecRecorder(const std::string& monitor) {
    return {"parec",
            {"parec", "-d", monitor, "--format=float32le", "--rate=48000", "--channels=1", "--raw",
             "--latency-msec=20"},
            [](client::Subprocess& child) { child.sendSignal(SIGINT); }};
}

// Plays silence or a 440 Hz tone into the default sink in real time, 5 ms at a time, so that
// the moment the tone starts is known to within one block.
class TonePlayer {
  public:
    TonePlayer() {
        std::string error;
        player_ = client::Subprocess::spawn({"pacat", "--playback", "--format=float32le",
                                             "--rate=48000", "--channels=1", "--latency-msec=10"},
                                            &error);
        if (player_)
            thread_ = std::thread([this] { play(); });
    }
    ~TonePlayer() {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    bool ok() const { return player_ != nullptr; }
    // Turns the tone on or off; returns when the first block of the new kind was written.
    Clock::time_point set(bool on) {
        std::unique_lock lock(mutex_);
        wanted_ = on;
        changed_.wait(lock, [&] { return playing_ == on; });
        return switchedAt_;
    }

  private:
    void play() {
        constexpr int kBlock = 240;
        std::vector<float> block(kBlock);
        std::uint64_t sample = 0;
        auto next = Clock::now();
        while (running_) {
            bool on;
            {
                std::lock_guard lock(mutex_);
                on = wanted_;
            }
            for (float& value : block) {
                value =
                    on ? 0.5f * std::sin(2 * M_PI * 440.0 * static_cast<double>(sample) / 48000.0)
                       : 0.0f;
                ++sample;
            }
            if (!player_->write(
                    {reinterpret_cast<const char*>(block.data()), sizeof(float) * kBlock}))
                return;
            {
                std::lock_guard lock(mutex_);
                if (playing_ != on) {
                    playing_ = on;
                    switchedAt_ = Clock::now();
                    changed_.notify_all();
                }
            }
            next += 5ms;
            std::this_thread::sleep_until(next);
        }
    }

    std::unique_ptr<client::Subprocess> player_;
    std::thread thread_;
    std::atomic<bool> running_{true};
    std::mutex mutex_;  // guards wanted_, playing_, switchedAt_
    std::condition_variable changed_;
    bool wanted_ = false;
    bool playing_ = false;
    Clock::time_point switchedAt_;
};

// Reads a recorder's PCM for a whole session and notes when each tone onset arrived.
class OnsetWatcher {
  public:
    OnsetWatcher(int fd, Clock::time_point until)
        : thread_([this, fd, until] {
              drain(fd, until, [this](const char* data, std::size_t size) { take(data, size); });
          }) {}
    ~OnsetWatcher() { join(); }
    void join() {
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<Clock::time_point> onsets() {
        std::lock_guard lock(mutex_);
        return onsets_;
    }
    std::uint64_t bytes() {
        std::lock_guard lock(mutex_);
        return bytes_;
    }

  private:
    void take(const char* data, std::size_t size) {
        const auto now = Clock::now();
        std::lock_guard lock(mutex_);
        bytes_ += size;
        carry_.append(data, size);
        const std::size_t whole = carry_.size() / 4 * 4;
        for (std::size_t at = 0; at < whole; at += 4) {
            float value;
            std::memcpy(&value, carry_.data() + at, 4);
            const bool loud = std::fabs(value) > 0.05f;
            // 20 ms of quiet (a tone crosses zero often, but never for that long) ends a tone.
            quietSamples_ = loud ? 0 : quietSamples_ + 1;
            if (loud && !inTone_) {
                inTone_ = true;
                onsets_.push_back(now);
            } else if (inTone_ && quietSamples_ > 960) {
                inTone_ = false;
            }
        }
        carry_.erase(0, whole);
    }

    std::mutex mutex_;  // guards everything below
    std::string carry_;
    std::uint64_t bytes_ = 0;
    bool inTone_ = false;
    std::uint64_t quietSamples_ = 0;
    std::vector<Clock::time_point> onsets_;
    std::thread thread_;
};

constexpr int kOnsets = 20;

struct SessionFigures {
    double latencyMs = -1;
    double cpuPerMinute = -1;
    std::int64_t rssEarlyKiB = -1;
    std::int64_t rssLateKiB = -1;
};

// Runs both recorders at once for the whole session: tone onsets first, then steady tone.
std::pair<SessionFigures, SessionFigures> session(const Recorder& helper, const Recorder& parec,
                                                  TonePlayer& player, double seconds) {
    player.set(false);
    const auto begin = Clock::now();
    const auto until = begin + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    auto a = start(helper);
    auto b = start(parec);
    OnsetWatcher watchA(a->standardOutput(), until);
    OnsetWatcher watchB(b->standardOutput(), until);
    std::this_thread::sleep_for(1s);

    std::vector<Clock::time_point> sent;
    for (int i = 0; i < kOnsets; ++i) {
        sent.push_back(player.set(true));
        std::this_thread::sleep_for(150ms);
        player.set(false);
        // A pause that is no whole number of fragments, so onsets fall at every phase of them.
        std::this_thread::sleep_for(std::chrono::milliseconds(250 + 7 * i % 20));
    }
    player.set(true);
    const double early = std::max(10.0, seconds / 10);
    std::this_thread::sleep_until(begin +
                                  std::chrono::milliseconds(static_cast<int>(early * 1000)));
    SessionFigures fa, fb;
    fa.rssEarlyKiB = residentKiB(a->pid());
    fb.rssEarlyKiB = residentKiB(b->pid());
    std::this_thread::sleep_until(until - 200ms);
    fa.rssLateKiB = residentKiB(a->pid());
    fb.rssLateKiB = residentKiB(b->pid());
    const double elapsed = Seconds(Clock::now() - begin).count();
    fa.cpuPerMinute = cpuSeconds(a->pid()) * 60 / elapsed;
    fb.cpuPerMinute = cpuSeconds(b->pid()) * 60 / elapsed;
    watchA.join();
    watchB.join();
    helper.stop(*a);
    parec.stop(*b);

    const auto latency = [&](OnsetWatcher& watcher) {
        std::vector<double> delays;
        const auto arrived = watcher.onsets();
        for (const auto& onset : sent) {
            for (const auto& when : arrived) {
                if (when >= onset) {
                    delays.push_back(
                        std::chrono::duration<double, std::milli>(when - onset).count());
                    break;
                }
            }
        }
        return median(delays);
    };
    fa.latencyMs = latency(watchA);
    fb.latencyMs = latency(watchB);
    player.set(false);
    return {fa, fb};
}

// Bytes per second through a pipe read as fast as possible, from the first byte on.
double pipeRate(const std::vector<std::string>& argv, double seconds,
                const std::function<void(client::Subprocess&)>& stop) {
    std::string error;
    auto child = client::Subprocess::spawn(argv, &error);
    if (!child)
        return -1;
    std::uint64_t bytes = 0;
    std::optional<Clock::time_point> first;
    Clock::time_point last;
    drain(child->standardOutput(),
          Clock::now() + std::chrono::milliseconds(static_cast<int>(seconds * 1000) + 500),
          [&](const char*, std::size_t size) {
              if (!first) {
                  first = Clock::now();
                  return;  // the first read only starts the clock
              }
              bytes += size;
              last = Clock::now();
              if (Seconds(last - *first).count() >= seconds)
                  stop(*child);
          });
    stop(*child);
    if (!first)
        return -1;
    return static_cast<double>(bytes) / Seconds(last - *first).count();
}

struct Row {
    std::string measure;
    std::string ours;
    std::string theirs;
    double ratio;
    std::string target;
    bool met;
};

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string machineDescription() {
    utsname name{};
    ::uname(&name);
    const std::string cpu =
        commandOutput("grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'");
    return cpu + ", " + std::to_string(std::thread::hardware_concurrency()) + " cores, " +
           name.sysname + " " + name.release;
}

int run(const Options& options) {
    const std::string defaultSink = commandOutput("pactl get-default-sink 2>/dev/null");
    if (defaultSink.empty()) {
        std::cerr << "halvo-bench: no sound server answers (is PULSE_SERVER set?)\n";
        return 1;
    }
    const Recorder helper = helperRecorder(options);
    const Recorder parec = parecRecorder(defaultSink + ".monitor");
    TonePlayer player;
    if (!player.ok()) {
        std::cerr << "halvo-bench: cannot start pacat\n";
        return 1;
    }
    player.set(true);

    std::vector<double> launchHelper, launchParec;
    for (int i = 0; i < options.launches; ++i) {
        launchHelper.push_back(launchToFirstByte(helper) * 1000);
        launchParec.push_back(launchToFirstByte(parec) * 1000);
    }
    const double launchA = median(launchHelper);
    const double launchB = median(launchParec);

    const auto [a, b] = session(helper, parec, player, options.sessionSeconds);

    // The sink path alone: the simulated service floods 64 KiB buffers; cat moves a file of
    // the same size held in memory. Both are read through a pipe by the same loop, in turns,
    // and each keeps its best of three so a burst of load elsewhere does not decide the ratio.
    const std::string scenario = "/tmp/halvo-bench-flood.scn";
    std::ofstream(scenario) << "stream\n  buffers forever bytes=65536\n";
    const std::string file =
        (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/halvo-bench-bytes");
    commandOutput("head -c 1073741824 /dev/urandom > " + file);
    const auto kill = [](client::Subprocess& child) { child.sendSignal(SIGKILL); };
    double sinkRate = 0, catRate = 0;
    for (int round = 0; round < 3; ++round) {
        sinkRate = std::max(
            sinkRate, pipeRate({options.simHelper, scenario}, options.throughputSeconds, kill));
        catRate = std::max(
            catRate, pipeRate({"cat", file, file, file, file}, options.throughputSeconds, kill));
    }
    std::remove(file.c_str());
    std::remove(scenario.c_str());

    const double growth = static_cast<double>(a.rssLateKiB - a.rssEarlyKiB);
    std::vector<Row> rows = {
        {"launch to first PCM byte, median of " + std::to_string(options.launches) + " (ms)",
         fixed(launchA, 1), fixed(launchB, 1), launchA / launchB, "<= 1.5x and <= 60 ms",
         launchA <= 1.5 * launchB && launchA <= 60},
        {"tone onset to parent, median of " + std::to_string(kOnsets) + " (ms)",
         fixed(a.latencyMs, 1), fixed(b.latencyMs, 1), a.latencyMs / b.latencyMs, "<= 1.0x",
         a.latencyMs <= b.latencyMs},
        {"CPU seconds per minute of capture", fixed(a.cpuPerMinute, 3), fixed(b.cpuPerMinute, 3),
         a.cpuPerMinute / b.cpuPerMinute, "<= 1.2x", a.cpuPerMinute <= 1.2 * b.cpuPerMinute},
        {"resident memory at the end (KiB)", std::to_string(a.rssLateKiB),
         std::to_string(b.rssLateKiB),
         static_cast<double>(a.rssLateKiB) / static_cast<double>(b.rssLateKiB), "<= 8192 KiB",
         a.rssLateKiB <= 8192},
        {"resident memory growth after the first tenth (KiB)", fixed(growth, 0),
         std::to_string(b.rssLateKiB - b.rssEarlyKiB), 0, "<= 128 KiB", growth <= 128},
        {"sink path vs cat through a pipe (GB/s)", fixed(sinkRate / 1e9, 2),
         fixed(catRate / 1e9, 2), sinkRate / catRate, ">= 0.5x and >= 1 GB/s",
         sinkRate >= 0.5 * catRate && sinkRate >= 1e9},
    };

    std::ostringstream table;
    table << "| measure | halvo-audio-helper | parec / cat | ratio | target | met |\n"
          << "|---|---|---|---|---|---|\n";
    bool allMet = true;
    for (Row& row : rows) {
        // A figure that could not be taken is printed as measured (negative) and never meets.
        if (row.ours.rfind('-', 0) == 0 || row.theirs.rfind('-', 0) == 0)
            row.met = false;
        table << "| " << row.measure << " | " << row.ours << " | " << row.theirs << " | "
              << (row.ratio > 0 ? fixed(row.ratio, 2) : "-") << " | " << row.target << " | "
              << (row.met ? "yes" : "NO") << " |\n";
        allMet = allMet && row.met;
    }
    std::time_t now = std::time(nullptr);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", std::gmtime(&now));
    std::ostringstream header;
    header << "Machine: " << machineDescription() << "\n\nDate: " << date
           << "\n\nCapture session: " << options.sessionSeconds << " s of both recorders at once;"
           << " sink path: best of three " << options.throughputSeconds << " s runs each.\n\n";
    std::cout << header.str() << table.str();
    if (!options.markdown.empty()) {
        // What people wrote under "## Notes" survives a new run of the figures.
        std::string notes;
        if (std::ifstream previous(options.markdown); previous) {
            const std::string text((std::istreambuf_iterator<char>(previous)), {});
            if (const auto at = text.find("\n## Notes"); at != std::string::npos) {
                notes = text.substr(at);
            }
        }
        std::ofstream out(options.markdown);
        out << "# Benchmarks\n\nWritten by `scripts/bench.sh`; see that script for how the"
            << " figures are taken.\n\n"
            << header.str() << table.str() << notes;
    }
    return allMet ? 0 : 3;
}

}  // namespace
}  // namespace halvo::bench

int main(int argc, char** argv) {
    halvo::bench::Options options;
    const std::string self = argv[0];
    const std::string directory = self.substr(0, self.rfind('/') + 1);
    options.helper = directory + "../halvo-audio-helper";
    options.simHelper = directory + "../halvo-audio-helper-sim";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (arg == "--helper")
            options.helper = value();
        else if (arg == "--sim")
            options.simHelper = value();
        else if (arg == "--launches")
            options.launches = std::stoi(value());
        else if (arg == "--session-seconds")
            options.sessionSeconds = std::stod(value());
        else if (arg == "--throughput-seconds")
            options.throughputSeconds = std::stod(value());
        else if (arg == "--markdown")
            options.markdown = value();
        else {
            std::cerr << "usage: halvo-bench [--helper PATH] [--sim PATH] [--launches N]"
                         " [--session-seconds S] [--throughput-seconds S] [--markdown FILE]\n";
            return 2;
        }
    }
    return halvo::bench::run(options);
}
