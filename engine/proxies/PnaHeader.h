// What a streaming player tells the PNA proxy before its stream is relayed: a run of typed
// records (a 2-byte big-endian length of the rest, a type byte, the value) that names the
// server, its port and the transport, closed by an end record; and the status replies the proxy
// answers with, built from the same records. Bytes are fed as they arrive, in pieces of any
// size, and every record is judged as soon as it can be; nothing here touches a socket, so the
// parser can be driven by tests and the fuzzer alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harbix {

namespace pna {

// The status codes of the reply, each with its text.
enum Status : uint8_t {
  kSuccess = 0,
  kNoConnect = 1,   // unresolved, refused by the outgoing list, or not connected
  kBadInfo = 2,     // a record broke its rule, the header grew past its cap, or UDP set-up failed
  kBadVersion = 3,
  kBadOpCode = 4,   // a record type the proxy does not know
};

const char* StatusText(Status status);
// A version record, the status record and an end record; the client is gone after it.
std::string ErrorReply(Status status);
// A version record and the status record with code 0; the stream follows it.
std::string SuccessReply();

// The transport value that asks for the stream's data over UDP; any other is TCP only.
inline constexpr uint8_t kTransportUdp = 1;

}  // namespace pna

class PnaHeader {
 public:
  // A player's header is a few dozen bytes; however it is split into records, a client that
  // goes on past this is refused, so that it can never make the engine hold more.
  static constexpr size_t kMaxHeader = 64 * 1024;
  // The longest host name: 1024 counted with the type byte.
  static constexpr size_t kMaxHost = 1023;

  enum class State {
    kReading,   // more is needed
    kComplete,  // the end record came after every field: the fields tell where to connect
    kFailed,    // a record broke its rule: Error() is the code to answer with
  };

  // Takes bytes from the client. What follows the end record (the start of the stream) is kept
  // for TakeRest; once the state is not kReading nothing more is taken.
  State Feed(std::string_view sBytes);
  State GetState() const { return m_state; }
  pna::Status Error() const { return m_error; }
  const std::string& Host() const { return m_sHost; }
  uint16_t Port() const { return m_wPort.value_or(0); }  // host order
  bool Udp() const { return m_bTransport == pna::kTransportUdp; }
  // Where the client's first UDP port stands in the stream behind the header. The port record
  // of type 4 carries it in the two bytes behind its port; in its short form, and with the
  // record of type 3, it is 0.
  size_t UdpPortOffset() const { return m_nUdpPortOffset; }
  std::string TakeRest() { return std::move(m_sRest); }

 private:
  // Looks at the record at the front: false while it is incomplete (and within its rule);
  // true when it was taken, or the header is decided.
  bool Step();
  // Whether a record's length fits its type; the type is known.
  static bool LengthFits(uint8_t bType, size_t cbRest);
  void Take(uint8_t bType, std::string_view sValue);
  void Fail(pna::Status error);

  std::string m_sBuffer;
  size_t m_nPos = 0;      // the front of the unread records in the buffer
  size_t m_cbTaken = 0;   // the header's records taken so far
  std::string m_sRest;
  std::optional<uint8_t> m_bVersion;
  std::string m_sHost;
  std::optional<uint16_t> m_wPort;
  std::optional<uint8_t> m_bTransport;
  size_t m_nUdpPortOffset = 0;
  State m_state = State::kReading;
  pna::Status m_error = pna::kBadInfo;
};

}  // namespace harbix
