#include "engine/core/Connections.h"

namespace harbix {

bool ConnectionCounters::TryAdmit() {
  uint32_t dwActive = m_dwActive.load();
  do {
    const uint32_t dwLimit = m_dwLimit.load();
    if (dwLimit != kUnlimitedConnections && dwActive >= dwLimit) return false;
  } while (!m_dwActive.compare_exchange_weak(dwActive, dwActive + 1));
  return true;
}

ConnectionCounters& Connections() {
  static ConnectionCounters counters;
  return counters;
}

AdmissionTicket& AdmissionTicket::operator=(AdmissionTicket&& other) noexcept {
  if (this != &other) {
    Release();
    m_bHeld = other.m_bHeld;
    other.m_bHeld = false;
  }
  return *this;
}

AdmissionTicket AdmissionTicket::TryAdmit() {
  AdmissionTicket ticket;
  ticket.m_bHeld = Connections().TryAdmit();
  return ticket;
}

void AdmissionTicket::Confirm() {
  if (m_bHeld) Connections().CountSession();
}

void AdmissionTicket::Release() {
  if (m_bHeld) Connections().Release();
  m_bHeld = false;
}

}  // namespace harbix
