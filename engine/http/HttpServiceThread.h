// The HTTP service: the framework's service thread with the disk cache. It keeps the cache (and
// shares it with its sessions), loads its index at start, runs its maintenance every "Cache
// Update" minutes, and saves the index when it stops.
#pragma once

#include <memory>

#include "engine/core/ServiceThread.h"
#include "engine/http/HttpCache.h"

namespace harbix {

class HttpServiceThread : public ServiceThread {
 public:
  // Thread message to the HTTP service thread: run the cache maintenance.
  static constexpr uint32_t WM_CACHE_MAINTENANCE = WM_USER + 5;

  HttpServiceThread(ThreadId engine, uint16_t wMaxDatagram);
  ~HttpServiceThread() override;

 protected:
  std::shared_ptr<const ServiceConfig> ReadSettings() override;
  void OnTick() override;
  void OnThreadMessage(const Message& msg) override;
  void OnSessionsGone() override;

 private:
  std::shared_ptr<HttpCache> Cache() const { return std::static_pointer_cast<HttpCache>(m_lpServiceState); }

  uint64_t m_qwLastMaintenanceMs = 0;
};

}  // namespace harbix
