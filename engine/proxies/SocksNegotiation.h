// What a SOCKS client says before its bytes are relayed: the SOCKS 4 request, or the SOCKS 5
// greeting, the user-name/password exchange (RFC 1929) and the request (RFC 1928). Bytes are
// fed as they arrive, in pieces of any size; the answers to send come out as they are decided,
// and the request once it is complete. Nothing here touches a socket, so every stage can be
// driven by tests and the fuzzer alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "common/ServiceConfig.h"
#include "platform/Socket.h"

namespace harbix {

namespace socks {

// The failures the client is told of, one reply each (its layout depends on the version).
enum Error : uint8_t {
  kBadGreeting = 0,     // not a greeting, no acceptable method, or SOCKS 5 is not served
  kAuthFailed = 1,      // the user name and password were refused or malformed
  kBadCommand = 2,
  kBadAddressType = 3,  // IPv6 included
  kUnresolved = 4,
  kLocalFailure = 5,    // a socket, bind, listen, accept or local-address failure; an overlong user id
  kRefused = 6,         // the outgoing list refused the address, or the connect failed
};

enum Command : uint8_t { kConnect = 1, kBind = 2, kUdpAssociate = 3 };

std::string ErrorReply(bool bVersion4, Error error);
// The success reply of a request: the address and port are those the client is to know (the
// destination as connected, the listening port, the peer that connected, the UDP relay).
std::string SuccessReply(bool bVersion4, const SocketAddress& address);

}  // namespace socks

class SocksNegotiation {
 public:
  // A SOCKS 4 user id is ignored, but it is read to its terminating zero: past this it is
  // refused, so that a client can never make the engine hold more.
  static constexpr size_t kMaxUserId = 1024;
  // No SOCKS 5 message is longer (a greeting of 255 methods, 255-byte name and password).
  static constexpr size_t kMaxMessage = 8 + kMaxUserId + 1;

  enum class State {
    kReading,   // more is needed
    kRequest,   // the request is complete: Request() tells what it asks for
    kFailed,    // the error reply is in the output; the session ends once it is out
    kSilent,    // the session ends without a reply (SOCKS 4 while only SOCKS 5 is served)
  };

  struct Request {
    bool m_bVersion4 = false;
    uint8_t m_bCommand = 0;
    uint32_t m_dwIp = 0;      // network order; 0 with a name
    std::string m_sName;      // a domain name (SOCKS 5 address type 3)
    uint16_t m_wPort = 0;     // host order
  };

  explicit SocksNegotiation(const SocksSettings& settings) : m_settings(settings) {}

  // Takes bytes from the client. What follows a complete request (bytes the client sent ahead)
  // is kept for Rest; once the state is not kReading nothing more is taken.
  State Feed(std::string_view sBytes);
  State GetState() const { return m_state; }
  // The bytes to send to the client now (method choice, authentication status, error reply).
  std::string TakeOutput() { return std::move(m_sOutput); }
  const Request& GetRequest() const { return m_request; }
  std::string TakeRest() { return std::move(m_sRest); }
  bool Version4() const { return m_bVersion4; }
  socks::Error LastError() const { return m_error; }
  // The stage reached: 0 the first message, 1 user name and password, 2 the SOCKS 5 request,
  // 3 answered.
  int Stage() const { return m_nStage; }

 private:
  // Each handler looks at the buffer: false while it is too short; true when it consumed a
  // message (or ended the negotiation).
  bool Step();
  bool Socks4Request();
  bool Greeting();
  bool UserPassword();
  bool Socks5Request();
  void Fail(socks::Error error);
  void Consume(size_t cb);

  const SocksSettings& m_settings;
  std::string m_sBuffer;
  std::string m_sOutput;
  std::string m_sRest;
  Request m_request;
  State m_state = State::kReading;
  socks::Error m_error = socks::kBadGreeting;
  int m_nStage = 0;
  bool m_bVersion4 = false;
};

}  // namespace harbix
