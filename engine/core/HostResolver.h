// Host name lookups that never hold up a session's thread, and never wait behind other names:
// lookups run on worker threads that are started as they are needed, one name per worker, so
// a slow or dead name server delays only the lookups that need it. Lookups of the same name at
// the same time share one. The answer runs on the asking window's thread (MessageLoop::PostTask);
// a window that is gone by then simply never sees it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Messages.h"

namespace harbix {

struct HostEntry {
  std::string m_sName;                  // the official name
  std::vector<std::string> m_vAliases;
  std::vector<uint32_t> m_vAddresses;   // IPv4, network order, the first is the one to use
};

// The workers and their queue. The engine uses one for the whole process (HostResolver);
// tests make their own with lookups of their own.
class ResolverPool {
 public:
  using NameLookup = std::function<std::optional<HostEntry>(const std::string& sName)>;
  using AddressLookup = std::function<std::optional<HostEntry>(uint32_t dwIp)>;
  using Done = std::function<void(const std::optional<HostEntry>&)>;

  // At most this many lookups run at once; more wait in turn.
  static constexpr size_t kMaxWorkers = 64;
  // Lookups waiting beyond this are answered as failed at once: the queue is fed by the
  // network (the DNS proxy) and must stay bounded.
  static constexpr size_t kMaxWaiting = 16384;
  // A worker with nothing to do for this long ends, down to a few.
  static constexpr uint32_t kIdleWorkerMs = 30000;
  static constexpr size_t kKeptWorkers = 2;

  ResolverPool(NameLookup nameLookup, AddressLookup addressLookup);
  // Waits for the workers (a pool of the process is never destroyed: a lookup cannot be
  // cancelled).
  ~ResolverPool();
  ResolverPool(const ResolverPool&) = delete;
  ResolverPool& operator=(const ResolverPool&) = delete;

  void Resolve(const std::string& sName, Hwnd hwnd, Done done);
  void ResolveAddress(uint32_t dwIp, Hwnd hwnd, Done done);
  size_t Workers() const;

 private:
  // A name ("n" + name) or an address ("a" + dotted) to look up, and who waits for it.
  struct Waiter {
    Hwnd hwnd;
    Done done;
  };
  void Submit(std::string sKey, Hwnd hwnd, Done done);
  void Work();
  std::optional<HostEntry> Lookup(const std::string& sKey);

  NameLookup m_nameLookup;
  AddressLookup m_addressLookup;
  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  std::condition_variable m_workersGone;
  std::map<std::string, std::vector<Waiter>> m_waiters;  // every key asked for and not answered
  std::deque<std::string> m_queue;                       // keys no worker has taken yet
  size_t m_nWaiting = 0;
  size_t m_nWorkers = 0;
  size_t m_nIdle = 0;
  bool m_bStopping = false;
};

class HostResolver {
 public:
  using Done = ResolverPool::Done;
  static void Resolve(const std::string& sName, Hwnd hwnd, Done done);
  // The name of an address (a reverse lookup).
  static void ResolveAddress(uint32_t dwIp, Hwnd hwnd, Done done);

  // The blocking lookups the workers run (the system's resolver).
  static std::optional<HostEntry> LookupName(const std::string& sName);
  static std::optional<HostEntry> LookupAddress(uint32_t dwIp);
};

}  // namespace harbix
