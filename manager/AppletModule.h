// Where the applet library lives, and the host program installed beside it.
#pragma once

#include <optional>
#include <string>

namespace harbix::manager {

// The directory of the loaded libharbixmg.so; nothing when the loader cannot tell.
std::optional<std::string> ModuleDirectory();
// "<ModuleDirectory>/harbixmg".
std::string HostProgram();

}  // namespace harbix::manager
