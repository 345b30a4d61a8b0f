#include "engine/proxies/SocksNegotiation.h"

#include <cstring>

namespace harbix {

namespace socks {

namespace {

constexpr uint8_t kVersion4 = 4;
constexpr uint8_t kVersion5 = 5;
constexpr uint8_t kNoAuthentication = 0;
constexpr uint8_t kUserPassword = 2;
constexpr uint8_t kUserPasswordVersion = 1;
constexpr uint8_t kAddressIpv4 = 1;
constexpr uint8_t kAddressName = 3;
constexpr uint8_t kGranted4 = 90;
constexpr uint8_t kRejected4 = 91;

std::string FiveWithCode(uint8_t bCode) { return std::string{char(kVersion5), char(bCode), 0, char(kAddressIpv4), 0, 0, 0, 0, 0, 0}; }

}  // namespace

std::string ErrorReply(bool bVersion4, Error error) {
  // SOCKS 4 has one refusal for everything.
  if (bVersion4) return std::string{0, char(kRejected4), 0, 0, 0, 0, 0, 0};
  switch (error) {
    case kBadGreeting: return std::string{char(kVersion5), char(0xFF)};
    case kAuthFailed: return std::string{char(kUserPasswordVersion), char(0xFF)};
    case kBadCommand: return FiveWithCode(7);
    case kBadAddressType: return FiveWithCode(8);
    case kUnresolved: return FiveWithCode(4);
    case kLocalFailure: return FiveWithCode(1);
    case kRefused: return FiveWithCode(5);
  }
  return FiveWithCode(1);
}

std::string SuccessReply(bool bVersion4, const SocketAddress& address) {
  char ip[4];
  std::memcpy(ip, &address.m_dwIp, sizeof ip);  // network order as it is
  const char port[2] = {char(address.m_wPort >> 8), char(address.m_wPort & 0xFF)};
  std::string sReply;
  if (bVersion4) {
    sReply = {0, char(kGranted4)};
    sReply.append(port, 2).append(ip, 4);
  } else {
    sReply = {char(kVersion5), 0, 0, char(kAddressIpv4)};
    sReply.append(ip, 4).append(port, 2);
  }
  return sReply;
}

}  // namespace socks

namespace {
uint8_t At(const std::string& s, size_t n) { return static_cast<uint8_t>(s[n]); }
uint16_t PortAt(const std::string& s, size_t n) { return static_cast<uint16_t>(At(s, n) << 8 | At(s, n + 1)); }
uint32_t IpAt(const std::string& s, size_t n) {
  uint32_t dwIp;
  std::memcpy(&dwIp, s.data() + n, sizeof dwIp);
  return dwIp;
}
}  // namespace

SocksNegotiation::State SocksNegotiation::Feed(std::string_view sBytes) {
  if (m_state != State::kReading) return m_state;
  m_sBuffer.append(sBytes);
  while (m_state == State::kReading && !m_sBuffer.empty() && Step()) {
  }
  if (m_state == State::kRequest) {
    m_sRest = std::move(m_sBuffer);
    m_sBuffer.clear();
  } else if (m_state == State::kReading && m_sBuffer.size() > kMaxMessage) {
    Fail(socks::kLocalFailure);  // no message is this long: the handlers would have decided
  }
  if (m_state != State::kReading) m_sBuffer.clear();
  return m_state;
}

bool SocksNegotiation::Step() {
  switch (m_nStage) {
    case 0:
      // The first message decides the version for the whole negotiation.
      m_bVersion4 = At(m_sBuffer, 0) == socks::kVersion4;
      if (!m_bVersion4) return Greeting();
      if (m_settings.m_nVersionType == 1) {
        m_state = State::kSilent;
        return true;
      }
      m_nStage = 2;
      return Socks4Request();
    case 1: return UserPassword();
    case 2: return m_bVersion4 ? Socks4Request() : Socks5Request();
    default: return false;
  }
}

void SocksNegotiation::Consume(size_t cb) { m_sBuffer.erase(0, cb); }

void SocksNegotiation::Fail(socks::Error error) {
  m_error = error;
  m_sOutput += socks::ErrorReply(m_bVersion4, error);
  m_state = State::kFailed;
}

bool SocksNegotiation::Socks4Request() {
  if (m_sBuffer.size() < 2) return false;
  const uint8_t bCommand = At(m_sBuffer, 1);
  if (bCommand != socks::kConnect && bCommand != socks::kBind) {
    Fail(socks::kBadCommand);
    return true;
  }
  if (m_sBuffer.size() < 9) return false;
  const size_t nEnd = m_sBuffer.find('\0', 8);
  if (nEnd == std::string::npos) {
    if (m_sBuffer.size() - 8 > kMaxUserId) {
      Fail(socks::kLocalFailure);
      return true;
    }
    return false;
  }
  if (nEnd - 8 > kMaxUserId) {
    Fail(socks::kLocalFailure);
    return true;
  }
  m_request.m_bVersion4 = true;
  m_request.m_bCommand = bCommand;
  m_request.m_wPort = PortAt(m_sBuffer, 2);
  m_request.m_dwIp = IpAt(m_sBuffer, 4);  // 0.0.0.x is an address like any other: no host-name extension
  Consume(nEnd + 1);
  m_nStage = 3;
  m_state = State::kRequest;
  return true;
}

bool SocksNegotiation::Greeting() {
  if (At(m_sBuffer, 0) != socks::kVersion5 || m_settings.m_nVersionType == 0) {
    Fail(socks::kBadGreeting);
    return true;
  }
  if (m_sBuffer.size() < 2) return false;
  const size_t nMethods = At(m_sBuffer, 1);
  if (m_sBuffer.size() < 2 + nMethods) return false;
  int nChosen = -1;
  // The client lists the methods in the order it prefers them.
  for (size_t i = 0; i < nMethods && nChosen < 0; ++i) {
    const uint8_t bMethod = At(m_sBuffer, 2 + i);
    if (bMethod == socks::kUserPassword || (bMethod == socks::kNoAuthentication && m_settings.m_bAllowAnonymous)) {
      nChosen = bMethod;
    }
  }
  if (nChosen < 0) {
    Fail(socks::kBadGreeting);
    return true;
  }
  m_sOutput += std::string{char(socks::kVersion5), char(nChosen)};
  m_nStage = nChosen == socks::kNoAuthentication ? 2 : 1;
  Consume(2 + nMethods);
  return true;
}

bool SocksNegotiation::UserPassword() {
  if (At(m_sBuffer, 0) != socks::kUserPasswordVersion) {
    Fail(socks::kAuthFailed);
    return true;
  }
  if (m_sBuffer.size() < 2) return false;
  const size_t cbName = At(m_sBuffer, 1);
  if (m_sBuffer.size() < cbName + 3) return false;
  const size_t cbPassword = At(m_sBuffer, cbName + 2);
  if (m_sBuffer.size() < cbName + cbPassword + 3) return false;
  const std::string sName = m_sBuffer.substr(2, cbName);
  const auto it = m_settings.m_users.find(sName);
  if (it == m_settings.m_users.end() || it->second != std::string_view(m_sBuffer).substr(cbName + 3, cbPassword)) {
    Fail(socks::kAuthFailed);
    return true;
  }
  m_sOutput += std::string{char(socks::kUserPasswordVersion), 0};
  m_nStage = 2;
  Consume(cbName + cbPassword + 3);
  return true;
}

bool SocksNegotiation::Socks5Request() {
  if (At(m_sBuffer, 0) != socks::kVersion5) {
    Fail(socks::kBadGreeting);
    return true;
  }
  if (m_sBuffer.size() < 2) return false;
  const uint8_t bCommand = At(m_sBuffer, 1);
  if (bCommand == 0 || bCommand > socks::kUdpAssociate) {
    Fail(socks::kBadCommand);
    return true;
  }
  if (m_sBuffer.size() < 4) return false;
  size_t cbRequest = 0;
  switch (At(m_sBuffer, 3)) {
    case socks::kAddressIpv4:
      cbRequest = 10;
      if (m_sBuffer.size() < cbRequest) return false;
      m_request.m_dwIp = IpAt(m_sBuffer, 4);
      m_request.m_wPort = PortAt(m_sBuffer, 8);
      break;
    case socks::kAddressName: {
      if (m_sBuffer.size() < 5) return false;
      const size_t cbName = At(m_sBuffer, 4);
      cbRequest = cbName + 7;
      if (m_sBuffer.size() < cbRequest) return false;
      m_request.m_sName = m_sBuffer.substr(5, cbName);
      m_request.m_wPort = PortAt(m_sBuffer, 5 + cbName);
      // A name with a zero byte would be looked up as another, shorter one.
      if (m_request.m_sName.empty() || m_request.m_sName.find('\0') != std::string::npos) {
        Fail(socks::kUnresolved);
        return true;
      }
      break;
    }
    default:
      Fail(socks::kBadAddressType);
      return true;
  }
  m_request.m_bVersion4 = false;
  m_request.m_bCommand = bCommand;
  Consume(cbRequest);
  m_nStage = 3;
  m_state = State::kRequest;
  return true;
}

}  // namespace harbix
