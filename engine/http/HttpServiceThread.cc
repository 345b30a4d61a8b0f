#include "engine/http/HttpServiceThread.h"

#include <ctime>

#include "engine/http/HttpSession.h"
#include "platform/MessageLoop.h"

namespace harbix {

HttpServiceThread::HttpServiceThread(ThreadId engine, uint16_t wMaxDatagram)
    : ServiceThread(ServiceId::Http, engine, HttpSessionFactory(), wMaxDatagram) {}

HttpServiceThread::~HttpServiceThread() { Join(); }

std::shared_ptr<const ServiceConfig> HttpServiceThread::ReadSettings() {
  std::shared_ptr<const ServiceConfig> lpConfig = ServiceThread::ReadSettings();
  const HttpCacheSettings& wanted = lpConfig->m_http;
  std::shared_ptr<HttpCache> lpCache = Cache();
  if (lpCache && lpCache->Settings().m_sCacheDir == wanted.m_sCacheDir && lpCache->Settings().m_bNoCache == wanted.m_bNoCache) {
    lpCache->Retune(wanted);
  } else {
    // Another directory (or the cache switched on or off): its own index; the old one is
    // dropped unsaved, and sessions that still use it finish with it.
    lpCache = std::make_shared<HttpCache>(wanted);
    lpCache->StartLoading();
    m_lpServiceState = lpCache;
    m_qwLastMaintenanceMs = MessageLoop::Current()->NowMs();
  }
  return lpConfig;
}

void HttpServiceThread::OnTick() {
  const std::shared_ptr<HttpCache> lpCache = Cache();
  if (!lpCache || !lpCache->Enabled()) return;
  const uint64_t qwNow = MessageLoop::Current()->NowMs();
  if (qwNow - m_qwLastMaintenanceMs < static_cast<uint64_t>(lpCache->Settings().m_nCacheUpdate) * 60000) return;
  m_qwLastMaintenanceMs = qwNow;
  MessageLoop::PostThreadMessage(Id(), WM_CACHE_MAINTENANCE);
}

void HttpServiceThread::OnThreadMessage(const Message& msg) {
  const std::shared_ptr<HttpCache> lpCache = Cache();
  if (msg.message != WM_CACHE_MAINTENANCE || !lpCache || !lpCache->Enabled()) return;
  // The pass stats and deletes files: on the disk thread, so that no relay here waits for it.
  const ThreadId self = Id();
  lpCache->Disk().Post([lpCache, self] {
    if (!lpCache->Maintain(static_cast<int32_t>(std::time(nullptr)))) {
      MessageLoop::PostThreadMessage(self, WM_CACHE_MAINTENANCE);  // the index was busy: again soon
    }
  });
}

void HttpServiceThread::OnSessionsGone() {
  const std::shared_ptr<HttpCache> lpCache = Cache();
  if (!lpCache || !lpCache->Enabled()) return;
  lpCache->Disk().Drain();  // copies still under way finish first
  if (lpCache->Table().Size() > 0) lpCache->Table().Save();
}

}  // namespace harbix
