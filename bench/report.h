#pragma once

#include <optional>
#include <string>
#include <vector>

#include "bench/session.h"
#include "bench/sink_path.h"

namespace halvo::bench {

// One measure of a table: the figure of each recorder, how the helper compares with each peer,
// and the target, if the measure has one.
struct Row {
    std::string measure;
    std::vector<std::string> figures;
    std::vector<std::string> comparisons;
    std::string target;
    std::optional<bool> met;
};

struct Table {
    std::vector<std::string> headers;
    std::vector<Row> rows;
    bool hasTargets = true;  // the last two columns are the target and whether it was met

    bool allMet() const;
    std::string markdown() const;
};

// The helper (first) against its peers (parec, then pw-record if there).
Table captureTable(const std::vector<Recorder>& recorders, const std::vector<double>& launchMs,
                   int launches, const std::vector<CaptureFigures>& figures);

// Every thread of every recorder, with its context switches per minute of the session.
Table threadTable(const std::vector<Recorder>& recorders,
                  const std::vector<CaptureFigures>& figures);

Table sinkPathTable(const SinkPathFigures& figures);

// The helper recording some applications (second) against its whole-output capture (first).
Table applicationsTable(const std::vector<Recorder>& recorders,
                        const std::vector<CaptureFigures>& figures);

}  // namespace halvo::bench
