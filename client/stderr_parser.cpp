#include "halvo/client/stderr_parser.h"

#include "halvo/protocol.h"

#include <algorithm>
#include <utility>

namespace halvo::client {

namespace {

bool canContinue(const StderrRecord& record) {
    if (const auto* signal = std::get_if<Signal>(&record)) {
        return signal->kind == SignalKind::captureFailed ||
               signal->kind == SignalKind::streamStopped;
    }
    return std::holds_alternative<Diagnostic>(record);
}

// Continuation lines beyond kLongestLine in all are dropped, so garbage cannot grow memory.
void appendLine(StderrRecord& record, std::string_view line) {
    std::string& text = std::holds_alternative<Signal>(record)
                            ? std::get<Signal>(record).detail
                            : std::get<Diagnostic>(record).message;
    if (text.size() + 1 + line.size() <= StderrParser::kLongestLine) {
        text += '\n';
        text += line;
    }
}

Diagnostic parseDiagnostic(std::string_view line) {
    const std::size_t close = line.find("] ");
    if (close == std::string_view::npos) {
        return Diagnostic{{}, std::string(line)};
    }
    return Diagnostic{std::string(line.substr(1, close - 1)), std::string(line.substr(close + 2))};
}

}  // namespace

std::vector<StderrRecord> StderrParser::feed(std::string_view bytes) {
    std::vector<StderrRecord> out;
    while (!bytes.empty()) {
        const std::size_t room = kLongestLine - partial_.size();
        const std::size_t newline = bytes.substr(0, room).find('\n');
        if (newline != std::string_view::npos) {
            partial_.append(bytes.substr(0, newline));
            bytes.remove_prefix(newline + 1);
        } else {
            const std::size_t taken = std::min(room, bytes.size());
            partial_.append(bytes.substr(0, taken));
            bytes.remove_prefix(taken);
            if (partial_.size() < kLongestLine) {
                break;
            }
        }
        takeLine(partial_, out);
        partial_.clear();
    }
    return out;
}

std::vector<StderrRecord> StderrParser::release() {
    std::vector<StderrRecord> out;
    releaseInto(out);
    return out;
}

std::vector<StderrRecord> StderrParser::finish() {
    std::vector<StderrRecord> out;
    if (!partial_.empty()) {
        takeLine(partial_, out);
        partial_.clear();
    }
    releaseInto(out);
    return out;
}

void StderrParser::releaseInto(std::vector<StderrRecord>& out) {
    if (held_) {
        noteRefusal(*held_);
        out.push_back(std::move(*held_));
        held_.reset();
    }
}

// The helper gives the reason for ERROR:PERMISSION_DENIED in a diagnostic line before it, not
// always the line right before (other threads' lines may come between).
void StderrParser::noteRefusal(const StderrRecord& record) {
    if (const auto* diagnostic = std::get_if<Diagnostic>(&record)) {
        for (const std::string_view prefix :
             {protocol::kPermissionDeniedReason, protocol::kContentErrorReason}) {
            if (diagnostic->message.starts_with(prefix)) {
                refusal_ = diagnostic->message.substr(prefix.size());
            }
        }
    }
}

void StderrParser::takeLine(std::string_view line, std::vector<StderrRecord>& out) {
    StderrRecord record;
    if (line.starts_with('[')) {
        Diagnostic diagnostic = parseDiagnostic(line);
        releaseInto(out);
        if (auto format = parseFormatMessage(diagnostic.message)) {
            out.push_back(*format);
        }
        record = std::move(diagnostic);
    } else if (auto signal = parseSignalLine(line)) {
        releaseInto(out);
        if (signal->kind == SignalKind::permissionDenied) {
            signal->detail = std::exchange(refusal_, {});
        }
        record = std::move(*signal);
    } else if (held_) {
        appendLine(*held_, line);
        return;
    } else {
        out.push_back(Diagnostic{{}, std::string(line)});
        return;
    }
    if (canContinue(record)) {
        held_ = std::move(record);
    } else {
        out.push_back(std::move(record));
    }
}

}  // namespace halvo::client
