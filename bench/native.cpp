#include "bench/native.h"

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "bench/measure.h"
#include "bench/recorders.h"
#include "bench/report.h"
#include "bench/tone.h"

namespace halvo::bench {
namespace {

using namespace std::chrono_literals;

// The latency every recorder asks for, in frames at 48 kHz: the helper's capture node asks 1024.
constexpr const char* kLatencyFrames = "1024";
// Settling after a recorder's launch, before its window opens.
constexpr auto kSettle = 3s;
const char* const kServerNames[] = {"pipewire", "pipewire-pulse", "wireplumber"};

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

// The server's processes by name, from the sound-server folder's pids.
std::map<std::string, pid_t> serverProcesses(const std::string& directory) {
    std::map<std::string, pid_t> found;
    std::ifstream pids(directory + "/pids");
    for (pid_t pid; pids >> pid;) {
        std::string name;
        std::getline(std::ifstream("/proc/" + std::to_string(pid) + "/comm"), name);
        for (const char* each : kServerNames) {
            if (name == each)
                found[name] = pid;
        }
    }
    return found;
}

long long cpuNs(pid_t pid) {
    long long sum = 0;
    for (const ThreadUsage& thread : threadUsage(pid))
        sum += thread.cpuNs;
    return sum;
}

// The graph's quantum as pw-top shows it (it has no batch mode in 0.3: run on a pseudo-terminal
// for two seconds); 0 when it cannot be read.
int graphQuantum() {
    const std::string screen =
        commandOutput("TERM=xterm script -qc 'timeout 2 pw-top' /dev/null 2>/dev/null");
    // A running node's line: state R, id, quantum, rate, then the wait time.
    static const std::regex running(R"(R\s+\d+\s+(\d+)\s+\d+\s+[0-9.]+[mu]?s)");
    int quantum = 0;
    for (auto it = std::sregex_iterator(screen.begin(), screen.end(), running);
         it != std::sregex_iterator(); ++it)
        quantum = std::max(quantum, std::stoi((*it)[1]));
    return quantum;
}

// What one recorder did over one window.
struct Window {
    double ownCpu = -1;                       // % of one core
    double wakeups = -1;                      // per second, all threads
    std::map<std::string, double> serverCpu;  // % of one core
    double systemCpu = -1;
    double quantum = 0;   // frames
    long long bytes = 0;  // of audio during the window
    std::vector<std::pair<std::string, std::pair<double, double>>> threads;  // CPU %, wake-ups/s
    std::string lastLines;  // of its standard error
};

// Reads what `fd` holds now, without waiting.
std::string available(int fd) {
    std::string text;
    char chunk[4096];
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, 0) > 0) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got <= 0)
            break;
        text.append(chunk, static_cast<std::size_t>(got));
    }
    return text;
}

// Runs `recorders` together; after kSettle, measures them and the server over `seconds`.
std::vector<Window> measureWindow(const std::vector<Recorder>& recorders,
                                  const std::map<std::string, pid_t>& servers, double seconds) {
    std::vector<std::unique_ptr<client::Subprocess>> children;
    std::vector<std::thread> drains;
    std::vector<long long> bytes(recorders.size(), 0);
    std::vector<std::atomic<bool>> counting(recorders.size());
    std::vector<Window> windows(recorders.size());
    const auto until =
        Clock::now() + kSettle + std::chrono::milliseconds(static_cast<int>(seconds * 1000)) + 30s;
    for (std::size_t r = 0; r < recorders.size(); ++r) {
        children.push_back(start(recorders[r]));
        if (!children.back()) {
            children.pop_back();
            for (std::size_t started = 0; started < children.size(); ++started) {
                recorders[started].stop(*children[started]);
                children[started]->waitFor(2s);
                drains[started].join();
            }
            return windows;  // figures of -1: not taken
        }
        drains.emplace_back(
            [fd = children.back()->standardOutput(), until, &count = bytes[r], &on = counting[r]] {
                // Bounded, should a recorder not end when told to.
                drain(fd, until, [&](const char*, std::size_t size) {
                    if (on)
                        count += static_cast<long long>(size);
                });
            });
    }
    std::this_thread::sleep_for(kSettle);
    const auto take = [&] {
        std::vector<std::vector<ThreadUsage>> usage;
        for (const auto& child : children)
            usage.push_back(threadUsage(child->pid()));
        std::map<std::string, long long> server;
        for (const auto& [name, pid] : servers)
            server[name] = cpuNs(pid);
        return std::make_tuple(Clock::now(), usage, server);
    };
    for (auto& on : counting)
        on = true;
    const auto [begin, usageBefore, serverBefore] = take();
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(seconds * 1000)));
    const auto [end, usageAfter, serverAfter] = take();
    for (auto& on : counting)
        on = false;
    const int quantum = graphQuantum();
    const double ns = static_cast<double>((end - begin).count());
    double serversCpu = 0;
    std::map<std::string, double> serverCpu;
    for (const auto& [name, after] : serverAfter) {
        serverCpu[name] = 100.0 * static_cast<double>(after - serverBefore.at(name)) / ns;
        serversCpu += serverCpu[name];
    }
    for (std::size_t r = 0; r < recorders.size(); ++r) {
        Window& w = windows[r];
        long long cpu = 0, switches = 0;
        for (const ThreadUsage& after : usageAfter[r]) {
            long long threadCpu = after.cpuNs, threadSwitches = after.switches;
            for (const ThreadUsage& before : usageBefore[r]) {
                if (before.tid == after.tid) {
                    threadCpu -= before.cpuNs;
                    threadSwitches -= before.switches;
                }
            }
            cpu += threadCpu;
            switches += threadSwitches;
            w.threads.push_back({after.name + " (" + std::to_string(after.tid) + ")",
                                 {100.0 * static_cast<double>(threadCpu) / ns,
                                  static_cast<double>(threadSwitches) * 1e9 / ns}});
        }
        w.ownCpu = 100.0 * static_cast<double>(cpu) / ns;
        w.wakeups = static_cast<double>(switches) * 1e9 / ns;
        w.serverCpu = serverCpu;
        w.systemCpu = w.ownCpu + serversCpu;
        w.quantum = quantum;
    }
    for (std::size_t r = 0; r < recorders.size(); ++r) {
        recorders[r].stop(*children[r]);
        children[r]->waitFor(2s);
        drains[r].join();
        windows[r].bytes = bytes[r];
        const std::string lines = available(children[r]->standardError());
        const auto error = lines.find("ERROR:");
        if (error != std::string::npos)
            windows[r].lastLines = lines.substr(error, lines.find('\n', error) - error);
    }
    return windows;
}

std::string cell(double value, int digits) {
    return value < 0 ? "-" : fixed(value, digits);
}

struct Measures {
    std::vector<std::vector<Window>> rounds;  // [round][recorder]

    double median(std::size_t recorder, double Window::*member) const {
        std::vector<double> values;
        for (const auto& round : rounds)
            values.push_back(round[recorder].*member);
        return bench::median(values);
    }
    double medianServer(std::size_t recorder, const std::string& name) const {
        std::vector<double> values;
        for (const auto& round : rounds) {
            const auto found = round[recorder].serverCpu.find(name);
            values.push_back(found == round[recorder].serverCpu.end() ? 0 : found->second);
        }
        return bench::median(values);
    }
};

std::string roundsTable(const std::vector<Recorder>& recorders, const Measures& measures) {
    Table table;
    table.hasTargets = false;
    table.headers = {"round",         "recorder",       "own CPU %",
                     "wake-ups / s",  "pipewire %",     "pipewire-pulse %",
                     "wireplumber %", "whole system %", "quantum"};
    for (std::size_t round = 0; round < measures.rounds.size(); ++round) {
        for (std::size_t r = 0; r < recorders.size(); ++r) {
            const Window& w = measures.rounds[round][r];
            Row row{std::to_string(round + 1), {recorders[r].name}, {}, "", std::nullopt};
            row.figures.push_back(cell(w.ownCpu, 3));
            row.figures.push_back(cell(w.wakeups, 1));
            for (const char* name : kServerNames) {
                const auto found = w.serverCpu.find(name);
                row.figures.push_back(found == w.serverCpu.end() ? "-" : fixed(found->second, 3));
            }
            row.figures.push_back(cell(w.systemCpu, 3));
            row.figures.push_back(fixed(w.quantum, 0));
            table.rows.push_back(row);
        }
    }
    return table.markdown();
}

std::string threadsTable(const std::vector<Recorder>& recorders, const std::vector<Window>& last) {
    Table table;
    table.hasTargets = false;
    table.headers = {"recorder", "thread (tid)", "CPU %", "wake-ups / s"};
    for (std::size_t r = 0; r < recorders.size(); ++r) {
        for (const auto& [name, figures] : last[r].threads)
            table.rows.push_back({recorders[r].name,
                                  {name, fixed(figures.first, 3), fixed(figures.second, 1)},
                                  {},
                                  "",
                                  std::nullopt});
    }
    return table.markdown();
}

std::string ratio(double ours, double theirs) {
    return ours >= 0 && theirs > 0 ? fixed(ours / theirs, 2) + "x" : "-";
}

Row targetRow(std::string measure, std::vector<double> values, int digits, std::string target,
              bool met) {
    Row row{std::move(measure), {}, {ratio(values[0], values[1])}, std::move(target), met};
    for (double value : values)
        row.figures.push_back(cell(value, digits));
    return row;
}

Recorder nativeHelper(const std::string& path, const std::string& name,
                      std::vector<std::string> arguments) {
    Recorder recorder = helperRecorder(path);
    recorder.name = name;
    recorder.argv.insert(recorder.argv.end(), arguments.begin(), arguments.end());
    return recorder;
}

// The line the helper names its service with, from one launch.
std::string soundServerLine(const Recorder& helper) {
    auto child = start(helper);
    if (!child)
        return "";
    std::string text;
    const auto until = Clock::now() + 5s;
    while (text.find("CAPTURE_STARTED") == std::string::npos && Clock::now() < until) {
        std::this_thread::sleep_for(50ms);
        text += available(child->standardError());
    }
    helper.stop(*child);
    child->waitFor(2s);
    const auto at = text.find("Sound server: ");
    return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

}  // namespace

int runNative(const NativeOptions& options, std::string& markdown) {
    const auto servers = serverProcesses(options.serverDirectory);
    if (servers.size() != std::size(kServerNames)) {
        markdown = "The server's processes were not found in " + options.serverDirectory + ".\n";
        return 1;
    }
    const std::string sink = commandOutput("pactl get-default-sink 2>/dev/null");
    const std::vector<Recorder> recorders = {
        nativeHelper(options.helper, "helper (native)", {"--backend", "pipewire"}),
        pwRecordRecorder(sink.substr(0, sink.find('\n')), options.runtimeDirectory, kLatencyFrames),
        nativeHelper(options.helper, "helper (pulse path)", {"--backend", "pulse"})};
    TonePlayer player;
    if (!player.ok()) {
        markdown = "pacat did not start.\n";
        return 1;
    }
    player.set(true);
    Measures measures;
    for (int round = 0; round < options.rounds; ++round) {
        measures.rounds.emplace_back();
        // Each recorder alone, so that the server's CPU is its; the order turns each round.
        for (std::size_t i = 0; i < recorders.size(); ++i) {
            const std::size_t r = (i + static_cast<std::size_t>(round)) % recorders.size();
            std::fprintf(stderr, "round %d: %s\n", round + 1, recorders[r].name.c_str());
            measures.rounds.back().resize(recorders.size());
            measures.rounds.back()[r] = measureWindow({recorders[r]}, servers, options.seconds)[0];
        }
    }
    // Launches: the helper as a parent starts it (it chooses its service) against pw-record.
    const Recorder chosen = nativeHelper(options.helper, "helper", {});
    const std::string banner = soundServerLine(chosen);
    const std::vector<double> launch = launchMedians({chosen, recorders[1]}, options.launches);

    const auto m = [&](std::size_t r, double Window::*member) {
        return measures.median(r, member);
    };
    Table table;
    table.headers = {"measure (median of " + std::to_string(options.rounds) + " rounds)",
                     recorders[0].name,
                     "pw-record",
                     recorders[2].name,
                     "native vs pw-record",
                     "target",
                     "met"};
    std::vector<double> quantum;
    for (std::size_t r = 0; r < recorders.size(); ++r)
        quantum.push_back(m(r, &Window::quantum));
    table.rows.push_back({"graph quantum (frames, pw-top)",
                          {fixed(quantum[0], 0), fixed(quantum[1], 0), fixed(quantum[2], 0)},
                          {"-"},
                          "the same",
                          quantum[0] == quantum[1] && quantum[0] > 0});
    const std::vector<double> own = {m(0, &Window::ownCpu), m(1, &Window::ownCpu),
                                     m(2, &Window::ownCpu)};
    table.rows.push_back(targetRow("own CPU (% of one core, schedstat)", own, 3,
                                   "<= 1.0x pw-record", own[1] > 0 && own[0] <= own[1]));
    const std::vector<double> wake = {m(0, &Window::wakeups), m(1, &Window::wakeups),
                                      m(2, &Window::wakeups)};
    table.rows.push_back(targetRow("wake-ups / s (voluntary + involuntary, all threads)", wake, 1,
                                   "<= 1.0x pw-record", wake[1] > 0 && wake[0] <= wake[1]));
    for (const char* name : kServerNames) {
        std::vector<double> cpu;
        for (std::size_t r = 0; r < recorders.size(); ++r)
            cpu.push_back(measures.medianServer(r, name));
        Row row = targetRow(std::string(name) + " CPU (%)", cpu, 3, "", true);
        row.met.reset();
        table.rows.push_back(row);
    }
    const std::vector<double> system = {m(0, &Window::systemCpu), m(1, &Window::systemCpu),
                                        m(2, &Window::systemCpu)};
    table.rows.push_back(
        targetRow("whole system CPU (%): recorder + the three above", system, 3,
                  "<= pw-record and <= pulse path",
                  system[1] > 0 && system[0] <= system[1] && system[0] <= system[2]));
    Row launchRow{
        "launch to first audio byte, median of " + std::to_string(options.launches) +
            " alternating (ms)",
        {cell(launch[0], 1), cell(launch[1], 1), "-"},
        {launch[0] >= 0 && launch[1] >= 0 ? fixed(launch[0] - launch[1], 1) + " ms" : "-"},
        "<= pw-record + 5 ms",
        launch[0] >= 0 && launch[1] >= 0 && launch[0] <= launch[1] + 5};
    table.rows.push_back(launchRow);

    std::ostringstream text;
    text << table.markdown() << "\nThe launched helper chooses its service itself: `"
         << (banner.empty() ? "no Sound server line" : banner) << "`.\n\nEach round, "
         << options.seconds << " s windows:\n\n"
         << roundsTable(recorders, measures) << "\nEach thread over the last round's windows:\n\n"
         << threadsTable(recorders, measures.rounds.back());
    markdown = text.str();
    for (const Row& row : table.rows) {
        if (row.met == false)
            return 3;
    }
    return 0;
}

int runNativeApplications(const NativeOptions& options, std::string& markdown) {
    const auto servers = serverProcesses(options.serverDirectory);
    const int seconds = static_cast<int>((options.seconds + 10) * options.rounds) + 30;
    std::vector<std::unique_ptr<client::Subprocess>> players = startApplications(seconds);
    if (players.empty()) {
        markdown = "The applications did not start.\n";
        return 1;
    }
    const std::vector<Recorder> recorders = {
        nativeHelper(options.helper, "helper (native)", {"--backend", "pipewire"}),
        nativeHelper(options.helper, "helper --exclude halvo-bench-3 (native)",
                     {"--backend", "pipewire", "--exclude", "halvo-bench-3"})};
    Measures measures;
    for (int round = 0; round < options.rounds; ++round) {
        std::fprintf(stderr, "applications, round %d\n", round + 1);
        measures.rounds.push_back(measureWindow(recorders, servers, options.seconds));
    }
    stopApplications(players);
    const Window& excluding = measures.rounds.back()[1];
    if (excluding.bytes == 0) {
        markdown = "Pending: the native helper with `--exclude` recorded nothing (" +
                   (excluding.lastLines.empty() ? std::string("no error line")
                                                : "`" + excluding.lastLines + "`") +
                   "). Its whole-output capture, beside it: " +
                   fixed(measures.median(0, &Window::ownCpu), 3) + "% of one core.\n";
        return 3;
    }
    const std::vector<double> own = {measures.median(0, &Window::ownCpu),
                                     measures.median(1, &Window::ownCpu)};
    Table table;
    table.headers = {"measure (median of " + std::to_string(options.rounds) + " rounds)",
                     recorders[0].name,
                     recorders[1].name,
                     "vs whole output",
                     "target",
                     "met"};
    table.rows.push_back({"own CPU (% of one core, schedstat)",
                          {fixed(own[0], 3), fixed(own[1], 3)},
                          {ratio(own[1], own[0])},
                          "<= 1.3x whole output",
                          own[0] > 0 && own[1] <= 1.3 * own[0]});
    table.rows.push_back(
        {"wake-ups / s (all threads)",
         {fixed(measures.median(0, &Window::wakeups), 1),
          fixed(measures.median(1, &Window::wakeups), 1)},
         {ratio(measures.median(1, &Window::wakeups), measures.median(0, &Window::wakeups))},
         "",
         std::nullopt});
    markdown = table.markdown();
    return table.allMet() ? 0 : 3;
}

}  // namespace halvo::bench
