#include "bench/report.h"

#include <cstdio>
#include <sstream>

namespace halvo::bench {
namespace {

std::string fixed(double value, int digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", digits, value);
    return text;
}

std::string ratio(double ours, double theirs) {
    return ours >= 0 && theirs > 0 ? fixed(ours / theirs, 2) + "x" : "-";
}

std::string difference(double ours, double theirs, const char* unit) {
    char text[64];
    std::snprintf(text, sizeof text, "%+.1f %s", ours - theirs, unit);
    return text;
}

// A row of a figure per recorder, each compared with the helper's by `compare`.
template <typename Value, typename Format, typename Compare>
Row row(std::string measure, const std::vector<Value>& values, Format format, Compare compare) {
    Row result{std::move(measure), {}, {}, "", std::nullopt};
    for (std::size_t r = 0; r < values.size(); ++r) {
        result.figures.push_back(format(values[r]));
        if (r > 0)
            result.comparisons.push_back(compare(values[0], values[r]));
    }
    return result;
}

}  // namespace

bool Table::allMet() const {
    for (const Row& each : rows) {
        if (each.met == false)
            return false;
    }
    return true;
}

std::string Table::markdown() const {
    std::ostringstream out;
    out << "|";
    for (const auto& header : headers)
        out << " " << header << " |";
    out << "\n|";
    for (std::size_t i = 0; i < headers.size(); ++i)
        out << "---|";
    out << "\n";
    for (const Row& each : rows) {
        out << "| " << each.measure << " |";
        for (const auto& figure : each.figures)
            out << " " << figure << " |";
        for (const auto& comparison : each.comparisons)
            out << " " << comparison << " |";
        if (!hasTargets) {
            out << "\n";
        } else if (!each.met) {
            out << " - | - |\n";
        } else {
            out << " " << each.target << " | " << (*each.met ? "yes" : "NO") << " |\n";
        }
    }
    return out.str();
}

Table captureTable(const std::vector<Recorder>& recorders, const std::vector<double>& launchMs,
                   int launches, const std::vector<CaptureFigures>& figures) {
    Table table;
    table.headers.push_back("measure");
    for (const Recorder& recorder : recorders)
        table.headers.push_back(recorder.name);
    for (std::size_t r = 1; r < recorders.size(); ++r)
        table.headers.push_back("vs " + recorders[r].name);
    table.headers.insert(table.headers.end(), {"target", "met"});

    const bool pipewire = recorders.size() > 2;
    const auto pick = [&](auto member) {
        std::vector<double> values;
        for (const CaptureFigures& f : figures)
            values.push_back(static_cast<double>(f.*member));
        return values;
    };
    const auto ms = [](double value) { return fixed(value, 1); };
    const auto ratios = [](double ours, double theirs) { return ratio(ours, theirs); };
    const auto msApart = [](double ours, double theirs) { return difference(ours, theirs, "ms"); };
    // A figure that could not be taken (negative) never meets its target.
    const auto taken = [](const std::vector<double>& values) {
        for (double value : values) {
            if (value < 0)
                return false;
        }
        return true;
    };

    const std::vector<double> launch = launchMs;
    Row launchRow = row("launch to first PCM byte, median of " + std::to_string(launches) + " (ms)",
                        launch, ms, ratios);
    if (pipewire) {
        launchRow.target = "<= pw-record";
        launchRow.met = taken(launch) && launch[0] <= launch[2];
    } else {
        launchRow.target = "<= 1.5x parec and <= 60 ms";
        launchRow.met = taken(launch) && launch[0] <= 1.5 * launch[1] && launch[0] <= 60;
    }
    table.rows.push_back(launchRow);

    const std::vector<double> onset = pick(&CaptureFigures::onsetMs);
    Row onsetRow = row("tone onset to parent, median of " + std::to_string(kOnsets) + " (ms)",
                       onset, ms, msApart);
    onsetRow.target = "<= parec + 1 ms";
    onsetRow.met = taken(onset) && onset[0] <= onset[1] + 1;
    if (pipewire) {
        onsetRow.target += ", <= pw-record + 5 ms";
        onsetRow.met = *onsetRow.met && onset[0] <= onset[2] + 5;
    }
    table.rows.push_back(onsetRow);

    const std::vector<double> cpu = pick(&CaptureFigures::cpuPerMinute);
    Row cpuRow = row(
        "CPU seconds per minute of capture", cpu, [](double value) { return fixed(value, 3); },
        ratios);
    cpuRow.target = "<= 1.2x parec";
    cpuRow.met = taken(cpu) && cpu[0] <= 1.2 * cpu[1];
    table.rows.push_back(cpuRow);

    const std::vector<double> switches = pick(&CaptureFigures::switchesPerMinute);
    Row switchRow = row(
        "voluntary context switches per minute (all threads)", switches,
        [](double value) { return fixed(value, 0); }, ratios);
    switchRow.target = "<= 1.3x parec";
    switchRow.met = taken(switches) && switches[0] <= 1.3 * switches[1];
    table.rows.push_back(switchRow);

    const std::vector<double> rss = pick(&CaptureFigures::rssLateKiB);
    Row rssRow = row(
        "resident memory at the end (KiB)", rss, [](double value) { return fixed(value, 0); },
        ratios);
    rssRow.target = "<= 8192 KiB";
    rssRow.met = taken(rss) && rss[0] <= 8192;
    table.rows.push_back(rssRow);

    std::vector<double> growth;
    for (const CaptureFigures& f : figures)
        growth.push_back(static_cast<double>(f.rssLateKiB - f.rssEarlyKiB));
    Row growthRow = row(
        "resident memory growth after the first tenth (KiB)", growth,
        [](double value) { return fixed(value, 0); },
        [](double, double) { return std::string("-"); });
    growthRow.target = "none (<= 128 KiB)";
    growthRow.met = taken(rss) && figures[0].rssEarlyKiB >= 0 && growth[0] <= 128;
    table.rows.push_back(growthRow);

    const std::vector<double> drift = pick(&CaptureFigures::driftMs);
    table.rows.push_back(
        row("timeline drift at the end: wall clock minus audio since the first "
            "byte (ms)",
            drift, ms, msApart));
    return table;
}

Table threadTable(const std::vector<Recorder>& recorders,
                  const std::vector<CaptureFigures>& figures) {
    Table table;
    table.headers = {"recorder", "thread (tid)", "voluntary / min", "involuntary / min"};
    table.hasTargets = false;
    for (std::size_t r = 0; r < recorders.size(); ++r) {
        const double minutes = figures[r].minutes > 0 ? figures[r].minutes : 1;
        for (const ThreadSwitches& thread : figures[r].threads) {
            table.rows.push_back({recorders[r].name,
                                  {thread.name + " (" + std::to_string(thread.tid) + ")",
                                   fixed(static_cast<double>(thread.voluntary) / minutes, 0),
                                   fixed(static_cast<double>(thread.involuntary) / minutes, 0)},
                                  {},
                                  "",
                                  std::nullopt});
        }
    }
    return table;
}

Table sinkPathTable(const SinkPathFigures& figures) {
    Table table;
    table.headers = {"measure", "halvo-audio-helper", "cat", "vs cat", "target", "met"};
    Row rate{"sink path vs cat through a pipe (GB/s)",
             {fixed(figures.sinkRate / 1e9, 2), fixed(figures.catRate / 1e9, 2)},
             {ratio(figures.sinkRate, figures.catRate)},
             ">= 0.5x and >= 1 GB/s",
             figures.sinkRate > 0 && figures.catRate > 0 &&
                 figures.sinkRate >= 0.5 * figures.catRate && figures.sinkRate >= 1e9};
    table.rows.push_back(rate);
    return table;
}

Table applicationsTable(const std::vector<Recorder>& recorders,
                        const std::vector<CaptureFigures>& figures) {
    Table table;
    table.headers = {"measure",         recorders[0].name, recorders[1].name,
                     "vs whole output", "target",          "met"};
    const auto values = [&](auto member) {
        return std::vector<double>{static_cast<double>(figures[0].*member),
                                   static_cast<double>(figures[1].*member)};
    };
    const auto ratios = [](double whole, double some) { return ratio(some, whole); };
    const auto digits = [](int count) {
        return [count](double value) { return fixed(value, count); };
    };
    const std::vector<double> cpu = values(&CaptureFigures::cpuPerMinute);
    Row cpuRow = row("CPU seconds per minute of capture", cpu, digits(3), ratios);
    cpuRow.target = "<= 2x whole output";
    cpuRow.met = cpu[0] > 0 && cpu[1] >= 0 && cpu[1] <= 2 * cpu[0];
    table.rows.push_back(cpuRow);
    table.rows.push_back(row("voluntary context switches per minute (all threads)",
                             values(&CaptureFigures::switchesPerMinute), digits(0), ratios));
    table.rows.push_back(
        row("timeline drift at the end: wall clock minus audio since the first byte (ms)",
            values(&CaptureFigures::driftMs), digits(1),
            [](double whole, double some) { return difference(some, whole, "ms"); }));
    std::vector<double> rss{static_cast<double>(figures[0].rssLateKiB),
                            static_cast<double>(figures[1].rssLateKiB)};
    table.rows.push_back(row("resident memory at the end (KiB)", rss, digits(0), ratios));
    return table;
}

}  // namespace halvo::bench
