// The engine process: refuses to run twice, reads the general settings, owns the control socket,
// starts one thread per enabled service, collects the threads that end by themselves, and stops
// them all when told to quit.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/GeneralConfig.h"
#include "common/MapRecord.h"
#include "common/ServiceConfig.h"
#include "engine/core/ControlChannel.h"
#include "engine/core/ServiceStats.h"
#include "engine/core/ServiceThread.h"
#include "engine/core/SinkWindow.h"
#include "platform/NamedLock.h"
#include "platform/Socket.h"

namespace harbix {

// How the engine makes the thread of each service: the session kinds live in the service
// modules, which the program (or a test) wires in here.
struct ServiceCatalog {
  std::function<std::unique_ptr<ServiceThread>(ServiceId id, ThreadId engine, uint16_t wMaxDatagram)> m_makeService;
  // The thread of a port map; with none, maps are not run.
  std::function<std::unique_ptr<ServiceThread>(const MapRecord& record, ThreadId engine, uint16_t wMaxDatagram)> m_makeMap;
};

struct EngineOptions {
  // SIGTERM and SIGINT stop the engine the way a quit request does (the program sets this; an
  // engine inside a test process leaves the process's signals alone).
  bool m_bHandleSignals = false;
};

class Engine : public ControlTarget {
 public:
  static constexpr const char* kInstanceLock = "Harbix Engine";
  static constexpr uint16_t kMaxDatagram = 65507;    // the largest IPv4 UDP payload
  // How long "harbixen CLOSE" waits for the running engine's hello reply.
  static constexpr std::chrono::milliseconds kQuitRequestWait{10000};

  explicit Engine(ServiceCatalog catalog, EngineOptions options = {});
  ~Engine() override;
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // The engine's whole life on the calling thread: start-up, message loop, stop. vArgs are the
  // program's arguments without its name. Returns the exit status.
  int Run(const std::vector<std::string>& vArgs);

  // From any thread: runs fn on the engine thread and waits for it (false when the engine does
  // not run). How tests and signal handling reach the engine.
  bool Call(const std::function<void()>& fn);
  // From any thread: waits until the engine runs its message loop (or has ended).
  bool WaitUntilRunning(std::chrono::milliseconds timeout);
  // From any thread: ends the message loop, as a quit request does.
  void RequestQuit() override;

  // On the engine thread.
  void StartOrReloadService(ServiceId id) override;
  void ReloadGeneral() override;
  // Refreshes the snapshot of a running service under its lock (500 ms at most) and returns it;
  // a service that does not run keeps the last status its thread reported.
  const ServiceStats& RefreshStats(ServiceId id) override;
  bool ServiceRuns(ServiceId id) const override { return Slot(id).m_lpThread != nullptr; }
  // Re-reads the port maps: maps whose settings did not change keep running, changed ones are
  // restarted, removed or disabled ones stopped.
  void ReloadMaps() override;
  using MapStats = harbix::MapStats;
  // The running maps in list order, their snapshots refreshed.
  std::vector<MapStats> RefreshMapStats() override;
  int32_t StartTime() const override { return m_nStartTime; }
  ThreadId EngineThread() const { return m_tid.load(); }

 private:
  struct Task;
  enum class State { NotStarted, Running, Ended };
  struct ServiceSlot {
    std::unique_ptr<ServiceThread> m_lpThread;
    ServiceStats m_snapshot;
  };
  struct MapSlot {
    MapRecord m_record;
    std::unique_ptr<ServiceThread> m_lpThread;
    ServiceStats m_snapshot;
  };

  // Start-up up to the message loop; an exit status when the engine is not to run.
  std::optional<int> Start(const std::vector<std::string>& vArgs);
  void SetState(State state);
  // "CLOSE" while an engine runs: hello, then quit with the cookie.
  static void SendQuitRequest();
  void RunTasks();
  bool PreTranslate(const Message& msg);
  bool StartService(ServiceId id, ThreadPriority priority);
  void StartMap(const MapRecord& record);
  // Stops the threads (all of them asked first, then all awaited).
  static void StopThreads(const std::vector<ServiceThread*>& vThreads);
  void OnServiceEnded(uint64_t qwUniqueId);
  void Stop();
  void WatchSignals();
  ServiceSlot& Slot(ServiceId id) { return m_aServices[static_cast<size_t>(id)]; }
  const ServiceSlot& Slot(ServiceId id) const { return m_aServices[static_cast<size_t>(id)]; }
  static void Report(const char* lpText);

  ServiceCatalog m_catalog;
  EngineOptions m_options;
  NamedLock m_instance;
  std::unique_ptr<SinkWindow> m_lpSink;
  ControlChannel m_control{*this};
  GeneralConfig m_general;
  int32_t m_nStartTime = -1;
  std::array<ServiceSlot, kServiceCount> m_aServices;
  std::vector<MapSlot> m_vMaps;
  int m_hSignals = -1;

  std::atomic<ThreadId> m_tid{0};
  std::mutex m_stateLock;  // guards m_state and m_tasks
  std::condition_variable m_stateChanged;
  State m_state = State::NotStarted;
  std::deque<std::shared_ptr<Task>> m_tasks;
};

// The order in which the services start and stop, with the priority each starts with.
struct ServiceStartOrder {
  ServiceId m_id;
  ThreadPriority m_priority;
};
inline constexpr ServiceStartOrder kServiceStartOrder[] = {
    {ServiceId::Socks, ThreadPriority::BelowNormal}, {ServiceId::Dns, ThreadPriority::Normal},
    {ServiceId::Http, ThreadPriority::Normal},       {ServiceId::Ftp, ThreadPriority::BelowNormal},
    {ServiceId::Pna, ThreadPriority::BelowNormal},   {ServiceId::Https, ThreadPriority::BelowNormal},
    {ServiceId::Telnet, ThreadPriority::BelowNormal},
};

}  // namespace harbix
