// harbix-bench: the load client and source server of the benchmark harness (bench/run.py).
//
//   harbix-bench serve --port P
//       A source server on 127.0.0.1:P. A client sends 'E' to have every byte echoed, or 'S'
//       and an 8-byte little-endian count to receive that many bytes, then the end of stream.
//   harbix-bench throughput --target P [--proxy PORT] --streams N --seconds S
//       Every stream receives for S seconds (at least): the figure is what arrived meanwhile.
//   harbix-bench rate --target P [--proxy PORT] --concurrency C --seconds S --max N
//   harbix-bench idle --target P --proxy PORT --tunnels N --pids PID[,PID...]
//   harbix-bench http --target P --path /FILE [--proxy PORT] --concurrency C --seconds S [--max N]
//       GET requests, a new connection each, for S seconds: to the target directly (origin
//       form), or to an HTTP proxy with the absolute URL. Every response must be a 200 whose
//       body has its Content-Length.
//
// With --proxy every connection goes through a CONNECT tunnel of that proxy on 127.0.0.1, or,
// with --via socks5 as well, through a SOCKS 5 CONNECT without authentication; without it,
// straight to the target. Results are one line of JSON on standard output.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kLoopback = 0x0100007F;
constexpr int kIoTimeoutSeconds = 30;

struct Args {
  std::map<std::string, std::string> values;
  std::string Get(const std::string& sName, const std::string& sDefault = "") const {
    auto it = values.find(sName);
    return it == values.end() ? sDefault : it->second;
  }
  long long Number(const std::string& sName, long long nDefault = 0) const {
    auto it = values.find(sName);
    return it == values.end() ? nDefault : std::atoll(it->second.c_str());
  }
};

[[noreturn]] void Die(const char* lpWhat) {
  std::fprintf(stderr, "harbix-bench: %s: %s\n", lpWhat, std::strerror(errno));
  std::exit(1);
}

void RaiseDescriptorLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

// ---------------------------------------------------------------------------------------------
// The source server: one epoll thread, non-blocking.

struct ServerClient {
  int hSocket;
  char cMode = 0;
  std::string sHeader;
  uint64_t qwLeft = 0;
  std::string sEcho;
};

int Serve(const Args& args) {
  const int hListener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  const int nOn = 1;
  ::setsockopt(hListener, SOL_SOCKET, SO_REUSEADDR, &nOn, sizeof nOn);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = kLoopback;
  address.sin_port = htons(static_cast<uint16_t>(args.Number("port")));
  if (::bind(hListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) Die("bind");
  ::listen(hListener, SOMAXCONN);
  const int hEpoll = ::epoll_create1(0);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = hListener;
  ::epoll_ctl(hEpoll, EPOLL_CTL_ADD, hListener, &event);
  std::map<int, ServerClient> clients;
  static char block[256 * 1024];
  std::memset(block, 'z', sizeof block);
  std::printf("ready\n");
  std::fflush(stdout);
  epoll_event events[256];
  auto close = [&](int hSocket) {
    ::close(hSocket);
    clients.erase(hSocket);
  };
  auto pump = [&](ServerClient& client) -> bool {  // false: done with it
    while (client.qwLeft > 0) {
      const ssize_t n = ::send(client.hSocket, block, std::min<uint64_t>(sizeof block, client.qwLeft), MSG_NOSIGNAL);
      if (n < 0) return errno == EAGAIN;
      client.qwLeft -= static_cast<uint64_t>(n);
    }
    ::shutdown(client.hSocket, SHUT_WR);
    return true;
  };
  while (true) {
    const int nEvents = ::epoll_wait(hEpoll, events, 256, -1);
    for (int i = 0; i < nEvents; ++i) {
      const int hSocket = events[i].data.fd;
      if (hSocket == hListener) {
        int hClient;
        while ((hClient = ::accept4(hListener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
          ::setsockopt(hClient, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
          epoll_event clientEvent{};
          clientEvent.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
          clientEvent.data.fd = hClient;
          ::epoll_ctl(hEpoll, EPOLL_CTL_ADD, hClient, &clientEvent);
          clients[hClient] = ServerClient{hClient};
        }
        continue;
      }
      auto it = clients.find(hSocket);
      if (it == clients.end()) continue;
      ServerClient& client = it->second;
      bool bOpen = true;
      if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        char buffer[65536];
        while (bOpen) {
          const ssize_t n = ::recv(hSocket, buffer, sizeof buffer, 0);
          if (n == 0 || (n < 0 && errno != EAGAIN)) {
            bOpen = false;
            break;
          }
          if (n < 0) break;
          size_t nPos = 0;
          if (!client.cMode) client.cMode = buffer[nPos++];
          if (client.cMode == 'E') {
            client.sEcho.append(buffer, static_cast<size_t>(n));  // the mode byte is echoed too
          } else if (client.cMode == 'S' && client.sHeader.size() < 8) {
            client.sHeader.append(buffer + nPos, std::min<size_t>(8 - client.sHeader.size(), static_cast<size_t>(n) - nPos));
            if (client.sHeader.size() == 8) {
              std::memcpy(&client.qwLeft, client.sHeader.data(), 8);
              if (!pump(client)) bOpen = false;
            }
          }
        }
      }
      if (bOpen && !client.sEcho.empty()) {
        const ssize_t n = ::send(hSocket, client.sEcho.data(), client.sEcho.size(), MSG_NOSIGNAL);
        if (n > 0) client.sEcho.erase(0, static_cast<size_t>(n));
      }
      if (bOpen && (events[i].events & EPOLLOUT) && client.qwLeft > 0 && !pump(client)) bOpen = false;
      if (!bOpen) close(hSocket);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Client side

int Connect(uint16_t wPort) {
  const int hSocket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (hSocket < 0) return -1;
  timeval tv{kIoTimeoutSeconds, 0};
  ::setsockopt(hSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(hSocket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  const int nOn = 1;
  ::setsockopt(hSocket, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = kLoopback;
  address.sin_port = htons(wPort);
  if (::connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(hSocket);
    return -1;
  }
  return hSocket;
}

bool SendAll(int hSocket, const void* lpData, size_t cbData) {
  const char* lpBytes = static_cast<const char*>(lpData);
  while (cbData > 0) {
    const ssize_t n = ::send(hSocket, lpBytes, cbData, MSG_NOSIGNAL);
    if (n <= 0) return false;
    lpBytes += n;
    cbData -= static_cast<size_t>(n);
  }
  return true;
}

// How a proxy is asked for a connection (--via).
bool g_bSocks5 = false;

// The SOCKS 5 greeting without authentication, then a CONNECT to 127.0.0.1:target once the
// method is chosen (not every server takes both at once); the 10-byte reply for an IPv4 address
// is read, and nothing beyond it.
bool OpenSocks5(int hSocket, uint16_t wTarget) {
  const char greeting[] = {5, 1, 0};
  char choice[2];
  if (!SendAll(hSocket, greeting, sizeof greeting) || ::recv(hSocket, choice, sizeof choice, MSG_WAITALL) != 2 ||
      choice[0] != 5 || choice[1] != 0) {
    return false;
  }
  const char request[] = {5, 1, 0, 1, 127, 0, 0, 1, static_cast<char>(wTarget >> 8), static_cast<char>(wTarget & 0xFF)};
  char reply[10];
  return SendAll(hSocket, request, sizeof request) && ::recv(hSocket, reply, sizeof reply, MSG_WAITALL) == 10 &&
         reply[0] == 5 && reply[1] == 0;
}

// A connection to the target, through a CONNECT tunnel when a proxy is given: reads the proxy's
// reply up to its blank line, and nothing beyond it.
int Open(uint16_t wTarget, uint16_t wProxy) {
  const int hSocket = Connect(wProxy ? wProxy : wTarget);
  if (hSocket < 0 || !wProxy) return hSocket;
  if (g_bSocks5) {
    if (OpenSocks5(hSocket, wTarget)) return hSocket;
    ::close(hSocket);
    return -1;
  }
  const std::string sRequest = "CONNECT 127.0.0.1:" + std::to_string(wTarget) + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                               std::to_string(wTarget) + "\r\n\r\n";
  if (!SendAll(hSocket, sRequest.data(), sRequest.size())) {
    ::close(hSocket);
    return -1;
  }
  std::string sReply;
  char c;
  while (sReply.size() < 4096) {
    if (::recv(hSocket, &c, 1, 0) != 1) break;
    sReply.push_back(c);
    if (sReply.ends_with("\n\n") || sReply.ends_with("\r\n\r\n")) {
      if (sReply.find(" 200") != std::string::npos) return hSocket;
      break;
    }
  }
  ::close(hSocket);
  return -1;
}

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

// The JSON line of a latency scenario: how many completed (named by what they were), the rate,
// the median and the 99th percentile.
void PrintLatencies(const char* lpWhat, std::vector<double>& vLatencies, double dSeconds, int nFailed) {
  std::sort(vLatencies.begin(), vLatencies.end());
  auto percentile = [&](double dFraction) {
    return vLatencies.empty() ? 0.0 : vLatencies[std::min(vLatencies.size() - 1, static_cast<size_t>(dFraction * vLatencies.size()))];
  };
  std::printf("{\"%s\":%zu,\"seconds\":%.6f,\"per_second\":%.1f,\"p50_ms\":%.3f,\"p99_ms\":%.3f,\"failed\":%d}\n", lpWhat,
              vLatencies.size(), dSeconds, static_cast<double>(vLatencies.size()) / dSeconds, percentile(0.50) * 1e3,
              percentile(0.99) * 1e3, nFailed);
}

int Throughput(const Args& args) {
  const auto wTarget = static_cast<uint16_t>(args.Number("target"));
  const auto wProxy = static_cast<uint16_t>(args.Number("proxy"));
  const int nStreams = static_cast<int>(args.Number("streams", 1));
  const double dSeconds = static_cast<double>(args.Number("seconds", 3));
  // More than any stream can move in the time: the source never ends a stream first.
  const uint64_t qwAsked = 1ULL << 50;
  std::atomic<uint64_t> qwReceived{0};
  std::atomic<int> nFailed{0};
  std::vector<int> vSockets;
  for (int i = 0; i < nStreams; ++i) {
    const int hSocket = Open(wTarget, wProxy);
    if (hSocket < 0) Die("cannot open a stream");
    vSockets.push_back(hSocket);
  }
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration<double>(dSeconds);
  std::vector<std::thread> vThreads;
  for (int hSocket : vSockets) {
    vThreads.emplace_back([&, hSocket] {
      char request[9] = {'S'};
      std::memcpy(request + 1, &qwAsked, 8);
      if (!SendAll(hSocket, request, sizeof request)) {
        nFailed++;
        return;
      }
      std::vector<char> vBuffer(256 * 1024);
      uint64_t qwGot = 0;
      while (Clock::now() < deadline) {
        const ssize_t n = ::recv(hSocket, vBuffer.data(), vBuffer.size(), 0);
        if (n <= 0) {
          nFailed++;  // the stream ended before its time: something broke
          break;
        }
        qwGot += static_cast<uint64_t>(n);
      }
      qwReceived += qwGot;
      ::close(hSocket);
    });
  }
  for (std::thread& thread : vThreads) thread.join();
  const double dElapsed = Seconds(Clock::now() - start);
  std::printf("{\"bytes\":%llu,\"seconds\":%.6f,\"mb_per_s\":%.2f,\"failed\":%d}\n",
              static_cast<unsigned long long>(qwReceived.load()), dElapsed, qwReceived.load() / dElapsed / 1e6, nFailed.load());
  return nFailed.load() ? 1 : 0;
}

int Rate(const Args& args) {
  const auto wTarget = static_cast<uint16_t>(args.Number("target"));
  const auto wProxy = static_cast<uint16_t>(args.Number("proxy"));
  const int nConcurrency = static_cast<int>(args.Number("concurrency", 64));
  const double dLimit = static_cast<double>(args.Number("seconds", 3));
  const long long nMax = args.Number("max", 200000);
  std::atomic<long long> nStarted{0};
  std::atomic<int> nFailed{0};
  std::mutex lock;
  std::vector<double> vLatencies;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration<double>(dLimit);
  std::vector<std::thread> vThreads;
  for (int t = 0; t < nConcurrency; ++t) {
    vThreads.emplace_back([&] {
      std::vector<double> vMine;
      while (Clock::now() < deadline && nStarted.fetch_add(1) < nMax) {
        const auto begin = Clock::now();
        const int hSocket = Open(wTarget, wProxy);
        if (hSocket < 0) {
          nFailed++;
          continue;
        }
        vMine.push_back(Seconds(Clock::now() - begin));
        char c = 'E';
        char reply[2];
        // One byte each way: the server answers the mode byte by echoing it.
        if (!SendAll(hSocket, &c, 1) || ::recv(hSocket, reply, 1, MSG_WAITALL) != 1) nFailed++;
        ::close(hSocket);
      }
      std::lock_guard<std::mutex> guard(lock);
      vLatencies.insert(vLatencies.end(), vMine.begin(), vMine.end());
    });
  }
  for (std::thread& thread : vThreads) thread.join();
  PrintLatencies("connections", vLatencies, Seconds(Clock::now() - start), nFailed.load());
  return 0;
}

// Resident memory of a process and its descendants, in KiB.
long ResidentKib(const std::string& sPids) {
  long nTotal = 0;
  size_t nPos = 0;
  while (nPos < sPids.size()) {
    const size_t nComma = sPids.find(',', nPos);
    const std::string sPid = sPids.substr(nPos, nComma == std::string::npos ? std::string::npos : nComma - nPos);
    nPos = nComma == std::string::npos ? sPids.size() : nComma + 1;
    FILE* lpFile = std::fopen(("/proc/" + sPid + "/status").c_str(), "r");
    if (!lpFile) continue;
    char szLine[256];
    long nKib = 0;
    while (std::fgets(szLine, sizeof szLine, lpFile)) {
      if (std::sscanf(szLine, "VmRSS: %ld kB", &nKib) == 1) break;
    }
    std::fclose(lpFile);
    nTotal += nKib;
  }
  return nTotal;
}

int Idle(const Args& args) {
  const auto wTarget = static_cast<uint16_t>(args.Number("target"));
  const auto wProxy = static_cast<uint16_t>(args.Number("proxy"));
  const int nTunnels = static_cast<int>(args.Number("tunnels", 1000));
  const std::string sPids = args.Get("pids");
  const long nBefore = ResidentKib(sPids);
  std::vector<int> vSockets;
  for (int i = 0; i < nTunnels; ++i) {
    const int hSocket = Open(wTarget, wProxy);
    if (hSocket < 0) Die("cannot open a tunnel");
    char c = 'E';
    char reply;
    if (!SendAll(hSocket, &c, 1) || ::recv(hSocket, &reply, 1, MSG_WAITALL) != 1) Die("tunnel does not relay");
    vSockets.push_back(hSocket);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the proxy settle
  const long nWith = ResidentKib(sPids);
  for (int hSocket : vSockets) ::close(hSocket);
  std::printf("{\"tunnels\":%d,\"rss_before_kib\":%ld,\"rss_with_kib\":%ld,\"kib_per_tunnel\":%.2f}\n", nTunnels, nBefore,
              nWith, static_cast<double>(nWith - nBefore) / nTunnels);
  return 0;
}

// One GET and its whole response; the seconds it took, or a negative number when it failed.
double OneRequest(uint16_t wTarget, uint16_t wProxy, const std::string& sRequest, std::vector<char>& vBuffer) {
  const auto begin = Clock::now();
  const int hSocket = Connect(wProxy ? wProxy : wTarget);
  if (hSocket < 0) return -1;
  bool bOk = SendAll(hSocket, sRequest.data(), sRequest.size());
  std::string sHeader;
  uint64_t qwBody = 0;
  size_t nHeaderEnd = std::string::npos;
  while (bOk) {
    const ssize_t n = ::recv(hSocket, vBuffer.data(), vBuffer.size(), 0);
    if (n < 0) bOk = false;
    if (n <= 0) break;
    if (nHeaderEnd == std::string::npos) {
      sHeader.append(vBuffer.data(), static_cast<size_t>(n));
      // Bare line feeds are a line end too (a proxy's own replies may use them).
      const size_t nCrLf = sHeader.find("\r\n\r\n");
      const size_t nBare = sHeader.find("\n\n");
      nHeaderEnd = std::min(nCrLf, nBare);
      if (nHeaderEnd != std::string::npos) qwBody = sHeader.size() - nHeaderEnd - (nHeaderEnd == nCrLf ? 4 : 2);
    } else {
      qwBody += static_cast<uint64_t>(n);
    }
  }
  ::close(hSocket);
  const bool bOkStatus = sHeader.compare(0, 12, "HTTP/1.1 200") == 0 || sHeader.compare(0, 12, "HTTP/1.0 200") == 0;
  if (!bOk || nHeaderEnd == std::string::npos || !bOkStatus) return -1;
  sHeader.resize(nHeaderEnd);
  // Header names in any case.
  for (char& c : sHeader) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t nLength = sHeader.find("content-length: ");
  if (nLength == std::string::npos || std::strtoull(sHeader.c_str() + nLength + 16, nullptr, 10) != qwBody) return -1;
  return Seconds(Clock::now() - begin);
}

int Http(const Args& args) {
  const auto wTarget = static_cast<uint16_t>(args.Number("target"));
  const auto wProxy = static_cast<uint16_t>(args.Number("proxy"));
  const std::string sPath = args.Get("path", "/");
  const int nConcurrency = static_cast<int>(args.Number("concurrency", 16));
  const double dLimit = static_cast<double>(args.Number("seconds", 3));
  const long long nMax = args.Number("max", 0);  // 0: as many as the time allows
  std::atomic<long long> nStarted{0};
  const std::string sAuthority = "127.0.0.1:" + std::to_string(wTarget);
  const std::string sRequest = "GET " + (wProxy ? "http://" + sAuthority + sPath : sPath) + " HTTP/1.1\r\nHost: " + sAuthority +
                               "\r\nUser-Agent: harbix-bench\r\nConnection: close\r\n\r\n";
  std::atomic<int> nFailed{0};
  std::mutex lock;
  std::vector<double> vLatencies;
  const auto start = Clock::now();
  const auto deadline = start + std::chrono::duration<double>(dLimit);
  std::vector<std::thread> vThreads;
  for (int t = 0; t < nConcurrency; ++t) {
    vThreads.emplace_back([&] {
      std::vector<double> vMine;
      std::vector<char> vBuffer(256 * 1024);
      while (Clock::now() < deadline && (nMax == 0 || nStarted.fetch_add(1) < nMax)) {
        const double dSeconds = OneRequest(wTarget, wProxy, sRequest, vBuffer);
        if (dSeconds < 0) {
          nFailed++;
        } else {
          vMine.push_back(dSeconds);
        }
      }
      std::lock_guard<std::mutex> guard(lock);
      vLatencies.insert(vLatencies.end(), vMine.begin(), vMine.end());
    });
  }
  for (std::thread& thread : vThreads) thread.join();
  PrintLatencies("requests", vLatencies, Seconds(Clock::now() - start), nFailed.load());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: harbix-bench serve|throughput|rate|idle|http --name value ...\n", stderr);
    return 2;
  }
  RaiseDescriptorLimit();
  Args args;
  for (int i = 2; i + 1 < argc; i += 2) {
    if (std::strncmp(argv[i], "--", 2) == 0) args.values[argv[i] + 2] = argv[i + 1];
  }
  g_bSocks5 = args.Get("via") == "socks5";
  const std::string sCommand = argv[1];
  if (sCommand == "serve") return Serve(args);
  if (sCommand == "throughput") return Throughput(args);
  if (sCommand == "rate") return Rate(args);
  if (sCommand == "idle") return Idle(args);
  if (sCommand == "http") return Http(args);
  std::fprintf(stderr, "harbix-bench: unknown command %s\n", sCommand.c_str());
  return 2;
}
