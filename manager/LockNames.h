// The system-wide single-instance locks the manager takes or probes.
#pragma once

namespace harbix::manager {

inline constexpr const char* kEngineLock = "Harbix Engine";
inline constexpr const char* kSheetLock = "Harbix Control Manager";
inline constexpr const char* kTaskBarIconLock = "Harbix TaskBar Icon";

}  // namespace harbix::manager
