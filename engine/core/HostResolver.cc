#include "engine/core/HostResolver.h"

#include <netdb.h>

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/core/EngineMessages.h"
#include "platform/MessageLoop.h"
#include "platform/Socket.h"

namespace harbix {
namespace {

struct Lookup {
  std::string sHost;
  Hwnd hwnd;
  uintptr_t nRequest;
};

// Workers are started on demand and live as long as the process: a lookup cannot be cancelled,
// so nothing may wait for one to finish (the engine stops without waiting for them).
class LookupPool {
 public:
  static LookupPool& Instance() {
    static LookupPool* lpPool = new LookupPool();  // never destroyed: workers may still run at exit
    return *lpPool;
  }

  bool Submit(Lookup&& lookup) {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_pending.size() >= HostResolver::kMaxPending) return false;
    m_pending.push_back(std::move(lookup));
    if (m_nIdle == 0 && m_nWorkers < HostResolver::kMaxWorkers) {
      ++m_nWorkers;
      std::thread([this] { Work(); }).detach();
    } else {
      m_wake.notify_one();
    }
    return true;
  }

 private:
  void Work() {
    std::unique_lock<std::mutex> guard(m_lock);
    while (true) {
      ++m_nIdle;
      m_wake.wait(guard, [this] { return !m_pending.empty(); });
      --m_nIdle;
      Lookup lookup = std::move(m_pending.front());
      m_pending.pop_front();
      guard.unlock();
      const std::optional<uint32_t> dwIp = HostResolver::LookupNow(lookup.sHost);
      MessageLoop::PostMessage(lookup.hwnd, WM_HOST_RESOLVED, lookup.nRequest,
                               dwIp ? static_cast<intptr_t>(*dwIp) : HostResolver::kFailed);
      guard.lock();
    }
  }

  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<Lookup> m_pending;
  size_t m_nWorkers = 0;
  size_t m_nIdle = 0;
};

}  // namespace

std::optional<uint32_t> HostResolver::ParseDotted(const std::string& sHost) {
  uint32_t dwIp = 0;
  if (!ParseDottedQuad(sHost, &dwIp)) return std::nullopt;
  return dwIp;
}

std::optional<uint32_t> HostResolver::LookupNow(const std::string& sHost) {
  if (sHost.empty()) return std::nullopt;
  hostent entry{};
  hostent* lpResult = nullptr;
  int nError = 0;
  std::vector<char> vBuffer(2048);
  while (::gethostbyname_r(sHost.c_str(), &entry, vBuffer.data(), vBuffer.size(), &lpResult, &nError) == ERANGE &&
         vBuffer.size() < 1024 * 1024) {
    vBuffer.resize(vBuffer.size() * 2);
  }
  if (!lpResult || lpResult->h_addrtype != AF_INET || !lpResult->h_addr_list || !lpResult->h_addr_list[0]) {
    return std::nullopt;
  }
  uint32_t dwIp = 0;
  std::memcpy(&dwIp, lpResult->h_addr_list[0], sizeof dwIp);
  return dwIp;
}

void HostResolver::Resolve(const std::string& sHost, Hwnd hwnd, uintptr_t nRequest) {
  if (std::optional<uint32_t> dwIp = ParseDotted(sHost)) {
    MessageLoop::PostMessage(hwnd, WM_HOST_RESOLVED, nRequest, static_cast<intptr_t>(*dwIp));
    return;
  }
  if (!LookupPool::Instance().Submit(Lookup{sHost, hwnd, nRequest})) {
    MessageLoop::PostMessage(hwnd, WM_HOST_RESOLVED, nRequest, kFailed);
  }
}

}  // namespace harbix
