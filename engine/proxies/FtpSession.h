// An FTP proxy session: greets the client, takes "USER name@host[:port]", connects to that
// server and logs in there as "name", then passes the control conversation through line by
// line. Two things are rewritten on the way, the client's PORT commands and the server's 227
// replies, so that every data connection runs through the engine too: a listener of the
// session takes the data connection from the one peer expected, and a relay joins it to a
// connection the session makes to the other peer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/Acceptor.h"
#include "engine/core/Connector.h"
#include "engine/core/LineReader.h"
#include "engine/core/Relay.h"
#include "engine/core/Session.h"

namespace harbix {

// What the control lines mean to the proxy, without any socket: the parts the session and the
// fuzz targets share.
namespace ftp {

inline constexpr size_t kMaxLine = 8192;
inline constexpr uint16_t kDefaultPort = 21;

inline constexpr const char* kGreeting = "220-Quillbay FTP Proxy OK\n220 Send user@hostname to connect";
inline constexpr const char* kNoUser = "421 NO USER SPECIFIED, QUITTING";
inline constexpr const char* kNoHost = "530 NO HOST SPECIFIED, QUITTING";
inline constexpr const char* kNoSocket = "530 Cannot create a new SOCKET";
inline constexpr const char* kNoBind = "530 Cannot bind SOCKET";
inline constexpr const char* kConnectFailed = "530 Cannot connect to host";
inline constexpr const char* kInternalError = "530 Internal Error";
inline constexpr const char* kPortError = "451 PORT ERROR";
inline constexpr const char* kPassiveError = "451 PASV ERROR, QUITTING";
inline constexpr const char* kReceiveError = "421 Error while receiving data";
inline constexpr const char* kTimeOut = "451 TimeOut Expired, Quitting";
inline constexpr const char* kNotImplemented = "502 Command not implemented";
// Answers to what clients ask before they log in.
inline constexpr const char* kNoFeatures = "211 End";
inline constexpr const char* kNoTls = "534 TLS cannot pass the proxy";
inline constexpr const char* kNoOptions = "501 No options before USER";
std::string Unresolved(const std::string& sHost);
std::string NotAllowed(const std::string& sHost);
std::string CannotConnect(const std::string& sHost);

// An address and port as PORT and 227 write them: "h1,h2,h3,h4,p1,p2".
struct HostPort {
  uint32_t m_dwIp = 0;  // network order
  uint16_t m_wPort = 0;
};
// Exactly six decimal numbers of 0 to 255 separated by commas (blanks allowed before each
// number), nothing else; a port of 0 names no port.
std::optional<HostPort> ParseHostPort(std::string_view sText);
std::string FormatHostPort(uint32_t dwIp, uint16_t wPort);

// What one client line (trimmed, not empty) asks of the session.
struct ClientCommand {
  enum class Kind {
    kLogin,      // USER name@host: m_sLine is "USER name", the server is m_sHost:m_wPort
    kNoUser,     // the first command is not USER
    kNoHost,     // USER without "@"
    kLocal,      // answered by the proxy with m_sLine, nothing goes to the server
    kPort,       // PORT: m_address is what the client announced
    kPortError,  // PORT with an argument that is not an address
    kForward,    // m_sLine goes to the server as it is
  } m_kind = Kind::kForward;
  std::string m_sLine;
  std::string m_sHost;
  uint16_t m_wPort = kDefaultPort;
  HostPort m_address;
};
ClientCommand ReadClientLine(const std::string& sLine, bool bUserSeen);

// What one server line (trimmed, not empty) becomes.
struct ServerReply {
  enum class Kind {
    kForward,       // m_sLine goes to the client
    kGreeting,      // a line of the server's 220 greeting: m_sLine is its text
    kPassive,       // a 227 reply: the server listens at m_address; the client is to be told
                    // m_sPrefix + "(" + the proxy's address + ")" + m_sSuffix
    kPassiveError,  // a 227 reply whose address cannot be read
  } m_kind = Kind::kForward;
  std::string m_sLine;
  std::string m_sPrefix;
  std::string m_sSuffix;
  HostPort m_address;
};
ServerReply ReadServerLine(const std::string& sLine);
// Whether a line starts with a reply code and a space or "-".
bool HasCode(std::string_view sLine);
std::string PassiveReply(const ServerReply& reply, uint32_t dwIp, uint16_t wPort);

}  // namespace ftp

class FtpSession : public Session {
 public:
  static constexpr uint32_t kFirstIdleMs = 10000;

  explicit FtpSession(SessionContext&& context);

 protected:
  void OnCreate() override;
  void OnSocketEvent(int hSocket, uint32_t dwEvent, uint32_t dwError) override;
  void OnRelayEnded(Relay& relay) override;
  void OnIdleExpired() override;

 private:
  // The control connections, read by the session itself (the relay sends and ends them).
  struct ControlSide {
    Relay::Side m_side;
    LineReader m_reader{ftp::kMaxLine};
    bool m_bEnded = false;     // the end was read and passed to the relay
  };
  enum class DataMode { kNone, kActive, kPassive };

  ControlSide& SideOf(Relay::Side side) { return side == Relay::kClient ? m_client : m_server; }
  // Reads and handles what the side sent, as far as the session may go on now.
  void ReadControl(ControlSide& side);
  void HandleLines(ControlSide& side);
  // Lines are held while a connect the next line may depend on is under way (the server
  // connect: a PORT needs the local address; a data connect: the client must see the data
  // connection before the replies that follow), and while the other side's queue is full.
  bool Waiting(const ControlSide& side) const;
  void Resume();
  void OnClientLine(const std::string& sLine);
  void OnServerLine(const std::string& sLine);
  void SendClient(std::string_view sLine);
  void SendServer(std::string_view sLine);
  // The line goes to the client, and the session ends once it is out.
  void Quit(std::string_view sLine);

  void OnServerConnected(Connector::Result result, Socket&& server);
  bool ListenForData(DataMode mode, uint32_t dwBindIp, uint32_t dwExpectedIp, uint16_t wPeerPort);
  void OnDataAccepted(Socket&& socket);
  void OnDataConnected(Connector::Result result, Socket&& socket);

  Relay m_control{*this};
  Connector m_connector{*this};
  Acceptor m_dataListener{*this};
  Connector m_dataConnector{*this};
  std::unique_ptr<Relay> m_lpData;
  ControlSide m_client{Relay::kClient};
  ControlSide m_server{Relay::kServer};
  // The server's greeting opens the reply to USER: its lines wait for that reply's code.
  std::vector<std::string> m_vGreeting;
  bool m_bUserSeen = false;
  bool m_bConnecting = false;  // the server connect is under way
  bool m_bQuitting = false;
  bool m_bResuming = false;
  bool m_bControlEnded = false;
  std::string m_sHost;
  SocketAddress m_clientAddress;   // the client's end of the control connection
  uint32_t m_dwClientFacingIp = 0;
  uint32_t m_dwServerIp = 0;
  uint32_t m_dwServerFacingIp = 0;
  DataMode m_dataMode = DataMode::kNone;
  uint16_t m_wDataPort = 0;        // where the peer of the current mode listens
};

SessionFactory FtpSessionFactory();

}  // namespace harbix
