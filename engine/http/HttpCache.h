// The HTTP service's disk cache as its sessions use it: looking a URL up, and storing a relayed
// response body into a temp file that becomes a cache file once the response is complete. The
// service owns it (with its index, UrlTable) and shares it with every session.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "common/ServiceConfig.h"
#include "engine/core/ByteTap.h"
#include "engine/core/WorkQueue.h"
#include "engine/http/HttpRequest.h"
#include "engine/http/HttpResponseWatcher.h"
#include "engine/http/UrlTable.h"
#include "platform/File.h"

namespace harbix {

class HttpCache;

// One response body on its way into the cache: a tap on the server side of the relay that
// writes what it sees to a temp file.
class CacheWriter : public ByteTap {
 public:
  // A temp file left over (the session ended first) goes.
  ~CacheWriter() override;
  void OnBytes(const char* lpData, size_t cbData) override;
  void OnEnd(bool bComplete) override { m_bEnded = true, m_bComplete = bComplete; }
  bool Failed() const { return !m_file; }

 private:
  friend class HttpCache;
  CacheWriter() = default;

  File m_file;
  std::string m_sTempPath;
  std::string m_sHost;
  uint16_t m_wPort = 80;
  std::string m_sPath;
  int32_t m_nLastModified = -1;
  int32_t m_nExpires = -1;
  uint32_t m_dwContentLength = HttpResponseWatcher::kUnknownLength;
  bool m_bEnded = false;
  bool m_bComplete = false;
};

class HttpCache {
 public:
  explicit HttpCache(HttpCacheSettings settings);
  // The index, loaded off the caller's thread (lookups miss until it is in).
  void StartLoading();

  bool Enabled() const { return !m_settings.m_bNoCache; }
  HttpCacheSettings Settings() const;
  // New limits (size, interval) for the same directory.
  void Retune(const HttpCacheSettings& settings);
  UrlTable& Table() { return m_table; }
  WorkQueue& Disk() { return m_disk; }

  struct Hit {
    std::string m_sFilePath;
    std::string m_sFileName;
    int32_t m_nLastModified;
    int32_t m_nExpires;
  };
  // A fresh entry for the URL, or nullopt.
  std::optional<Hit> Lookup(const std::string& sHost, uint16_t wPort, const std::string& sPath, int32_t nNow);

  // Why a response must not be stored, or nullptr: the cache composes its own header when it
  // serves a body, so the body must be what a client would get with that header, and a body
  // meant for one user must not reach the next.
  static const char* Refusal(const HttpResponseWatcher::Response& response, const std::string& sPath);
  // Starts storing a response whose header the watcher accepted: the body bytes it saw already
  // go into a new temp file. Null when no temp file can be made.
  std::unique_ptr<CacheWriter> BeginStore(const HttpRequest& request, const HttpResponseWatcher::Response& response,
                                          std::string_view sBodyStart);
  // The session is over: a complete body becomes a cache file (or replaces one); anything else
  // is thrown away.
  void Commit(std::unique_ptr<CacheWriter> lpWriter, int32_t nNow);

  // The maintenance pass and the save that follows, on the disk thread; false when the index
  // was busy (the pass is to run again soon).
  bool Maintain(int32_t nNow);

 private:
  // Puts the temp file in place as the target: renamed where one file system holds both,
  // copied otherwise (on the disk thread); then marked and entered in the index.
  void Install(std::unique_ptr<CacheWriter> lpWriter, const std::string& sFileName);
  // A new, unused name in the cache directory with the extension given.
  std::optional<std::string> NewCacheName(const std::string& sExtension);

  mutable std::mutex m_settingsLock;  // the service thread retunes while the disk thread reads
  HttpCacheSettings m_settings;
  UrlTable m_table;
  WorkQueue m_disk;  // declared last: its thread stops first
};

}  // namespace harbix
