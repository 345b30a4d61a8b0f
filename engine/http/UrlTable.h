// The cache's index: which URL (host, port, path) is stored in which file of the cache
// directory, with the body's times and size. Kept in memory, saved to "Cache.dat" in the
// directory, and guarded by the URL table lock, since sessions on their own threads look up
// and store while the service thread maintains it.
#pragma once

#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace harbix {

struct CacheEntry {
  std::string m_sHost;      // as the client wrote it, without the port
  uint16_t m_wPort = 80;
  std::string m_sPath;      // origin form, from "/"
  int32_t m_nLastModified = -1;
  int32_t m_nExpires = -1;  // -1: never
  std::string m_sFileName;  // in the cache directory
  uint64_t m_qwSize = 0;    // of the file when the entry was made or loaded
};

class UrlTable {
 public:
  static constexpr const char* kIndexFile = "Cache.dat";
  // A text field of an index record is shorter than this, or the reader stops there.
  static constexpr size_t kMaxField = 256;
  static constexpr std::chrono::milliseconds kSessionWait{10000};
  static constexpr std::chrono::milliseconds kMaintenanceWait{500};

  explicit UrlTable(std::string sCacheDir) : m_sDir(std::move(sCacheDir)) {}
  const std::string& Dir() const { return m_sDir; }

  struct Found {
    std::string m_sFileName;
    int32_t m_nLastModified;
    int32_t m_nExpires;
  };
  // The entry of a URL whose file is still what the entry says; nullopt when there is none, the
  // file changed or went (the entry stays until maintenance), or the lock was not had in time.
  std::optional<Found> GetUrlFile(const std::string& sHost, uint16_t wPort, const std::string& sPath);
  // Makes (or updates) the entry of a URL for a file now in the cache directory; a replaced
  // file of another name is deleted. False when the lock was not had in time.
  bool SetUrlFile(const std::string& sFileName, const std::string& sHost, uint16_t wPort, const std::string& sPath,
                  int32_t nLastModified, int32_t nExpires);

  // Reads "Cache.dat", keeps the records whose files are the cache's, and deletes the cache's
  // files that no record names.
  void Load();
  // Writes every entry whose file is what the entry says.
  void Save();
  // Drops what expired, what changed on disk, and what does not fit in the limit (entries in
  // table order, the first ones kept); false when the lock was not had in time.
  bool Maintain(uint64_t qwLimit, int32_t nNow);
  void Clear();
  size_t Size();

  // The index file's records (the reading stops at the first damaged one), and writing them
  // (entries whose fields would be too long to read back are left out).
  static std::vector<CacheEntry> ParseIndex(std::string_view sData);
  static std::string SerializeIndex(const std::vector<CacheEntry>& vEntries);

  // What marks a file as the cache's: a name of the cache's own form ("CCH", hexadecimal
  // digits, an extension of letters and digits) and no write permission.
  static bool IsCacheFileName(std::string_view sName);
  // The extension a URL path's body is stored under: the one its last five characters end in
  // when it is letters and digits only, ".HTML" for a directory, ".TMP" otherwise; upper case.
  static std::string ExtensionFor(std::string_view sPath);
  // Marks a file as the cache's, and a file the cache lets go (then deletes it).
  static bool MarkCached(const std::string& sPath);
  static void Delete(const std::string& sPath);

 private:
  using Chain = std::vector<CacheEntry>;
  std::string PathOf(const std::string& sFileName) const { return m_sDir + "/" + sFileName; }
  // The file still is what the entry says.
  bool Intact(const CacheEntry& entry) const;
  CacheEntry* FindLocked(const std::string& sHost, uint16_t wPort, const std::string& sPath);
  std::vector<CacheEntry> EntriesLocked() const;
  void AddLocked(CacheEntry entry);

  std::string m_sDir;
  std::mutex m_lock;
  std::list<std::pair<std::string, Chain>> m_chains;  // hosts in the order they came
  std::unordered_map<std::string, std::list<std::pair<std::string, Chain>>::iterator> m_hosts;
};

}  // namespace harbix
