#include "engine/http/HttpCache.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/Text.h"
#include "engine/http/MimeTypes.h"
#include "platform/Trace.h"

namespace harbix {
namespace {

std::optional<uint64_t> FileSize(const std::string& sPath) {
  struct stat st {};
  if (::stat(sPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<uint64_t>(st.st_size);
}

// The media type named by a Content-Type value, without its parameters. JavaScript goes by
// several names (servers still send the obsolete application/javascript that the system table
// no longer lists); they are one type, and a script served under its current name runs the same.
std::string MediaType(const std::string& sValue) {
  const std::string sType = ToLower(Trim(std::string_view(sValue).substr(0, sValue.find(';'))));
  for (const char* lpAlias : {"application/javascript", "application/x-javascript", "application/ecmascript", "text/ecmascript"}) {
    if (sType == lpAlias) return "text/javascript";
  }
  return sType;
}

bool CopyFile(const std::string& sFrom, const std::string& sTo) {
  File from = File::OpenRead(sFrom);
  File to = File::Create(sTo);
  if (!from || !to) return false;
  char buffer[65536];
  int64_t nOffset = 0;
  while (true) {
    const long n = from.ReadAt(buffer, sizeof buffer, nOffset);
    if (n < 0) return false;
    if (n == 0) return true;
    if (!to.WriteAll(buffer, static_cast<size_t>(n))) return false;
    nOffset += n;
  }
}

}  // namespace

CacheWriter::~CacheWriter() {
  if (!m_sTempPath.empty()) ::unlink(m_sTempPath.c_str());
}

void CacheWriter::OnBytes(const char* lpData, size_t cbData) {
  if (!m_file) return;
  if (!m_file.WriteAll(lpData, cbData)) {
    Trace("WRITE ERROR IN StoreMore()");
    m_file.Close();
    ::unlink(m_sTempPath.c_str());
    m_sTempPath.clear();
  }
}

HttpCache::HttpCache(HttpCacheSettings settings) : m_settings(std::move(settings)), m_table(m_settings.m_sCacheDir) {}

void HttpCache::StartLoading() {
  if (!Enabled()) return;
  m_disk.Post([this] {
    ::mkdir(m_settings.m_sCacheDir.c_str(), 0700);  // the default directory, the first time
    m_table.Load();
    // Until here every lookup misses: the line tells whoever watches when hits can begin.
    Trace("CACHE INDEX LOADED (%zu entries)", m_table.Size());
  });
}

std::optional<HttpCache::Hit> HttpCache::Lookup(const std::string& sHost, uint16_t wPort, const std::string& sPath, int32_t nNow) {
  if (!Enabled()) return std::nullopt;
  const std::optional<UrlTable::Found> found = m_table.GetUrlFile(sHost, wPort, sPath);
  if (!found || (found->m_nExpires != -1 && found->m_nExpires < nNow)) return std::nullopt;
  return Hit{m_table.Dir() + "/" + found->m_sFileName, found->m_sFileName, found->m_nLastModified, found->m_nExpires};
}

const char* HttpCache::Refusal(const HttpResponseWatcher::Response& response, const std::string& sPath) {
  const HttpRequest::HeaderTable& headers = response.m_headers;
  if (HttpRequest::Find(headers, "transfer-encoding")) return "transfer-encoding";  // the body keeps its framing
  if (const std::string* lpEncoding = HttpRequest::Find(headers, "content-encoding"); lpEncoding && !EqualNoCase(Trim(*lpEncoding), "identity")) {
    return "content-encoding";  // it would be served without its encoding
  }
  const std::string* lpType = HttpRequest::Find(headers, "content-type");
  const std::string sServed = MimeTypes::System().TypeOf("x" + UrlTable::ExtensionFor(sPath));
  if (!lpType || MediaType(*lpType) != MediaType(sServed)) return "content-type";  // it would come back as another type
  if (HttpRequest::Find(headers, "set-cookie")) return "set-cookie";
  if (const std::string* lpControl = HttpRequest::Find(headers, "cache-control")) {
    const std::string sControl = ToLower(*lpControl);
    if (sControl.find("no-store") != std::string::npos || sControl.find("private") != std::string::npos) return "cache-control";
  }
  return nullptr;
}

std::unique_ptr<CacheWriter> HttpCache::BeginStore(const HttpRequest& request, const HttpResponseWatcher::Response& response,
                                                   std::string_view sBodyStart) {
  std::unique_ptr<CacheWriter> lpWriter(new CacheWriter());
  lpWriter->m_file = File::CreateUnique(File::TempDir(), "URL", ".TMP", &lpWriter->m_sTempPath);
  if (!lpWriter->m_file) {
    Trace("FAILED TO CREATE A NEW TEMP FILE");
    return nullptr;
  }
  lpWriter->m_sHost = request.Host();
  lpWriter->m_wPort = request.Port();
  lpWriter->m_sPath = request.Path();
  lpWriter->m_nLastModified = response.m_nLastModified;
  lpWriter->m_nExpires = response.m_nExpires;
  lpWriter->m_dwContentLength = response.m_dwContentLength;
  if (!lpWriter->m_file.WriteAll(sBodyStart.data(), sBodyStart.size())) {
    Trace("FAILED TO WRITE m_lpStore");
    return nullptr;
  }
  return lpWriter;
}

void HttpCache::Commit(std::unique_ptr<CacheWriter> lpWriter, int32_t nNow) {
  if (!lpWriter || lpWriter->Failed()) return;
  lpWriter->m_file.Close();
  const std::string& sTemp = lpWriter->m_sTempPath;
  const std::optional<uint64_t> qwSize = FileSize(sTemp);
  // With a Content-Length the body is whole when it has exactly that many bytes, however the
  // exchange ended after (clients often hang up as soon as they have it all). Without one, only
  // a clean end of the server's stream says it is whole.
  const bool bWhole = lpWriter->m_dwContentLength == HttpResponseWatcher::kUnknownLength
                          ? lpWriter->m_bComplete
                          : qwSize && *qwSize == lpWriter->m_dwContentLength;
  if (!qwSize || !bWhole) return;  // the writer's end deletes the temp file
  std::string sFileName;
  if (const std::optional<UrlTable::Found> found = m_table.GetUrlFile(lpWriter->m_sHost, lpWriter->m_wPort, lpWriter->m_sPath)) {
    const std::string sTarget = m_table.Dir() + "/" + found->m_sFileName;
    if (FileSize(sTarget) == qwSize && lpWriter->m_nLastModified <= found->m_nLastModified &&
        (found->m_nExpires == -1 || nNow >= found->m_nExpires)) {
      Trace("SAME SIZE, MODIFIED AND EXPIRE");
      return;
    }
    UrlTable::Delete(sTarget);  // the new body takes its name
    sFileName = found->m_sFileName;
  } else if (const std::optional<std::string> sNew = NewCacheName(UrlTable::ExtensionFor(lpWriter->m_sPath))) {
    sFileName = *sNew;
  } else {
    Trace("CANNOT REQUIRE A NEW TEMP FILE NAME");
    return;
  }
  Install(std::move(lpWriter), sFileName);
}

std::optional<std::string> HttpCache::NewCacheName(const std::string& sExtension) {
  std::string sPath;
  // The name is taken by creating the file; the body then replaces it.
  if (!File::CreateUnique(m_table.Dir(), "CCH", sExtension, &sPath)) return std::nullopt;
  return sPath.substr(sPath.find_last_of('/') + 1);
}

void HttpCache::Install(std::unique_ptr<CacheWriter> lpWriter, const std::string& sFileName) {
  const std::string sTarget = m_table.Dir() + "/" + sFileName;
  auto enter = [this, sFileName](const CacheWriter& writer) {
    // Until the entry is in, lookups miss: the trace tells when a body can be served.
    if (m_table.SetUrlFile(sFileName, writer.m_sHost, writer.m_wPort, writer.m_sPath, writer.m_nLastModified,
                           writer.m_nExpires)) {
      Trace("URL CACHED AS %s", sFileName.c_str());
    }
  };
  // One file system: the body is already where it must be, under another name.
  if (::rename(lpWriter->m_sTempPath.c_str(), sTarget.c_str()) == 0) {
    lpWriter->m_sTempPath.clear();  // it is the cache file now
    UrlTable::MarkCached(sTarget);
    enter(*lpWriter);
    return;
  }
  if (errno != EXDEV) {
    Trace("FAILED TO COPY FILE");
    ::unlink(sTarget.c_str());
    return;
  }
  // Another file system: a copy, which may take long, on the disk thread.
  m_disk.Post([lpWriter = std::shared_ptr<CacheWriter>(std::move(lpWriter)), sTarget, enter] {
    if (CopyFile(lpWriter->m_sTempPath, sTarget) && UrlTable::MarkCached(sTarget)) {
      enter(*lpWriter);
    } else {
      Trace("FAILED TO COPY FILE");
      ::unlink(sTarget.c_str());
    }
  });
}

HttpCacheSettings HttpCache::Settings() const {
  std::lock_guard<std::mutex> guard(m_settingsLock);
  return m_settings;
}

void HttpCache::Retune(const HttpCacheSettings& settings) {
  std::lock_guard<std::mutex> guard(m_settingsLock);
  m_settings.m_nCacheSize = settings.m_nCacheSize;
  m_settings.m_nCacheUpdate = settings.m_nCacheUpdate;
}

bool HttpCache::Maintain(int32_t nNow) {
  const uint64_t qwLimit = static_cast<uint64_t>(Settings().m_nCacheSize) * 1024;
  if (!m_table.Maintain(qwLimit, nNow)) return false;
  m_table.Save();
  return true;
}

}  // namespace harbix
