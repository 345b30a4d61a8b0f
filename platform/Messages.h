// Message numbers, socket event codes and the message record shared by every message loop.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace harbix {

// Identifies a thread's message queue; 0 is none.
using ThreadId = uint32_t;
// Identifies a window: the owning thread in the high half, a serial number in the low half, so
// a handle is never reused and a message to a destroyed window can be recognised and dropped.
using Hwnd = uint64_t;

inline constexpr ThreadId ThreadOfWindow(Hwnd hwnd) { return static_cast<ThreadId>(hwnd >> 32); }

inline constexpr uint32_t WM_NULL = 0x0000;
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_QUIT = 0x0012;
inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_USER = 0x0400;
inline constexpr uint32_t WM_APP = 0x8000;
// A piece of work posted to a window (MessageLoop::PostTask): it runs on the window's thread if
// the window still exists when it comes up, and is dropped otherwise.
inline constexpr uint32_t WM_TASK = WM_APP + 1;

// Socket readiness arrives as this message: wParam the socket, lParam the event in the low word
// and the error (an errno value) in the high word.
inline constexpr uint32_t WM_SOCKET_EVENT = WM_USER + 1;

inline constexpr uint32_t FD_READ = 0x01;
inline constexpr uint32_t FD_WRITE = 0x02;
inline constexpr uint32_t FD_ACCEPT = 0x08;
inline constexpr uint32_t FD_CONNECT = 0x10;
inline constexpr uint32_t FD_CLOSE = 0x20;
inline constexpr uint32_t FD_ALL_EVENTS = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

inline constexpr intptr_t MakeSelectLParam(uint32_t dwEvent, uint32_t dwError) {
  return static_cast<intptr_t>(((dwError & 0xFFFF) << 16) | (dwEvent & 0xFFFF));
}
inline constexpr uint32_t SelectEvent(intptr_t lParam) { return static_cast<uint32_t>(lParam) & 0xFFFF; }
inline constexpr uint32_t SelectError(intptr_t lParam) { return (static_cast<uint32_t>(lParam) >> 16) & 0xFFFF; }

struct Message {
  Hwnd hwnd = 0;  // 0: a thread message
  uint32_t message = WM_NULL;
  uintptr_t wParam = 0;
  intptr_t lParam = 0;
  // Socket events raised by the loop carry the generation of the socket's selection, so that an
  // event for a socket closed (and its descriptor reused) meanwhile is dropped. 0 otherwise.
  uint32_t dwSelectGen = 0;
  // WM_TASK only: what to run.
  std::shared_ptr<std::function<void()>> lpTask;
};

}  // namespace harbix
