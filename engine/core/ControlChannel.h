// The engine's side of the control channel: the UDP socket at 127.0.0.1:9999, the table of
// manager clients with their cookies, and the requests they make. Runs on the engine thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/ControlMessage.h"
#include "platform/Socket.h"

namespace harbix {

class Engine;
class SinkWindow;

class ControlChannel {
 public:
  // A client is forgotten when this long has passed since its last request when the engine
  // next tries to send to it.
  static constexpr uint64_t kForgetAfterMs = 61000;
  // The table never grows beyond this: past it, idle clients make room or a newcomer is refused.
  static constexpr size_t kMaxClients = 1024;
  // Datagrams handled per read event, so a flood cannot hold the engine thread.
  static constexpr int kDatagramsPerEvent = 64;

  explicit ControlChannel(Engine& engine) : m_engine(engine) {}

  bool Open(SinkWindow& sink);
  void Close(SinkWindow& sink);
  int Fd() const { return m_socket.Fd(); }
  // FD_READ: requests; FD_WRITE: replies that had to wait.
  void OnEvent(uint32_t dwEvent);

 private:
  struct ControlClient {
    uint16_t m_wPort = 0;
    uint32_t m_dwCookie = 0;
    std::string m_sReply;  // a reply waiting to be sent, encoded; empty = none
    uint64_t m_qwLastRequestMs = 0;
  };

  void Receive();
  void Handle(ControlClient& client, const control::ControlMessage& request);
  void Reply(ControlClient& client, uint8_t bType, const std::string& sPayload);
  // Sends the client's waiting reply; false when the client was forgotten.
  bool SendTo(size_t nClient);
  ControlClient* FindOrAdd(uint16_t wPort, uint64_t qwNow);
  std::string ServiceTotals(uint8_t bService);

  Engine& m_engine;
  Socket m_socket;
  std::vector<ControlClient> m_vClients;
  std::string m_sBuffer;
};

}  // namespace harbix
