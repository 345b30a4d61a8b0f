#include "engine/proxies/PnaHeader.h"

namespace harbix {

namespace pna {

namespace {

constexpr char kVersionRecord[] = {0, 2, 1, 1};
constexpr char kEndRecord[] = {0, 1, 0};
constexpr uint8_t kStatusType = 6;

std::string StatusRecord(Status status) {
  const std::string_view sText = StatusText(status);
  const size_t cbRest = sText.size() + 2;  // the type and the code
  std::string sRecord = {char(cbRest >> 8), char(cbRest & 0xFF), char(kStatusType), char(status)};
  return sRecord.append(sText);
}

}  // namespace

const char* StatusText(Status status) {
  switch (status) {
    case kSuccess: return "Success - Quillbay Harbix Proxy Server";
    case kNoConnect: return "No Connect - Quillbay Harbix Proxy Server";
    // Players have always been told this, typing slip included.
    case kBadInfo: return "Bad Indo - Quillbay Harbix Proxy Server";
    case kBadVersion: return "Bad Version - Quillbay Harbix Proxy Server";
    case kBadOpCode: return "Bad OpCode - Quillbay Harbix Proxy Server";
  }
  return "Bad Indo - Quillbay Harbix Proxy Server";
}

std::string ErrorReply(Status status) {
  return std::string(kVersionRecord, sizeof kVersionRecord) + StatusRecord(status) + std::string(kEndRecord, sizeof kEndRecord);
}

std::string SuccessReply() { return std::string(kVersionRecord, sizeof kVersionRecord) + StatusRecord(kSuccess); }

}  // namespace pna

namespace {

enum RecordType : uint8_t {
  kEnd = 0,
  kVersion = 1,
  kHost = 2,
  kPort = 3,
  kPortAndOffset = 4,
  kTransport = 5,
  kText = 6,
};

constexpr uint8_t kServedVersion = 1;
constexpr size_t kLengthBytes = 2;

uint16_t U16At(std::string_view s, size_t n) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[n]) << 8 | static_cast<uint8_t>(s[n + 1]));
}

}  // namespace

PnaHeader::State PnaHeader::Feed(std::string_view sBytes) {
  if (m_state != State::kReading) return m_state;
  m_sBuffer.append(sBytes);
  while (m_state == State::kReading && Step()) {
  }
  if (m_state == State::kComplete) m_sRest = m_sBuffer.substr(m_nPos);
  if (m_state == State::kReading) {
    m_sBuffer.erase(0, m_nPos);
  } else {
    m_sBuffer = std::string();
  }
  m_nPos = 0;
  return m_state;
}

bool PnaHeader::Step() {
  const std::string_view sHave = std::string_view(m_sBuffer).substr(m_nPos);
  if (sHave.size() < kLengthBytes) return false;
  const size_t cbRest = U16At(sHave, 0);
  if (m_cbTaken + kLengthBytes + cbRest > kMaxHeader) {
    Fail(pna::kBadInfo);
    return true;
  }
  if (cbRest > 0) {
    if (sHave.size() < kLengthBytes + 1) return false;
    const uint8_t bType = static_cast<uint8_t>(sHave[kLengthBytes]);
    // Both can be told from the record's start: the client hears at once, not after the value.
    if (bType > kText) {
      Fail(pna::kBadOpCode);
      return true;
    }
    if (!LengthFits(bType, cbRest)) {
      Fail(pna::kBadInfo);
      return true;
    }
    if (sHave.size() < kLengthBytes + cbRest) return false;
    Take(bType, sHave.substr(kLengthBytes + 1, cbRest - 1));
  }
  m_nPos += kLengthBytes + cbRest;
  m_cbTaken += kLengthBytes + cbRest;
  return true;
}

bool PnaHeader::LengthFits(uint8_t bType, size_t cbRest) {
  switch (bType) {
    case kEnd: return cbRest == 1;
    case kVersion:
    case kTransport: return cbRest == 2;
    case kHost: return cbRest >= 2 && cbRest <= kMaxHost + 1;
    case kPort: return cbRest == 3;
    case kPortAndOffset: return cbRest == 3 || cbRest == 5;
    case kText: return cbRest >= 2;
    default: return false;
  }
}

void PnaHeader::Take(uint8_t bType, std::string_view sValue) {
  switch (bType) {
    case kEnd:
      if (!m_bVersion || m_sHost.empty() || !m_wPort || !m_bTransport) {
        Fail(pna::kBadInfo);
      } else {
        m_state = State::kComplete;
      }
      return;
    case kVersion:
      if (m_bVersion) {
        Fail(pna::kBadInfo);
      } else if (static_cast<uint8_t>(sValue[0]) != kServedVersion) {
        Fail(pna::kBadVersion);
      } else {
        m_bVersion = kServedVersion;
      }
      return;
    case kHost:
      // A name with a zero byte would be looked up as another, shorter one.
      if (!m_sHost.empty() || sValue.find('\0') != std::string_view::npos) {
        Fail(pna::kBadInfo);
      } else {
        m_sHost = sValue;
      }
      return;
    case kPort:
      if (m_wPort) {
        Fail(pna::kBadInfo);
      } else {
        m_wPort = U16At(sValue, 0);
      }
      return;
    case kPortAndOffset:
      m_wPort = U16At(sValue, 0);
      if (sValue.size() > kLengthBytes) m_nUdpPortOffset = U16At(sValue, kLengthBytes);
      return;
    case kTransport:
      if (m_bTransport) {
        Fail(pna::kBadInfo);
      } else {
        m_bTransport = static_cast<uint8_t>(sValue[0]);
      }
      return;
    default: return;  // an extra text, which tells the proxy nothing
  }
}

void PnaHeader::Fail(pna::Status error) {
  m_error = error;
  m_state = State::kFailed;
}

}  // namespace harbix
