// Messages between the engine's threads.
#pragma once

#include "platform/Messages.h"

namespace harbix {

// Thread message to a session's owner: the session (wParam = session id) is over.
inline constexpr uint32_t WM_SESSION_FINISHED = WM_USER + 2;
// Thread message to the engine: a service thread (wParam = the ServiceThread) ended by itself.
inline constexpr uint32_t WM_SERVICE_ENDED = WM_USER + 3;
// Accepted by the engine thread and ignored.
inline constexpr uint32_t WM_ENGINE_IGNORED = WM_USER + 4;
// Thread message to a service thread: re-read the settings.
inline constexpr uint32_t WM_RELOAD = WM_USER + 10;
// Window message to a session: a host name lookup finished (wParam = request id).
inline constexpr uint32_t WM_HOST_RESOLVED = WM_USER + 11;
// Thread messages to the engine thread from in-process callers (the same operations the
// control channel asks for): start or reload service wParam; reload the general settings.
inline constexpr uint32_t WM_ENGINE_START_OR_RELOAD = WM_USER + 20;
inline constexpr uint32_t WM_ENGINE_RELOAD_GENERAL = WM_USER + 21;

// Thread timer of every service thread: the counter refresh.
inline constexpr uint32_t kCounterTimerId = 1;
inline constexpr uint32_t kCounterTimerMs = 1000;
// Window timer of every session: the idle check.
inline constexpr uint32_t kIdleTimerId = 501;

}  // namespace harbix
