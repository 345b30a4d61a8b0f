// Messages between the engine's threads.
#pragma once

#include "platform/Messages.h"

namespace harbix {

// Thread message to a session's owner: the session (wParam = session id) is over.
inline constexpr uint32_t WM_SESSION_FINISHED = WM_USER + 2;
// Thread message to the engine: a service thread (wParam = its unique id) ended by itself.
inline constexpr uint32_t WM_SERVICE_ENDED = WM_USER + 3;
// Thread message to a service thread: re-read the settings.
inline constexpr uint32_t WM_RELOAD = WM_USER + 10;
// Thread timer of every service thread: the counter refresh.
inline constexpr uint32_t kCounterTimerId = 1;
inline constexpr uint32_t kCounterTimerMs = 1000;
// Window timer of every session: the idle check.
inline constexpr uint32_t kIdleTimerId = 501;

}  // namespace harbix
