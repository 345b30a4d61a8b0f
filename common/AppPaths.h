// The engine's App Paths entry: where the engine program is, so that the manager and harbixctl
// can start it.
#pragma once

#include <optional>
#include <string>

namespace harbix {

inline constexpr const char* kEngineAppPathKey = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\HARBIXEN.EXE";

// Default value: the program's absolute path; "Path": its directory. Failures are ignored.
void WriteEngineAppPath(const std::string& sProgram);
// The program path of the entry, when there is one.
std::optional<std::string> ReadEngineAppPath();

}  // namespace harbix
