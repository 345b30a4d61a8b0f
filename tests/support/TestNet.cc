#include "tests/support/TestNet.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>

namespace harbix::test {
namespace {

void SetTimeouts(int hSocket, int nTimeoutMs) {
  timeval tv{nTimeoutMs / 1000, (nTimeoutMs % 1000) * 1000};
  ::setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(hSocket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

int ConnectTcp(uint16_t wPort, int nTimeoutMs, uint32_t dwIp) {
  const int hSocket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (hSocket < 0) return -1;
  SetTimeouts(hSocket, nTimeoutMs);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = dwIp;
  address.sin_port = htons(wPort);
  if (::connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(hSocket);
    return -1;
  }
  return hSocket;
}

bool SendAll(int hSocket, const std::string& sData) {
  size_t nSent = 0;
  while (nSent < sData.size()) {
    const ssize_t n = ::send(hSocket, sData.data() + nSent, sData.size() - nSent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    nSent += static_cast<size_t>(n);
  }
  return true;
}

std::string RecvSome(int hSocket, size_t cbWanted, int nTimeoutMs) {
  std::string sData;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  char buffer[65536];
  while (sData.size() < cbWanted) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{hSocket, POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(hSocket, buffer, std::min(sizeof buffer, cbWanted - sData.size()), 0);
    if (n <= 0) break;
    sData.append(buffer, static_cast<size_t>(n));
  }
  return sData;
}

bool ClosedByPeer(int hSocket, int nTimeoutMs) {
  pollfd pfd{hSocket, POLLIN, 0};
  if (::poll(&pfd, 1, nTimeoutMs) <= 0) return false;
  char c;
  const ssize_t n = ::recv(hSocket, &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

bool Listening(uint16_t wPort) {
  const int hSocket = ConnectTcp(wPort, 1000);
  if (hSocket < 0) return false;
  ::close(hSocket);
  return true;
}

uint16_t ClosedPort() {
  // Bound and let go without listening: the port was free a moment ago and nobody listens now.
  const int hSocket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = kLoopbackIp;
  socklen_t cbAddress = sizeof address;
  ::bind(hSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  ::getsockname(hSocket, reinterpret_cast<sockaddr*>(&address), &cbAddress);
  ::close(hSocket);
  return ntohs(address.sin_port);
}

size_t OpenDescriptors() {
  size_t nCount = 0;
  if (DIR* lpDir = ::opendir("/proc/self/fd")) {
    while (const dirent* lpEntry = ::readdir(lpDir)) {
      if (lpEntry->d_name[0] != '.') ++nCount;
    }
    ::closedir(lpDir);
  }
  return nCount - 1;  // the directory being read
}

size_t ResidentKib(int nPid) {
  const std::string sPath = nPid ? "/proc/" + std::to_string(nPid) + "/status" : "/proc/self/status";
  FILE* lpFile = std::fopen(sPath.c_str(), "re");
  if (!lpFile) return 0;
  char szLine[256];
  size_t nKib = 0;
  while (std::fgets(szLine, sizeof szLine, lpFile)) {
    if (std::sscanf(szLine, "VmRSS: %zu kB", &nKib) == 1) break;
  }
  std::fclose(lpFile);
  return nKib;
}

TcpTestServer::TcpTestServer(Mode mode, uint64_t cbSource) : m_mode(mode), m_cbSource(cbSource) {
  m_hListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = kLoopbackIp;
  ::bind(m_hListener, reinterpret_cast<sockaddr*>(&address), sizeof address);
  ::listen(m_hListener, 512);
  socklen_t cbAddress = sizeof address;
  ::getsockname(m_hListener, reinterpret_cast<sockaddr*>(&address), &cbAddress);
  m_wPort = ntohs(address.sin_port);
  [[maybe_unused]] int nResult = ::pipe2(m_hWake, O_CLOEXEC | O_NONBLOCK);
  m_thread = std::thread([this] { Serve(); });
}

TcpTestServer::~TcpTestServer() {
  [[maybe_unused]] ssize_t n = ::write(m_hWake[1], "x", 1);
  m_thread.join();
  ::close(m_hListener);
  ::close(m_hWake[0]);
  ::close(m_hWake[1]);
}

void TcpTestServer::Serve() {
  struct Client {
    std::string sPending;  // echo: received, not yet sent back
    uint64_t qwSourceSent = 0;
  };
  std::map<int, Client> clients;
  std::vector<char> vBuffer(256 * 1024);
  while (true) {
    std::vector<pollfd> vPoll = {{m_hWake[0], POLLIN, 0}, {m_hListener, POLLIN, 0}};
    for (auto& [hSocket, client] : clients) {
      short nEvents = POLLIN;
      if (!client.sPending.empty() || (m_mode == Mode::Source && client.qwSourceSent < m_cbSource)) nEvents |= POLLOUT;
      vPoll.push_back({hSocket, nEvents, 0});
    }
    if (::poll(vPoll.data(), vPoll.size(), 1000) < 0) continue;
    if (vPoll[0].revents) break;
    if (vPoll[1].revents & POLLIN) {
      int hClient;
      while ((hClient = ::accept4(m_hListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
        clients.emplace(hClient, Client());
        m_nAccepted.fetch_add(1);
      }
    }
    for (size_t i = 2; i < vPoll.size(); ++i) {
      const int hSocket = vPoll[i].fd;
      Client& client = clients[hSocket];
      bool bClose = false;
      if (vPoll[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        const ssize_t n = ::recv(hSocket, vBuffer.data(), vBuffer.size(), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN)) bClose = true;
        if (n > 0 && m_mode == Mode::Echo) client.sPending.append(vBuffer.data(), static_cast<size_t>(n));
      }
      if (!bClose && (vPoll[i].revents & POLLOUT)) {
        if (m_mode == Mode::Source) {
          const size_t cbChunk = static_cast<size_t>(std::min<uint64_t>(vBuffer.size(), m_cbSource - client.qwSourceSent));
          for (size_t j = 0; j < cbChunk; ++j) vBuffer[j] = static_cast<char>(PatternByte(client.qwSourceSent + j));
          const ssize_t n = ::send(hSocket, vBuffer.data(), cbChunk, MSG_NOSIGNAL);
          if (n > 0) client.qwSourceSent += static_cast<uint64_t>(n);
          if (n < 0 && errno != EAGAIN) bClose = true;
          if (client.qwSourceSent >= m_cbSource) bClose = true;
        } else {
          const ssize_t n = ::send(hSocket, client.sPending.data(), client.sPending.size(), MSG_NOSIGNAL);
          if (n > 0) client.sPending.erase(0, static_cast<size_t>(n));
          if (n < 0 && errno != EAGAIN) bClose = true;
        }
      }
      if (bClose) {
        ::close(hSocket);
        clients.erase(hSocket);
      }
    }
  }
  for (auto& [hSocket, client] : clients) ::close(hSocket);
}

}  // namespace harbix::test
