// Small blocking network helpers and loopback test servers for tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace harbix::test {

inline constexpr uint32_t kLoopbackIp = 0x0100007F;  // 127.0.0.1, network order

// A byte of the test pattern at a stream offset: varied enough that a lost, doubled or
// reordered block shows.
inline uint8_t PatternByte(uint64_t qwOffset) {
  return static_cast<uint8_t>((qwOffset * 7) ^ (qwOffset >> 9) ^ (qwOffset >> 17));
}

// A connected blocking TCP socket to 127.0.0.1:port (-1 on failure), with receive and send
// timeouts so that a broken test fails instead of hanging.
int ConnectTcp(uint16_t wPort, int nTimeoutMs = 5000, uint32_t dwIp = kLoopbackIp);
bool SendAll(int hSocket, const std::string& sData);
// Reads until cbWanted bytes arrived, the peer closed, or the timeout passed.
std::string RecvSome(int hSocket, size_t cbWanted, int nTimeoutMs = 5000);
// True when the peer closes the connection (reads 0 or is reset) within the timeout, without
// sending anything.
bool ClosedByPeer(int hSocket, int nTimeoutMs = 5000);
// Whether something listens on 127.0.0.1:port.
bool Listening(uint16_t wPort);
// A loopback port that nothing listens on: a connect to it is refused.
uint16_t ClosedPort();
// Open descriptors of this process.
size_t OpenDescriptors();
// Resident memory of a process (0 = this one), in KiB.
size_t ResidentKib(int nPid = 0);

// A loopback TCP server on a thread of its own. Echo sends back what it receives; Source sends
// cbSource bytes of the test pattern to each client, then closes; Hold keeps connections open
// and silent.
class TcpTestServer {
 public:
  enum class Mode { Echo, Source, Hold };
  explicit TcpTestServer(Mode mode, uint64_t cbSource = 0);
  ~TcpTestServer();
  TcpTestServer(const TcpTestServer&) = delete;
  TcpTestServer& operator=(const TcpTestServer&) = delete;

  uint16_t Port() const { return m_wPort; }
  size_t Accepted() const { return m_nAccepted.load(); }

 private:
  void Serve();

  Mode m_mode;
  uint64_t m_cbSource;
  int m_hListener = -1;
  int m_hWake[2] = {-1, -1};
  uint16_t m_wPort = 0;
  std::atomic<size_t> m_nAccepted{0};
  std::thread m_thread;
};

}  // namespace harbix::test
