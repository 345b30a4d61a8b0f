// The engine's side of the control channel: the UDP socket at 127.0.0.1:9999, the table of
// manager clients with their cookies, and the requests they make. Runs on the engine thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/ControlMessage.h"
#include "common/ServiceConfig.h"
#include "engine/core/ServiceStats.h"
#include "platform/Socket.h"

namespace harbix {

class SinkWindow;

// A running port map as the status replies show it.
struct MapStats {
  uint32_t m_dwBindIp;
  uint16_t m_wBindPort;
  ServiceStats m_stats;
};

// What the channel acts on (the engine).
class ControlTarget {
 public:
  virtual ~ControlTarget() = default;
  virtual int32_t StartTime() const = 0;
  // A service's counters, refreshed when it runs; its last status when it does not.
  virtual const ServiceStats& RefreshStats(ServiceId id) = 0;
  virtual bool ServiceRuns(ServiceId id) const = 0;
  virtual std::vector<MapStats> RefreshMapStats() = 0;
  virtual void ReloadGeneral() = 0;
  virtual void StartOrReloadService(ServiceId id) = 0;
  virtual void ReloadMaps() = 0;
  virtual void RequestQuit() = 0;
};

class ControlChannel {
 public:
  // A client is forgotten when this long has passed since its last request when the engine
  // next tries to send to it.
  static constexpr uint64_t kForgetAfterMs = 61000;
  // The table never grows beyond this; a newcomer takes the place of the client that was
  // quiet the longest, so nobody can be locked out.
  static constexpr size_t kMaxClients = 1024;
  // Datagrams handled per read event, so a flood cannot hold the engine thread.
  static constexpr int kDatagramsPerEvent = 64;
  // One area's settings (the general ones, one service's, the maps) are re-read at most this
  // often; requests that come meanwhile are merged into the one that waits.
  static constexpr uint64_t kReloadSpacingMs = 250;
  // The engine thread's timer that runs a waiting reload (the owner passes it to OnTimer).
  static constexpr uint32_t kReloadTimerId = 3;

  // Cookies are drawn from random (the process's generator unless a test or fuzzer wants its
  // own, reproducible draws).
  explicit ControlChannel(ControlTarget& target, RandomSource random = ProcessRandom)
      : m_target(target), m_random(std::move(random)) {}

  bool Open(SinkWindow& sink);
  void Close(SinkWindow& sink);
  int Fd() const { return m_socket.Fd(); }
  // FD_READ: requests; FD_WRITE: replies that had to wait.
  void OnEvent(uint32_t dwEvent);
  void OnTimer(uint32_t nId);
  // One datagram as it was received: checked, decoded and acted on.
  void OnDatagram(const SocketAddress& from, std::string_view sWire);
  size_t Clients() const { return m_vClients.size(); }

 private:
  struct ControlClient {
    uint16_t m_wPort = 0;
    uint32_t m_dwCookie = 0;
    std::string m_sReply;  // a reply waiting to be sent, encoded; empty = none
    uint64_t m_qwLastRequestMs = 0;
  };
  // The areas a reload request names: the general settings, each service, the maps.
  static constexpr size_t kGeneralArea = 0;
  static constexpr size_t kFirstServiceArea = 1;
  static constexpr size_t kMapsArea = kFirstServiceArea + kServiceCount;
  struct ReloadState {
    bool m_bWaiting = false;
    bool m_bRan = false;
    uint64_t m_qwLastRunMs = 0;
  };

  void Receive();
  void Handle(ControlClient* lpClient, const control::ControlMessage& request);
  void Reply(ControlClient& client, uint8_t bType, const std::string& sPayload);
  // Sends the client's waiting reply; false when the client was forgotten.
  bool SendTo(size_t nClient);
  ControlClient* Find(uint16_t wPort);
  ControlClient& Add(uint16_t wPort);
  std::string ServiceTotals(uint8_t bService);
  void RequestReload(size_t nArea);
  void RunReload(size_t nArea);
  // Runs the waiting reloads that are due and sets the timer for the next.
  void RunDueReloads();
  static uint64_t NowMs();

  ControlTarget& m_target;
  RandomSource m_random;
  Socket m_socket;
  std::vector<ControlClient> m_vClients;
  std::string m_sBuffer;
  std::array<ReloadState, kMapsArea + 1> m_aReloads{};
};

}  // namespace harbix
