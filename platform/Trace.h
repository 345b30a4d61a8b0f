// The system's debug output: short diagnostic lines that never reach a client or a log file.
// They go to standard error when HARBIX_TRACE=1 is set in the environment, and nowhere
// otherwise (the check is made once).
#pragma once

namespace harbix {

bool TraceEnabled();
// One line (a line feed is added when the text has none), written in one piece so that lines
// of different threads never mix.
void Trace(const char* lpFormat, ...) __attribute__((format(printf, 1, 2)));

}  // namespace harbix
