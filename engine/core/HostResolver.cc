#include "engine/core/HostResolver.h"

#include <netdb.h>
#include <netinet/in.h>

#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "common/AccessList.h"
#include "common/Text.h"
#include "platform/MessageLoop.h"

namespace harbix {
namespace {

constexpr char kNameKey = 'n';
constexpr char kAddressKey = 'a';

// gethostbyname_r and gethostbyaddr_r want a buffer for the entry's strings; a name with many
// aliases needs more than the first guess.
template <typename Call>
std::optional<HostEntry> LookupWith(Call call) {
  hostent entry{};
  hostent* lpResult = nullptr;
  int nError = 0;
  std::vector<char> vBuffer(2048);
  while (call(&entry, vBuffer.data(), vBuffer.size(), &lpResult, &nError) == ERANGE && vBuffer.size() < 1024 * 1024) {
    vBuffer.resize(vBuffer.size() * 2);
  }
  if (!lpResult || lpResult->h_addrtype != AF_INET) return std::nullopt;
  HostEntry host;
  if (lpResult->h_name) host.m_sName = lpResult->h_name;
  for (char** lpAlias = lpResult->h_aliases; lpAlias && *lpAlias; ++lpAlias) host.m_vAliases.emplace_back(*lpAlias);
  for (char** lpAddress = lpResult->h_addr_list; lpAddress && *lpAddress; ++lpAddress) {
    uint32_t dwIp = 0;
    std::memcpy(&dwIp, *lpAddress, sizeof dwIp);
    host.m_vAddresses.push_back(dwIp);
  }
  return host;
}

ResolverPool& ProcessPool() {
  // Never destroyed: workers may still be in a lookup when the process exits.
  static ResolverPool* lpPool = new ResolverPool(&HostResolver::LookupName, &HostResolver::LookupAddress);
  return *lpPool;
}

}  // namespace

ResolverPool::ResolverPool(NameLookup nameLookup, AddressLookup addressLookup)
    : m_nameLookup(std::move(nameLookup)), m_addressLookup(std::move(addressLookup)) {}

ResolverPool::~ResolverPool() {
  std::unique_lock<std::mutex> guard(m_lock);
  m_bStopping = true;
  m_wake.notify_all();
  m_workersGone.wait(guard, [this] { return m_nWorkers == 0; });
}

void ResolverPool::Resolve(const std::string& sName, Hwnd hwnd, Done done) {
  Submit(kNameKey + sName, hwnd, std::move(done));
}

void ResolverPool::ResolveAddress(uint32_t dwIp, Hwnd hwnd, Done done) {
  Submit(kAddressKey + FormatIp(dwIp), hwnd, std::move(done));
}

size_t ResolverPool::Workers() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_nWorkers;
}

void ResolverPool::Submit(std::string sKey, Hwnd hwnd, Done done) {
  std::vector<Waiter> vRefused;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_nWaiting >= kMaxWaiting || m_bStopping) {
      vRefused.push_back(Waiter{hwnd, std::move(done)});
    } else {
      ++m_nWaiting;
      auto [it, bNew] = m_waiters.try_emplace(sKey);
      it->second.push_back(Waiter{hwnd, std::move(done)});
      if (!bNew) return;  // the same lookup is under way or queued: its answer serves this one too
      m_queue.push_back(sKey);
      if (m_nIdle > 0) {
        m_wake.notify_one();
      } else if (m_nWorkers < kMaxWorkers) {
        try {
          std::thread([this] { Work(); }).detach();
          ++m_nWorkers;
        } catch (const std::system_error&) {
          // No thread to be had: a worker that runs takes it in turn; with none, it fails.
          if (m_nWorkers == 0) {
            m_queue.pop_back();
            vRefused = std::move(it->second);
            m_waiters.erase(it);
            m_nWaiting -= vRefused.size();
          }
        }
      }
    }
  }
  for (Waiter& waiter : vRefused) {
    MessageLoop::PostTask(waiter.hwnd, [done = std::move(waiter.done)] { done(std::nullopt); });
  }
}

std::optional<HostEntry> ResolverPool::Lookup(const std::string& sKey) {
  const std::string sWhat = sKey.substr(1);
  if (sKey[0] == kNameKey) return m_nameLookup(sWhat);
  const std::optional<uint32_t> dwIp = ParseDottedAddress(sWhat);
  return dwIp ? m_addressLookup(*dwIp) : std::nullopt;
}

void ResolverPool::Work() {
  std::unique_lock<std::mutex> guard(m_lock);
  while (true) {
    ++m_nIdle;
    const bool bWork = m_wake.wait_for(guard, std::chrono::milliseconds(kIdleWorkerMs),
                                       [this] { return !m_queue.empty() || m_bStopping; });
    --m_nIdle;
    if (m_bStopping || (!bWork && m_nWorkers > kKeptWorkers)) break;
    if (!bWork) continue;
    const std::string sKey = std::move(m_queue.front());
    m_queue.pop_front();
    guard.unlock();
    const std::optional<HostEntry> host = Lookup(sKey);
    guard.lock();
    auto it = m_waiters.find(sKey);
    std::vector<Waiter> vWaiters = std::move(it->second);
    m_waiters.erase(it);
    m_nWaiting -= vWaiters.size();
    guard.unlock();
    for (Waiter& waiter : vWaiters) {
      MessageLoop::PostTask(waiter.hwnd, [done = std::move(waiter.done), host] { done(host); });
    }
    guard.lock();
  }
  if (--m_nWorkers == 0) m_workersGone.notify_all();
}

void HostResolver::Resolve(const std::string& sName, Hwnd hwnd, Done done) { ProcessPool().Resolve(sName, hwnd, std::move(done)); }

void HostResolver::ResolveAddress(uint32_t dwIp, Hwnd hwnd, Done done) {
  ProcessPool().ResolveAddress(dwIp, hwnd, std::move(done));
}

std::optional<HostEntry> HostResolver::LookupName(const std::string& sName) {
  if (sName.empty()) return std::nullopt;
  std::optional<HostEntry> host = LookupWith([&](hostent* lpEntry, char* lpBuffer, size_t cbBuffer, hostent** lpResult, int* pnError) {
    return ::gethostbyname_r(sName.c_str(), lpEntry, lpBuffer, cbBuffer, lpResult, pnError);
  });
  if (host && host->m_vAddresses.empty()) return std::nullopt;
  return host;
}

std::optional<HostEntry> HostResolver::LookupAddress(uint32_t dwIp) {
  return LookupWith([&](hostent* lpEntry, char* lpBuffer, size_t cbBuffer, hostent** lpResult, int* pnError) {
    return ::gethostbyaddr_r(&dwIp, sizeof dwIp, AF_INET, lpEntry, lpBuffer, cbBuffer, lpResult, pnError);
  });
}

}  // namespace harbix
