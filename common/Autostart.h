// The autostart values the General page keeps: the engine under "RunServices" (machine-wide)
// and the taskbar icon under the current user's "Run" key. Both keys belong to the
// installation: when one is missing, nothing is written and the call reports failure.
#pragma once

namespace harbix {

inline constexpr const char* kRunServicesKey = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
inline constexpr const char* kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr const char* kEngineAutostartValue = "HarbixEngine";
inline constexpr const char* kIconAutostartValue = "HarbixManagerIcon";
inline constexpr const char* kIconAutostartCommand = "RunDLL32.exe HARBIXMG.CPL,TaskBarIcon";

// Whether "HarbixEngine" exists under "RunServices".
bool EngineAutostartSet();
// Copies the engine's path from its App Paths entry to "HarbixEngine"; false when the key or
// the App Paths entry is missing.
bool SetEngineAutostart();
bool ClearEngineAutostart();

bool IconAutostartSet();
bool SetIconAutostart();
bool ClearIconAutostart();

}  // namespace harbix
