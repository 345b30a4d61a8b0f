// An engine running in the test process, on a thread of its own, with a fresh HARBIX_HOME.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <thread>

#include "common/GeneralConfig.h"
#include "common/ServiceConfig.h"
#include "engine/core/Engine.h"
#include "tests/support/TempHome.h"

namespace harbix::test {

// Writes a service's settings: the given port, everything else from the defaults.
inline void ConfigureService(ServiceId id, uint16_t wPort, bool bRun = true, bool bUseThreads = true) {
  ServiceConfig config(id);
  config.m_wBindPort = wPort;
  config.m_bRunService = bRun;
  config.m_bUseThreads = bUseThreads;
  WriteServiceConfig(config);
}

// Turns every service off but the ones named.
inline void OnlyServices(std::initializer_list<ServiceId> ids) {
  for (const ServiceTraits& traits : AllServices()) {
    bool bWanted = false;
    for (ServiceId id : ids) bWanted = bWanted || id == traits.m_id;
    if (!bWanted) {
      ServiceConfig config = ReadServiceConfig(traits.m_id);
      config.m_bRunService = false;
      WriteServiceConfig(config);
    }
  }
}

// Polls cond until it holds or the timeout passes.
template <typename Cond>
bool Eventually(Cond cond, int nTimeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return cond();
}

class EngineHarness {
 public:
  explicit EngineHarness(ServiceCatalog catalog) : m_lpEngine(std::make_unique<Engine>(std::move(catalog))) {}
  ~EngineHarness() { Stop(); }

  // Starts the engine; false when it did not come up.
  bool Start() {
    m_thread = std::thread([this] { m_nExit = m_lpEngine->Run({}); });
    if (!m_lpEngine->WaitUntilRunning(std::chrono::seconds(10))) return false;
    // Service threads start on their own; wait until each has listened or failed.
    return Eventually([this] {
      for (const ServiceTraits& traits : AllServices()) {
        if (Runs(traits.m_id) && Status(traits.m_id) == kStatusInitializing) return false;
      }
      return true;
    });
  }
  void Stop() {
    if (!m_thread.joinable()) return;
    m_lpEngine->RequestQuit();
    m_thread.join();
  }
  Engine& engine() { return *m_lpEngine; }

  // The status byte of a service, read on the engine thread.
  uint8_t Status(ServiceId id) {
    uint8_t bStatus = 0;
    m_lpEngine->Call([&] { bStatus = m_lpEngine->RefreshStats(id).m_bStatus; });
    return bStatus;
  }
  ServiceStats Stats(ServiceId id) {
    ServiceStats stats;
    m_lpEngine->Call([&] { stats = m_lpEngine->RefreshStats(id); });
    return stats;
  }
  bool Runs(ServiceId id) {
    bool bRuns = false;
    m_lpEngine->Call([&] { bRuns = m_lpEngine->ServiceRuns(id); });
    return bRuns;
  }
  void Reload(ServiceId id) {
    m_lpEngine->Call([&] { m_lpEngine->StartOrReloadService(id); });
  }

 private:
  std::unique_ptr<Engine> m_lpEngine;
  std::thread m_thread;
  int m_nExit = -1;
};

}  // namespace harbix::test
