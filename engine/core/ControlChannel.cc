#include "engine/core/ControlChannel.h"

#include <algorithm>
#include <cerrno>

#include "engine/core/Connections.h"
#include "engine/core/SinkWindow.h"
#include "platform/MessageLoop.h"

namespace harbix {

using namespace control;

namespace {

Totals ToTotals(const ServiceStats& stats) { return Totals{stats.m_dwActive, stats.m_qwSent, stats.m_qwReceived}; }

}  // namespace

uint64_t ControlChannel::NowMs() { return MessageLoop::Current()->NowMs(); }

bool ControlChannel::Open(SinkWindow& sink) {
  Socket socket = Socket::Udp();
  if (!socket || !socket.Bind(kLoopback, kEnginePort) || !sink.Select(socket, FD_READ | FD_WRITE)) return false;
  m_socket = std::move(socket);
  m_sBuffer.resize(kMaxDatagram);
  return true;
}

void ControlChannel::Close(SinkWindow& sink) {
  if (!m_socket) return;
  sink.Deselect(m_socket);
  m_socket.Shutdown();
  m_socket.Close();
  m_vClients.clear();
  MessageLoop::Current()->KillTimer(0, kReloadTimerId);
}

void ControlChannel::OnEvent(uint32_t dwEvent) {
  if (dwEvent == FD_READ) {
    Receive();
  } else if (dwEvent == FD_WRITE) {
    for (size_t i = m_vClients.size(); i-- > 0;) SendTo(i);
  }
}

void ControlChannel::Receive() {
  for (int nRound = 0; nRound < kDatagramsPerEvent && m_socket; ++nRound) {
    // Read whatever the size: an empty datagram left in the queue would hide all behind it.
    SocketAddress from;
    bool bTruncated = false;
    const long nRead = m_socket.RecvFrom(m_sBuffer.data(), m_sBuffer.size(), &from, &bTruncated);
    if (nRead < 0) return;
    // A datagram larger than any message is no message (its cut would decode into another).
    if (!bTruncated) OnDatagram(from, std::string_view(m_sBuffer.data(), static_cast<size_t>(nRead)));
  }
}

void ControlChannel::OnDatagram(const SocketAddress& from, std::string_view sWire) {
  if (from.m_dwIp != kLoopback) return;
  const std::optional<ControlMessage> request = DecodeDatagram(sWire);
  if (!request) return;
  // Only a hello makes a client known; any other request needs no client (it carries no
  // cookie) or a known one.
  ControlClient* lpClient = Find(from.m_wPort);
  if (!lpClient && request->m_bType == kHello) lpClient = &Add(from.m_wPort);
  if (!lpClient && NeedsCookie(request->m_bType)) return;
  if (lpClient) {
    lpClient->m_qwLastRequestMs = NowMs();
    if (!lpClient->m_sReply.empty()) return;  // one waiting reply per client
  }
  Handle(lpClient, *request);
}

ControlChannel::ControlClient* ControlChannel::Find(uint16_t wPort) {
  for (ControlClient& client : m_vClients) {
    if (client.m_wPort == wPort) return &client;
  }
  return nullptr;
}

ControlChannel::ControlClient& ControlChannel::Add(uint16_t wPort) {
  if (m_vClients.size() >= kMaxClients) {
    auto itQuietest = std::min_element(m_vClients.begin(), m_vClients.end(), [](const ControlClient& a, const ControlClient& b) {
      return a.m_qwLastRequestMs < b.m_qwLastRequestMs;
    });
    m_vClients.erase(itQuietest);
  }
  const uint32_t dwCookie = m_random() % 32767 + 1;  // cookies are 1..32767
  m_vClients.push_back(ControlClient{wPort, dwCookie, std::string(), NowMs()});
  return m_vClients.back();
}

std::string ControlChannel::ServiceTotals(uint8_t bService) {
  std::string sPayload;
  PutTotals(sPayload, ToTotals(m_target.RefreshStats(static_cast<ServiceId>(bService))));
  return sPayload;
}

void ControlChannel::Handle(ControlClient* lpClient, const ControlMessage& request) {
  const uint8_t bType = request.m_bType;
  if (NeedsCookie(bType)) {
    if (request.m_sPayload.size() < 4 || GetU32(request.m_sPayload, 0) != lpClient->m_dwCookie) return;
  }
  if (bType == kHello) {
    std::string sPayload;
    PutU32(sPayload, lpClient->m_dwCookie);
    PutU32(sPayload, static_cast<uint32_t>(m_target.StartTime()));
    Reply(*lpClient, kHello, sPayload);
  } else if (bType == kStatusAll) {
    EngineStatus status;
    for (uint8_t n = 0; n < kServiceCount; ++n) {
      const ServiceStats& stats = m_target.RefreshStats(static_cast<ServiceId>(n));
      status.m_abServices[n] = stats.m_bStatus;
      if (m_target.ServiceRuns(static_cast<ServiceId>(n))) status.m_totals += ToTotals(stats);
    }
    for (const MapStats& map : m_target.RefreshMapStats()) {
      status.m_totals += ToTotals(map.m_stats);
      status.m_vMaps.push_back(MapState{map.m_dwBindIp, map.m_wBindPort, map.m_stats.m_bStatus});
    }
    status.m_nTotalConnections = Connections().m_nTotal.load();
    Reply(*lpClient, kStatusAll | kReplyBit, BuildEngineStatus(status));
  } else if (bType == kReloadGeneral) {
    RequestReload(kGeneralArea);
  } else if (bType >= kStartService && bType < kStartService + kServiceCount) {
    RequestReload(kFirstServiceArea + (bType - kStartService));
  } else if (bType == kReloadMaps) {
    RequestReload(kMapsArea);
  } else if (bType >= kServiceStatus && bType < kServiceStatus + kServiceCount) {
    const auto id = static_cast<ServiceId>(bType - kServiceStatus);
    if (m_target.ServiceRuns(id)) Reply(*lpClient, bType | kReplyBit, ServiceTotals(bType - kServiceStatus));
  } else if (bType == kMapStatus) {
    if (request.m_sPayload.size() < 10) return;
    const uint32_t dwBindIp = GetU32(request.m_sPayload, 4);
    const uint16_t wBindPort = GetU16(request.m_sPayload, 8);
    Totals totals;
    for (const MapStats& map : m_target.RefreshMapStats()) {
      if (map.m_dwBindIp == dwBindIp && map.m_wBindPort == wBindPort) totals += ToTotals(map.m_stats);
    }
    std::string sPayload = request.m_sPayload.substr(4, 6);
    PutTotals(sPayload, totals);
    Reply(*lpClient, kMapStatus | kReplyBit, sPayload);
  } else if (bType == kQuit) {
    m_target.RequestQuit();
  }
}

void ControlChannel::Reply(ControlClient& client, uint8_t bType, const std::string& sPayload) {
  client.m_sReply = EncodeDatagram(ControlMessage{bType, sPayload});
  SendTo(static_cast<size_t>(&client - m_vClients.data()));
}

bool ControlChannel::SendTo(size_t nClient) {
  ControlClient& client = m_vClients[nClient];
  if (NowMs() - client.m_qwLastRequestMs >= kForgetAfterMs) {
    m_vClients.erase(m_vClients.begin() + static_cast<std::ptrdiff_t>(nClient));
    return false;
  }
  if (client.m_sReply.empty()) return true;
  const long nSent = m_socket.SendTo(client.m_sReply.data(), client.m_sReply.size(), SocketAddress{kLoopback, client.m_wPort});
  if (nSent >= 0) {
    client.m_sReply.clear();
  } else if (!WouldBlock(errno)) {
    m_vClients.erase(m_vClients.begin() + static_cast<std::ptrdiff_t>(nClient));
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Reloads: each re-reads the store on this thread, so a stream of requests must not turn into
// a stream of reloads.

void ControlChannel::RequestReload(size_t nArea) {
  ReloadState& reload = m_aReloads[nArea];
  if (reload.m_bWaiting) return;  // merged into the one that waits
  reload.m_bWaiting = true;
  RunDueReloads();
}

void ControlChannel::OnTimer(uint32_t nId) {
  if (nId != kReloadTimerId) return;
  MessageLoop::Current()->KillTimer(0, kReloadTimerId);
  RunDueReloads();
}

void ControlChannel::RunDueReloads() {
  const uint64_t qwNow = NowMs();
  uint64_t qwNextDue = UINT64_MAX;
  for (size_t nArea = 0; nArea < m_aReloads.size(); ++nArea) {
    ReloadState& reload = m_aReloads[nArea];
    if (!reload.m_bWaiting) continue;
    const uint64_t qwDue = reload.m_bRan ? reload.m_qwLastRunMs + kReloadSpacingMs : qwNow;
    if (qwDue > qwNow) {
      qwNextDue = std::min(qwNextDue, qwDue);
      continue;
    }
    reload.m_bWaiting = false;
    reload.m_bRan = true;
    reload.m_qwLastRunMs = qwNow;
    RunReload(nArea);
  }
  if (qwNextDue != UINT64_MAX) {
    MessageLoop::Current()->SetTimer(0, kReloadTimerId, static_cast<uint32_t>(qwNextDue - qwNow));
  }
}

void ControlChannel::RunReload(size_t nArea) {
  if (nArea == kGeneralArea) {
    m_target.ReloadGeneral();
  } else if (nArea == kMapsArea) {
    m_target.ReloadMaps();
  } else {
    m_target.StartOrReloadService(static_cast<ServiceId>(nArea - kFirstServiceArea));
  }
}

}  // namespace harbix
