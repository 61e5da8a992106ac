#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "halvo/client/helper_events.h"

namespace halvo::client {

// Turns the helper's standard error, in chunks as they arrive, into records.
//
// A line starting with "[" is a diagnostic, a known signal line is a signal, and any other line
// continues the diagnostic or error signal before it (descriptions may hold line feeds) or,
// with nothing to continue, is stray text delivered as a diagnostic without a timestamp. So a
// diagnostic or an error signal with a description is held back until the next line shows it
// is complete, or until the caller decides nothing more will follow and calls release().
// The format line yields its AudioFormat at once, ahead of its own diagnostic.
// ERROR:PERMISSION_DENIED carries the reason of the last "Permission denied: <reason>" or
// "Content error: <reason>" diagnostic since the previous one, or none.
// Not thread-safe: one reader feeds it.
class StderrParser {
  public:
    // A line longer than this without a line feed is cut here, so garbage cannot grow memory.
    static constexpr std::size_t kLongestLine = 64 * 1024;

    // Takes the next bytes; returns the records they complete, in order.
    std::vector<StderrRecord> feed(std::string_view bytes);
    bool holdsRecord() const { return held_.has_value(); }
    // Gives up the held record, if any: nothing further will continue it.
    std::vector<StderrRecord> release();
    // The end of the stream: a last line without a line feed still counts, and nothing is held.
    std::vector<StderrRecord> finish();

  private:
    void takeLine(std::string_view line, std::vector<StderrRecord>& out);
    void releaseInto(std::vector<StderrRecord>& out);
    void noteRefusal(const StderrRecord& record);

    std::string partial_;  // bytes after the last line feed
    std::optional<StderrRecord> held_;
    std::string refusal_;  // for the next ERROR:PERMISSION_DENIED
};

}  // namespace halvo::client
