#pragma once
// One detection pass over the refreshed device pages: compares each page's status record with
// what was seen before, appends the event lines to the day's log and saves the day file.
#include <cstdint>
#include <string>

namespace tervalo {

struct Console;
struct EventLogState;

// Reads the clock once for the pass, brings the buffer to the day file's state and writes the
// start banner and device blocks when due. Returns whether a header was written. mask bit p:
// device page p+1 was refreshed in this cycle.
bool BeginLogPass(Console& console, std::uint8_t mask);

// Appends one line, made single-byte and printable (see toLogText).
void AppendLogLine(EventLogState& log, const std::string& line);

// When `changed`, writes the whole buffer over the pass's day file. Returns false when a write
// was due and did not happen; the buffer keeps every line and a later changing pass writes again.
bool EndLogPass(EventLogState& log, bool changed);

// One detection pass. Never fails; all its effects are log lines, the saved day file and the
// per-page state.
void UpdateEventLog(Console& console, std::uint8_t mask);

}  // namespace tervalo
