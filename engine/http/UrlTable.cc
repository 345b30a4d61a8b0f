#include "engine/http/UrlTable.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>

#include "common/Text.h"
#include "platform/TimedLock.h"
#include "platform/Trace.h"

namespace harbix {
namespace {

void PutU16(std::string& sOut, uint16_t wValue) {
  sOut.push_back(static_cast<char>(wValue & 0xFF));
  sOut.push_back(static_cast<char>(wValue >> 8));
}

void PutU32(std::string& sOut, uint32_t dwValue) {
  for (int i = 0; i < 4; ++i) sOut.push_back(static_cast<char>((dwValue >> (8 * i)) & 0xFF));
}

// Reads the fields of the index records in order; any short read ends the reading.
class RecordReader {
 public:
  explicit RecordReader(std::string_view sData) : m_sData(sData) {}
  bool U16(uint16_t* pValue) {
    if (m_sData.size() < 2) return false;
    *pValue = static_cast<uint16_t>(Byte(0) | (Byte(1) << 8));
    m_sData.remove_prefix(2);
    return true;
  }
  bool U32(uint32_t* pValue) {
    if (m_sData.size() < 4) return false;
    *pValue = Byte(0) | (Byte(1) << 8) | (Byte(2) << 16) | (Byte(3) << 24);
    m_sData.remove_prefix(4);
    return true;
  }
  // A length (below the limit) and that many bytes.
  bool Text(std::string* pText) {
    uint32_t cbText = 0;
    if (!U32(&cbText) || cbText >= UrlTable::kMaxField || m_sData.size() < cbText) return false;
    pText->assign(m_sData.substr(0, cbText));
    m_sData.remove_prefix(cbText);
    return true;
  }

 private:
  uint32_t Byte(size_t n) const { return static_cast<unsigned char>(m_sData[n]); }
  std::string_view m_sData;
};

// What a directory entry is, as the cache sees it.
struct FileFacts {
  bool m_bFile = false;
  bool m_bReadOnly = false;  // no write permission for anybody: the cache's mark
  uint64_t m_qwSize = 0;
};

std::optional<FileFacts> Examine(const std::string& sPath) {
  struct stat st {};
  if (::stat(sPath.c_str(), &st) != 0) return std::nullopt;
  return FileFacts{S_ISREG(st.st_mode), (st.st_mode & 0222) == 0, static_cast<uint64_t>(st.st_size)};
}

}  // namespace

bool UrlTable::IsCacheFileName(std::string_view sName) {
  if (!sName.starts_with("CCH")) return false;
  sName.remove_prefix(3);
  const size_t nDot = sName.find('.');
  if (nDot == 0 || nDot == std::string_view::npos || nDot + 1 == sName.size()) return false;
  const auto isHex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
  const auto isAlnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  return std::all_of(sName.begin(), sName.begin() + static_cast<std::ptrdiff_t>(nDot), isHex) &&
         std::all_of(sName.begin() + static_cast<std::ptrdiff_t>(nDot) + 1, sName.end(), isAlnum);
}

std::string UrlTable::ExtensionFor(std::string_view sPath) {
  const std::string_view sTail = sPath.substr(sPath.size() - std::min<size_t>(5, sPath.size()));
  if (const size_t nDot = sTail.find_last_of('.'); nDot != std::string_view::npos) {
    const std::string_view sExtension = sTail.substr(nDot + 1);
    // Only letters and digits: the extension becomes part of a file name, and a "/" or ".."
    // must never take it out of the cache directory.
    if (!sExtension.empty() &&
        std::all_of(sExtension.begin(), sExtension.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; })) {
      std::string sUpper = ".";
      for (char c : sExtension) sUpper.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
      return sUpper;
    }
  } else if (sPath.ends_with('/')) {
    return ".HTML";
  }
  return ".TMP";
}

bool UrlTable::MarkCached(const std::string& sPath) { return ::chmod(sPath.c_str(), 0444) == 0; }

void UrlTable::Delete(const std::string& sPath) {
  ::chmod(sPath.c_str(), 0644);  // the mark goes first, as it does for any file the cache lets go
  ::unlink(sPath.c_str());
}

std::vector<CacheEntry> UrlTable::ParseIndex(std::string_view sData) {
  std::vector<CacheEntry> vEntries;
  RecordReader reader(sData);
  while (true) {
    CacheEntry entry;
    uint32_t dwLastModified = 0;
    uint32_t dwExpires = 0;
    if (!reader.Text(&entry.m_sHost) || !reader.U16(&entry.m_wPort) || !reader.Text(&entry.m_sPath) ||
        !reader.U32(&dwLastModified) || !reader.U32(&dwExpires) || !reader.Text(&entry.m_sFileName)) {
      break;
    }
    entry.m_nLastModified = static_cast<int32_t>(dwLastModified);
    entry.m_nExpires = static_cast<int32_t>(dwExpires);
    vEntries.push_back(std::move(entry));
  }
  return vEntries;
}

std::string UrlTable::SerializeIndex(const std::vector<CacheEntry>& vEntries) {
  std::string sOut;
  for (const CacheEntry& entry : vEntries) {
    // A field this long would end the reading of every record behind it.
    if (entry.m_sHost.size() >= kMaxField || entry.m_sPath.size() >= kMaxField || entry.m_sFileName.size() >= kMaxField) continue;
    PutU32(sOut, static_cast<uint32_t>(entry.m_sHost.size()));
    sOut += entry.m_sHost;
    PutU16(sOut, entry.m_wPort);
    PutU32(sOut, static_cast<uint32_t>(entry.m_sPath.size()));
    sOut += entry.m_sPath;
    PutU32(sOut, static_cast<uint32_t>(entry.m_nLastModified));
    PutU32(sOut, static_cast<uint32_t>(entry.m_nExpires));
    PutU32(sOut, static_cast<uint32_t>(entry.m_sFileName.size()));
    sOut += entry.m_sFileName;
  }
  return sOut;
}

bool UrlTable::Intact(const CacheEntry& entry) const {
  const std::optional<FileFacts> facts = Examine(PathOf(entry.m_sFileName));
  return facts && facts->m_bFile && facts->m_qwSize == entry.m_qwSize;
}

CacheEntry* UrlTable::FindLocked(const std::string& sHost, uint16_t wPort, const std::string& sPath) {
  auto it = m_hosts.find(sHost);
  if (it == m_hosts.end()) return nullptr;
  for (CacheEntry& entry : it->second->second) {
    // Paths compare exactly: origins on case-sensitive file systems serve /a.html and /A.html as
    // two documents, and one must not be answered with the other's body.
    if (entry.m_wPort == wPort && entry.m_sPath == sPath) return &entry;
  }
  return nullptr;
}

void UrlTable::AddLocked(CacheEntry entry) {
  auto it = m_hosts.find(entry.m_sHost);
  if (it == m_hosts.end()) {
    m_chains.emplace_back(entry.m_sHost, Chain());
    it = m_hosts.emplace(entry.m_sHost, std::prev(m_chains.end())).first;
  }
  it->second->second.push_back(std::move(entry));
}

std::vector<CacheEntry> UrlTable::EntriesLocked() const {
  std::vector<CacheEntry> vEntries;
  for (const auto& [sHost, chain] : m_chains) vEntries.insert(vEntries.end(), chain.begin(), chain.end());
  return vEntries;
}

std::optional<UrlTable::Found> UrlTable::GetUrlFile(const std::string& sHost, uint16_t wPort, const std::string& sPath) {
  if (!TryLockFor(m_lock, kSessionWait)) {
    Trace("GetURLFile() CANNOT LOCK");
    return std::nullopt;
  }
  std::lock_guard<std::mutex> guard(m_lock, std::adopt_lock);
  const CacheEntry* lpEntry = FindLocked(sHost, wPort, sPath);
  if (!lpEntry || !Intact(*lpEntry)) return std::nullopt;
  return Found{lpEntry->m_sFileName, lpEntry->m_nLastModified, lpEntry->m_nExpires};
}

bool UrlTable::SetUrlFile(const std::string& sFileName, const std::string& sHost, uint16_t wPort, const std::string& sPath,
                          int32_t nLastModified, int32_t nExpires) {
  if (!TryLockFor(m_lock, kSessionWait)) {
    Trace("SetURLFile() CANNOT LOCK");
    return false;
  }
  std::lock_guard<std::mutex> guard(m_lock, std::adopt_lock);
  const std::optional<FileFacts> facts = Examine(PathOf(sFileName));
  CacheEntry* lpEntry = FindLocked(sHost, wPort, sPath);
  if (lpEntry && !EqualNoCase(lpEntry->m_sFileName, sFileName)) Delete(PathOf(lpEntry->m_sFileName));
  if (!lpEntry) {
    AddLocked(CacheEntry{sHost, wPort, sPath});
    lpEntry = FindLocked(sHost, wPort, sPath);
  }
  lpEntry->m_nLastModified = nLastModified;
  lpEntry->m_nExpires = nExpires;
  lpEntry->m_sFileName = sFileName;
  lpEntry->m_qwSize = facts ? facts->m_qwSize : 0;
  return true;
}

void UrlTable::Load() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_chains.clear();
  m_hosts.clear();
  std::set<std::string> known = {kIndexFile};
  std::ifstream index(PathOf(kIndexFile), std::ios::binary);
  if (!index) {
    Trace("Cannot open cache data file");
  } else {
    const std::string sData((std::istreambuf_iterator<char>(index)), std::istreambuf_iterator<char>());
    for (CacheEntry& entry : ParseIndex(sData)) {
      const std::string sPath = PathOf(entry.m_sFileName);
      const std::optional<FileFacts> facts = Examine(sPath);
      // Only what looks like the cache's own, so that an index pointed at another folder never
      // touches anybody else's files.
      if (!IsCacheFileName(entry.m_sFileName) || !facts) continue;
      if (!facts->m_bFile || !facts->m_bReadOnly) {
        if (facts->m_bFile) Delete(sPath);
        continue;
      }
      entry.m_qwSize = facts->m_qwSize;
      known.insert(entry.m_sFileName);
      AddLocked(std::move(entry));
    }
  }
  DIR* lpDir = ::opendir(m_sDir.c_str());
  if (!lpDir) {
    Trace("INVALID_HANDLE in FindFirstFile");
    return;
  }
  std::vector<std::string> vStrays;
  while (const dirent* lpEntry = ::readdir(lpDir)) {
    const std::string sName = lpEntry->d_name;
    if (!IsCacheFileName(sName) || known.count(sName)) continue;
    const std::optional<FileFacts> facts = Examine(PathOf(sName));
    if (facts && facts->m_bFile && facts->m_bReadOnly) vStrays.push_back(sName);
  }
  ::closedir(lpDir);
  for (const std::string& sName : vStrays) Delete(PathOf(sName));
}

void UrlTable::Save() {
  std::lock_guard<std::mutex> guard(m_lock);
  std::vector<CacheEntry> vEntries;
  for (const CacheEntry& entry : EntriesLocked()) {
    if (Intact(entry)) vEntries.push_back(entry);
  }
  // Written beside, then put in place: a stop in the middle never leaves half an index.
  const std::string sPath = PathOf(kIndexFile);
  const std::string sNew = sPath + ".new";
  {
    std::ofstream index(sNew, std::ios::binary | std::ios::trunc);
    if (!index) {
      Trace("Cannot open cache data file");
      return;
    }
    const std::string sData = SerializeIndex(vEntries);
    index.write(sData.data(), static_cast<std::streamsize>(sData.size()));
    if (!index.flush()) {
      Trace("FILE EXCEPTION WHILE WRITING CACHE DATA");
      ::unlink(sNew.c_str());
      return;
    }
  }
  ::rename(sNew.c_str(), sPath.c_str());
}

bool UrlTable::Maintain(uint64_t qwLimit, int32_t nNow) {
  if (!TryLockFor(m_lock, kMaintenanceWait)) return false;
  std::lock_guard<std::mutex> guard(m_lock, std::adopt_lock);
  uint64_t qwTotal = 0;
  for (auto itChain = m_chains.begin(); itChain != m_chains.end();) {
    Chain& chain = itChain->second;
    std::erase_if(chain, [&](const CacheEntry& entry) {
      const std::optional<FileFacts> facts = Examine(PathOf(entry.m_sFileName));
      const bool bKeep = (entry.m_nExpires == -1 || entry.m_nExpires >= nNow) && facts && facts->m_bFile &&
                         facts->m_bReadOnly && facts->m_qwSize == entry.m_qwSize && qwTotal + entry.m_qwSize <= qwLimit;
      if (bKeep) {
        qwTotal += entry.m_qwSize;
      } else if (facts && facts->m_bFile) {
        Delete(PathOf(entry.m_sFileName));
      }
      return !bKeep;
    });
    if (chain.empty()) {
      m_hosts.erase(itChain->first);
      itChain = m_chains.erase(itChain);
    } else {
      ++itChain;
    }
  }
  return true;
}

void UrlTable::Clear() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_chains.clear();
  m_hosts.clear();
}

size_t UrlTable::Size() {
  std::lock_guard<std::mutex> guard(m_lock);
  size_t nEntries = 0;
  for (const auto& [sHost, chain] : m_chains) nEntries += chain.size();
  return nEntries;
}

}  // namespace harbix
