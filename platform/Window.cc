#include "platform/Window.h"

#include "platform/MessageLoop.h"

namespace harbix {

Window::~Window() {
  // A derived window has run its OnDestroy already (the owner destroys before deleting); this
  // only makes sure the loop forgets the handle.
  if (m_hWnd && m_lpLoop) m_lpLoop->UnregisterWindow(m_hWnd);
}

bool Window::Create() {
  m_lpLoop = MessageLoop::Current();
  if (!m_lpLoop) return false;
  m_hWnd = m_lpLoop->RegisterWindow(this);
  OnCreate();
  return true;
}

void Window::Destroy() {
  if (!m_hWnd) return;
  OnDestroy();
  m_lpLoop->UnregisterWindow(m_hWnd);
  m_hWnd = 0;
}

bool Window::SetTimer(uint32_t nId, uint32_t dwPeriodMs) {
  if (!m_hWnd) return false;
  m_lpLoop->SetTimer(m_hWnd, nId, dwPeriodMs);
  return true;
}

void Window::KillTimer(uint32_t nId) {
  if (m_hWnd) m_lpLoop->KillTimer(m_hWnd, nId);
}

bool Window::PostSelf(uint32_t message, uintptr_t wParam, intptr_t lParam) const {
  return m_hWnd && MessageLoop::PostMessage(m_hWnd, message, wParam, lParam);
}

}  // namespace harbix
