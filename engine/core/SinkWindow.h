// The hidden window of a thread that owns sockets outside any session (a service's listening
// socket, the engine's control socket): it receives their events and hands each to its owner
// thread as a thread message.
#pragma once

#include <vector>

#include "platform/Socket.h"
#include "platform/Window.h"

namespace harbix {

class SinkWindow : public Window {
 public:
  explicit SinkWindow(ThreadId owner) : m_owner(owner) {}

  // Selects events for a socket through this sink (a mask of 0 deselects it).
  bool Select(Socket& socket, uint32_t dwEvents);
  void Deselect(Socket& socket) { Select(socket, 0); }
  void DeselectAll();

 protected:
  void WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) override;
  void OnDestroy() override { DeselectAll(); }

 private:
  ThreadId m_owner;
  std::vector<int> m_vSockets;
};

}  // namespace harbix
