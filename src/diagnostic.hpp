// Diagnostics as data: what the checks and the bail-out report, handed to a
// sink that the caller supplies.
//
// A diagnostic is one message with its severity and, where known, the file
// and line it is about and a column range on that line. The command-line
// programs print each one as a line of standard error; a long-running tool
// keeps them as records and never reads text back.
//
// Invariant: every diagnostic of a run goes through diagnostic_report to the
// current sink, which is diagnostic_print unless a caller has set another
// (diagnostic_sink_scope_t); a sink never sees a message with a line end.
#pragma once

#include <functional>
#include <string>

enum diagnostic_severity_t { SEVERITY_ERROR = 0, SEVERITY_WARNING = 1 };

// What kind of name a message is about, where the reporter names one the
// schema lacks: the fix-up reports a missing type or table at the last
// statement, and a tool that wants to point at the name's uses finds them by
// `subject` rather than by reading the message.
enum diagnostic_subject_t { SUBJECT_NONE = 0, SUBJECT_TYPE = 1, SUBJECT_TABLE = 2 };

struct diagnostic_t {
    diagnostic_severity_t severity = SEVERITY_ERROR;
    std::string message;  // the text, without location and without a line end
    std::string file;     // empty: the message names no place
    unsigned line = 0;    // 1-based; 0 with an empty file
    // A byte range [column_start, column_end) on `line`, 0-based; both 0 when
    // the reporter does not know it.
    unsigned column_start = 0;
    unsigned column_end = 0;
    diagnostic_subject_t subject_kind = SUBJECT_NONE;
    std::string subject;  // the name, unless subject_kind is SUBJECT_NONE
};

using diagnostic_sink_t = std::function<void(const diagnostic_t&)>;

// The line a command-line program prints for `diagnostic`, without the line
// end: "MESSAGE in FILE:LINE", or "MESSAGE" when there is no place; a warning
// starts with "Warning: ".
std::string diagnostic_text(const diagnostic_t& diagnostic);

// The sink of the command-line programs: diagnostic_text and a line end on
// standard error.
void diagnostic_print(const diagnostic_t& diagnostic);

// Hands `diagnostic` to the current sink.
void diagnostic_report(const diagnostic_t& diagnostic);

// A warning about `file`:`line` (no place when `file` is null), reported
// through the current sink.
void diagnostic_warn(const char* file, unsigned line, const std::string& message);

// Makes `sink` the current sink while it lives; the one before is current
// again afterwards. Scopes nest and end in the reverse order of their start.
class diagnostic_sink_scope_t {
public:
    explicit diagnostic_sink_scope_t(diagnostic_sink_t sink);
    ~diagnostic_sink_scope_t();
    diagnostic_sink_scope_t(const diagnostic_sink_scope_t&) = delete;
    diagnostic_sink_scope_t& operator=(const diagnostic_sink_scope_t&) = delete;

private:
    diagnostic_sink_t previous_;
};
