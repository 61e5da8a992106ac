#include "bench/session.h"

#include <algorithm>
#include <thread>

namespace halvo::bench {

using namespace std::chrono_literals;

std::vector<double> launchMedians(const std::vector<Recorder>& recorders, int launches) {
    std::vector<std::vector<double>> times(recorders.size());
    for (int i = 0; i < launches; ++i) {
        for (std::size_t r = 0; r < recorders.size(); ++r)
            times[r].push_back(launchToFirstByte(recorders[r]) * 1000);
    }
    std::vector<double> medians;
    for (auto& each : times) {
        // One failed launch (negative) makes the figure a failure rather than a flattering one.
        medians.push_back(*std::min_element(each.begin(), each.end()) < 0 ? -1 : median(each));
    }
    return medians;
}

std::vector<CaptureFigures> captureSession(const std::vector<Recorder>& recorders,
                                           TonePlayer& player, double seconds) {
    player.set(false);
    const auto begin = Clock::now();
    const auto until = begin + std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    std::vector<std::unique_ptr<client::Subprocess>> children;
    std::vector<std::unique_ptr<PcmWatcher>> watchers;
    for (const Recorder& recorder : recorders) {
        children.push_back(start(recorder));
        if (!children.back())
            return std::vector<CaptureFigures>(recorders.size());
        watchers.push_back(std::make_unique<PcmWatcher>(children.back()->standardOutput(), until));
    }
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

    std::vector<CaptureFigures> figures(recorders.size());
    const double early = std::max(10.0, seconds / 10);
    std::this_thread::sleep_until(begin +
                                  std::chrono::milliseconds(static_cast<int>(early * 1000)));
    for (std::size_t r = 0; r < recorders.size(); ++r)
        figures[r].rssEarlyKiB = sampleProcess(children[r]->pid()).residentKiB;

    std::this_thread::sleep_until(until - 200ms);
    for (std::size_t r = 0; r < recorders.size(); ++r) {
        const ProcessSample sample = sampleProcess(children[r]->pid());
        CaptureFigures& f = figures[r];
        f.minutes = Seconds(Clock::now() - begin).count() / 60;
        f.rssLateKiB = sample.residentKiB;
        f.cpuPerMinute = sample.cpuSeconds / f.minutes;
        f.switchesPerMinute = static_cast<double>(sample.voluntarySwitches()) / f.minutes;
        f.threads = sample.threads;
    }
    for (std::size_t r = 0; r < recorders.size(); ++r) {
        watchers[r]->join();
        recorders[r].stop(*children[r]);
        figures[r].onsetMs = onsetLatencyMs(sent, watchers[r]->onsets());
        figures[r].driftMs = watchers[r]->timeline().driftMs();
    }
    for (auto& child : children)
        child->waitFor(2s);
    player.set(false);
    return figures;
}

}  // namespace halvo::bench
