#include "engine/core/SinkWindow.h"

#include <algorithm>

#include "platform/MessageLoop.h"

namespace harbix {
namespace {
// The events a sink passes on.
constexpr uint32_t kSinkEvents = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
}  // namespace

bool SinkWindow::Select(Socket& socket, uint32_t dwEvents) {
  dwEvents &= kSinkEvents;
  if (!socket.Select(Handle(), dwEvents)) return false;
  auto it = std::find(m_vSockets.begin(), m_vSockets.end(), socket.Fd());
  if (dwEvents) {
    if (it == m_vSockets.end()) m_vSockets.push_back(socket.Fd());
  } else if (it != m_vSockets.end()) {
    m_vSockets.erase(it);
  }
  return true;
}

void SinkWindow::DeselectAll() {
  if (MessageLoop* lpLoop = Loop()) {
    for (int hSocket : m_vSockets) lpLoop->AsyncSelect(hSocket, Handle(), WM_SOCKET_EVENT, 0);
  }
  m_vSockets.clear();
}

void SinkWindow::WindowProc(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message == WM_CLOSE) {
    Loop()->PostQuitMessage(0);
    return;
  }
  if (message != WM_SOCKET_EVENT) return;
  const int hSocket = static_cast<int>(wParam);
  if (std::find(m_vSockets.begin(), m_vSockets.end(), hSocket) == m_vSockets.end()) return;
  if (!MessageLoop::PostThreadMessage(m_owner, WM_SOCKET_EVENT, wParam, lParam)) {
    Loop()->AsyncSelect(hSocket, Handle(), WM_SOCKET_EVENT, 0);
    m_vSockets.erase(std::find(m_vSockets.begin(), m_vSockets.end(), hSocket));
  }
}

}  // namespace harbix
