// harbix-pull-bench: a large file sent through the relay's file source to a client that reads
// slowly, with the sender's resident memory sampled all along. The file must never be held in
// memory: what the process holds stays flat whatever the file's size and the reader's speed.
//
//   harbix-pull-bench [--mib N] [--rate-mb R]
//       N MiB (1024 by default) to a reader that takes R MB/s (10 by default). One line of JSON:
//       bytes, seconds, peak and starting resident memory of the sending process, and whether
//       every byte arrived intact.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "engine/core/EngineMessages.h"
#include "engine/core/Relay.h"
#include "platform/MessageLoop.h"

namespace harbix {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kSampleTimerId = 1;
constexpr uint32_t kSampleMs = 50;

uint8_t PatternByte(uint64_t qwOffset) { return static_cast<uint8_t>((qwOffset * 7) ^ (qwOffset >> 9) ^ (qwOffset >> 17)); }

long ResidentKib() {
  FILE* lpFile = std::fopen("/proc/self/status", "r");
  if (!lpFile) return 0;
  char szLine[256];
  long nKib = 0;
  while (std::fgets(szLine, sizeof szLine, lpFile)) {
    if (std::sscanf(szLine, "VmRSS: %ld kB", &nKib) == 1) break;
  }
  std::fclose(lpFile);
  return nKib;
}

// The reader: takes at most dBytesPerSecond, checks every byte, exits 0 when all arrived intact.
[[noreturn]] void Read(uint16_t wPort, uint64_t cbExpected, double dBytesPerSecond) {
  const int hSocket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(wPort);
  if (::connect(hSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) std::_Exit(2);
  char buffer[64 * 1024];
  uint64_t cbGot = 0;
  bool bIntact = true;
  const auto start = Clock::now();
  while (true) {
    const ssize_t n = ::recv(hSocket, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    for (ssize_t i = 0; i < n && bIntact; ++i) bIntact = static_cast<uint8_t>(buffer[i]) == PatternByte(cbGot + static_cast<uint64_t>(i));
    cbGot += static_cast<uint64_t>(n);
    const auto due = start + std::chrono::duration<double>(static_cast<double>(cbGot) / dBytesPerSecond);
    std::this_thread::sleep_until(due);
  }
  std::_Exit(bIntact && cbGot == cbExpected ? 0 : 1);
}

class FileSession : public Session {
 public:
  FileSession(SessionContext&& context, std::shared_ptr<const File> lpFile, uint64_t cbFile)
      : Session(std::move(context)), m_lpFile(std::move(lpFile)), m_cbFile(cbFile) {}

 protected:
  void OnCreate() override {
    if (!m_relay.Attach(Relay::kClient, std::move(m_context.m_client))) return;
    m_relay.SendFile(Relay::kClient, m_lpFile, 0, m_cbFile);
    m_relay.EndAfterSending(Relay::kClient);
  }

 private:
  Relay m_relay{*this};
  std::shared_ptr<const File> m_lpFile;
  uint64_t m_cbFile;
};

int Main(int argc, char** argv) {
  std::map<std::string, std::string> args;
  for (int i = 1; i + 1 < argc; i += 2) args[argv[i]] = argv[i + 1];
  const uint64_t cbFile = std::strtoull(args.count("--mib") ? args["--mib"].c_str() : "1024", nullptr, 10) << 20;
  const double dRate = std::strtod(args.count("--rate-mb") ? args["--rate-mb"].c_str() : "10", nullptr) * 1e6;

  const char* lpTemp = std::getenv("TMPDIR");
  std::string sPath = std::string(lpTemp ? lpTemp : "/tmp") + "/harbix-pull-XXXXXX";
  const int hFile = ::mkstemp(sPath.data());
  if (hFile < 0) return 1;
  {
    std::string sBlock(1 << 20, '\0');
    for (uint64_t nOffset = 0; nOffset < cbFile; nOffset += sBlock.size()) {
      for (size_t i = 0; i < sBlock.size(); ++i) sBlock[i] = static_cast<char>(PatternByte(nOffset + i));
      if (::write(hFile, sBlock.data(), sBlock.size()) != static_cast<ssize_t>(sBlock.size())) return 1;
    }
  }
  ::close(hFile);
  auto lpFile = std::make_shared<File>(File::OpenRead(sPath));
  ::unlink(sPath.c_str());
  ::posix_fadvise(lpFile->Fd(), 0, 0, POSIX_FADV_DONTNEED);  // start from the disk, as a cold cache would

  const int hListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t cbAddress = sizeof address;
  if (::bind(hListener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(hListener, 1) != 0) return 1;
  ::getsockname(hListener, reinterpret_cast<sockaddr*>(&address), &cbAddress);
  const pid_t nReader = ::fork();
  if (nReader == 0) Read(ntohs(address.sin_port), cbFile, dRate);
  const int hClient = ::accept4(hListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  ::close(hListener);
  if (hClient < 0) return 1;

  MessageLoop loop;
  SessionCounters counters;
  SessionContext context;
  context.m_qwId = 1;
  context.m_owner = loop.Id();
  context.m_client = Socket(hClient, SocketKind::kStreamConnected);
  context.m_lpCounters = &counters;
  context.m_lpConfig = std::make_shared<const ServiceConfig>();
  const long nStartKib = ResidentKib();
  long nPeakKib = nStartKib;
  const auto start = Clock::now();
  SessionHandle session(std::make_unique<FileSession>(std::move(context), lpFile, cbFile));
  if (!session.Start()) return 1;
  loop.SetTimer(0, kSampleTimerId, kSampleMs);
  Message msg;
  while (loop.GetMessage(&msg)) {
    if (msg.hwnd == 0 && msg.message == WM_TIMER) nPeakKib = std::max(nPeakKib, ResidentKib());
    if (msg.hwnd == 0 && msg.message == WM_SESSION_FINISHED) break;
    loop.DispatchMessage(msg);
  }
  session.Reset();
  int nStatus = 0;
  ::waitpid(nReader, &nStatus, 0);
  const double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("{\"bytes\":%llu,\"seconds\":%.1f,\"rate_mb_per_s\":%.2f,\"rss_start_kib\":%ld,\"rss_peak_kib\":%ld,\"intact\":%s}\n",
              static_cast<unsigned long long>(counters.m_qwSent.load()), dSeconds, static_cast<double>(counters.m_qwSent.load()) / dSeconds / 1e6,
              nStartKib, nPeakKib, WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0 ? "true" : "false");
  return 0;
}

}  // namespace
}  // namespace harbix

int main(int argc, char** argv) { return harbix::Main(argc, argv); }
