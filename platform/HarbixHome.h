// Where Harbix keeps everything it stores on disk.
#pragma once

#include <string>

namespace harbix::platform {

// The installation directory: $HARBIX_HOME when set, /var/lib/harbix for root, otherwise
// ${XDG_STATE_HOME:-$HOME/.local/state}/harbix. Created with mode 0700 on first use.
std::string HarbixHome();

// A directory below HarbixHome() ("log", "run", ...), created with mode 0700 when missing.
std::string HarbixSubdir(const std::string& sName);

// Creates every missing directory of a path with the given mode; true when it exists afterwards.
bool MakeDirectories(const std::string& sPath, unsigned uMode);

}  // namespace harbix::platform
