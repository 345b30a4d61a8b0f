// The connect step every session makes towards a server: a dotted address is taken at once and
// a name is looked up off the session's thread, the address is checked against the session's
// outgoing list, and a socket bound to a local address (any, by default) starts a non-blocking
// connect. The outcome comes once, through one callback: the connected socket, or the step
// that failed, which each session turns into its own text.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "engine/core/Session.h"
#include "engine/core/SocketHandler.h"
#include "platform/Socket.h"

namespace harbix {

class Connector : public SocketHandler {
 public:
  enum class Result {
    kConnected,
    kUnresolved,     // the name has no address
    kNotAllowed,     // the outgoing list refuses the address
    kNoSocket,       // no socket could be made
    kNoBind,         // the socket could not be bound
    kRefused,        // the connect failed at once
    kFailed,         // the connect failed later (its error is in Error())
  };
  using Done = std::function<void(Result result, Socket&& socket)>;

  explicit Connector(Session& session);
  ~Connector() override;
  Connector(const Connector&) = delete;
  Connector& operator=(const Connector&) = delete;

  // A host name or a dotted address (read as "%u.%u.%u.%u" reads the start of a text).
  void Start(const std::string& sHost, uint16_t wPort, Done done, uint32_t dwBindIp = 0);
  // A known address: no lookup.
  void StartAt(uint32_t dwIp, uint16_t wPort, Done done, uint32_t dwBindIp = 0);
  // Whether the destination is checked against the outgoing list (by default it is). A connect
  // back to the session's own client (an FTP data connection in active mode) is not one out
  // to a server, and the list does not govern it.
  void SetOutgoingCheck(bool bCheck) { m_bCheckOutgoing = bCheck; }
  // Forgets a connect under way (its socket is closed, the callback never runs).
  void Cancel();
  bool Busy() const { return static_cast<bool>(m_done); }
  // The destination address, once known; the error of a failed connect.
  uint32_t Address() const { return m_dwIp; }
  int Error() const { return m_nError; }

  bool OwnsSocket(int hSocket) const override { return hSocket >= 0 && hSocket == m_socket.Fd(); }
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;

 private:
  void Connect();
  // A system call failed (errno): noted as the session's end reason.
  void Fail(const char* lpCall, Result result);
  void Complete(Result result);

  Session& m_session;
  Done m_done;
  Socket m_socket;
  uint32_t m_dwIp = 0;
  uint16_t m_wPort = 0;
  uint32_t m_dwBindIp = 0;
  int m_nError = 0;
  bool m_bCheckOutgoing = true;
  // Lookups that finish after a Cancel (or after the connector is gone) find this changed; made
  // for the first lookup (a dotted address needs none).
  std::shared_ptr<uint64_t> m_lpGeneration;
};

}  // namespace harbix
