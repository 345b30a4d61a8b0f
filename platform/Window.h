// A window: an object registered with its thread's message loop under a handle, so that
// messages, socket events and timers reach it by handle and a message to a window that is gone
// is dropped instead of reaching freed memory.
#pragma once

#include <cstdint>

#include "platform/Messages.h"

namespace harbix {

class MessageLoop;

class Window {
 public:
  Window() = default;
  virtual ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Registers with the calling thread's loop, then runs OnCreate. False without a loop.
  bool Create();
  // Runs OnDestroy, then kills the window's timers, stops its socket events and unregisters.
  void Destroy();

  Hwnd Handle() const { return m_hWnd; }
  bool IsCreated() const { return m_hWnd != 0; }

  bool SetTimer(uint32_t nId, uint32_t dwPeriodMs);
  void KillTimer(uint32_t nId);
  // Posts a message to this window through its thread's queue.
  bool PostSelf(uint32_t message, uintptr_t wParam = 0, intptr_t lParam = 0) const;

  // Entry point of the loop's dispatch.
  void HandleMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) { WindowProc(message, wParam, lParam); }

 protected:
  virtual void OnCreate() {}
  virtual void OnDestroy() {}
  virtual void WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) = 0;

  MessageLoop* Loop() const { return m_lpLoop; }

 private:
  Hwnd m_hWnd = 0;
  MessageLoop* m_lpLoop = nullptr;
};

}  // namespace harbix
