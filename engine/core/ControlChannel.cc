#include "engine/core/ControlChannel.h"

#include <cerrno>
#include <chrono>

#include "engine/core/Connections.h"
#include "engine/core/Engine.h"
#include "engine/core/SinkWindow.h"
#include "platform/MessageLoop.h"

namespace harbix {

using namespace control;

namespace {

uint64_t NowMs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

Totals ToTotals(const ServiceStats& stats) { return Totals{stats.m_dwActive, stats.m_qwSent, stats.m_qwReceived}; }

// Cookies are 1..32767.
uint32_t DrawCookie() { return ProcessRandom() % 32767 + 1; }

}  // namespace

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
    const long nRead = m_socket.RecvFrom(m_sBuffer.data(), m_sBuffer.size(), &from);
    if (nRead < 0) return;
    if (from.m_dwIp != kLoopback) continue;
    const std::optional<std::string> sBinary = DecodeRegistryText(std::string_view(m_sBuffer.data(), static_cast<size_t>(nRead)));
    if (!sBinary) continue;
    const uint64_t qwNow = NowMs();
    ControlClient* lpClient = FindOrAdd(from.m_wPort, qwNow);
    if (!lpClient || !lpClient->m_sReply.empty()) continue;  // one waiting reply per client
    if (std::optional<control::ControlMessage> request = Parse(*sBinary)) Handle(*lpClient, *request);
  }
}

ControlChannel::ControlClient* ControlChannel::FindOrAdd(uint16_t wPort, uint64_t qwNow) {
  for (ControlClient& client : m_vClients) {
    if (client.m_wPort == wPort) {
      client.m_qwLastRequestMs = qwNow;
      return &client;
    }
  }
  if (m_vClients.size() >= kMaxClients) {
    std::erase_if(m_vClients, [&](const ControlClient& client) { return qwNow - client.m_qwLastRequestMs >= kForgetAfterMs; });
    if (m_vClients.size() >= kMaxClients) return nullptr;
  }
  m_vClients.push_back(ControlClient{wPort, DrawCookie(), std::string(), qwNow});
  return &m_vClients.back();
}

std::string ControlChannel::ServiceTotals(uint8_t bService) {
  std::string sPayload;
  PutTotals(sPayload, ToTotals(m_engine.RefreshStats(static_cast<ServiceId>(bService))));
  return sPayload;
}

void ControlChannel::Handle(ControlClient& client, const control::ControlMessage& request) {
  const uint8_t bType = request.m_bType;
  if (NeedsCookie(bType)) {
    if (request.m_sPayload.size() < 4 || GetU32(request.m_sPayload, 0) != client.m_dwCookie) return;
  }
  if (bType == kHello) {
    std::string sPayload;
    PutU32(sPayload, client.m_dwCookie);
    PutU32(sPayload, static_cast<uint32_t>(m_engine.StartTime()));
    Reply(client, kHello, sPayload);
  } else if (bType == kStatusAll) {
    EngineStatus status;
    for (uint8_t n = 0; n < kServiceCount; ++n) {
      const ServiceStats& stats = m_engine.RefreshStats(static_cast<ServiceId>(n));
      status.m_abServices[n] = stats.m_bStatus;
      if (m_engine.ServiceRuns(static_cast<ServiceId>(n))) status.m_totals += ToTotals(stats);
    }
    for (const Engine::MapStats& map : m_engine.RefreshMapStats()) {
      status.m_totals += ToTotals(map.m_stats);
      status.m_vMaps.push_back(MapState{map.m_dwBindIp, map.m_wBindPort, map.m_stats.m_bStatus});
    }
    status.m_nTotalConnections = Connections().m_nTotal.load();
    Reply(client, kStatusAll | kReplyBit, BuildEngineStatus(status));
  } else if (bType == kReloadGeneral) {
    m_engine.ReloadGeneral();
  } else if (bType >= kStartService && bType < kStartService + kServiceCount) {
    m_engine.StartOrReloadService(static_cast<ServiceId>(bType - kStartService));
  } else if (bType == kReloadMaps) {
    m_engine.ReloadMaps();
  } else if (bType >= kServiceStatus && bType < kServiceStatus + kServiceCount) {
    const auto id = static_cast<ServiceId>(bType - kServiceStatus);
    if (m_engine.ServiceRuns(id)) Reply(client, bType | kReplyBit, ServiceTotals(bType - kServiceStatus));
  } else if (bType == kMapStatus) {
    if (request.m_sPayload.size() < 10) return;
    const uint32_t dwBindIp = GetU32(request.m_sPayload, 4);
    const uint16_t wBindPort = GetU16(request.m_sPayload, 8);
    Totals totals;
    for (const Engine::MapStats& map : m_engine.RefreshMapStats()) {
      if (map.m_dwBindIp == dwBindIp && map.m_wBindPort == wBindPort) totals += ToTotals(map.m_stats);
    }
    std::string sPayload = request.m_sPayload.substr(4, 6);
    PutTotals(sPayload, totals);
    Reply(client, kMapStatus | kReplyBit, sPayload);
  } else if (bType == kQuit) {
    m_engine.RequestQuit();
  }
}

void ControlChannel::Reply(ControlClient& client, uint8_t bType, const std::string& sPayload) {
  client.m_sReply = EncodeDatagram(control::ControlMessage{bType, sPayload});
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
  } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
    m_vClients.erase(m_vClients.begin() + static_cast<std::ptrdiff_t>(nClient));
    return false;
  }
  return true;
}

}  // namespace harbix
