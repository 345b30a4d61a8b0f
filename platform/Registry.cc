#include "platform/Registry.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <strings.h>

#include <cstring>
#include <mutex>

#include "platform/HarbixHome.h"

namespace harbix {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// Keys form a tree of rows; a hive is a root row (parent 0). NOCASE makes names compare
// without regard to case, as key and value names always have.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS keys("
    "  id INTEGER PRIMARY KEY,"
    "  parent INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  UNIQUE(parent, name));"
    "CREATE TABLE IF NOT EXISTS vals("
    "  key INTEGER NOT NULL,"
    "  name TEXT NOT NULL COLLATE NOCASE,"
    "  type INTEGER NOT NULL,"
    "  data BLOB NOT NULL,"
    "  PRIMARY KEY(key, name));";

struct HiveSpelling {
  Hive hive;
  const char* lpLong;
  const char* lpShort;
};
constexpr HiveSpelling kHives[] = {
    {Hive::LocalMachine, "HKEY_LOCAL_MACHINE", "HKLM"},
    {Hive::CurrentUser, "HKEY_CURRENT_USER", "HKCU"},
    {Hive::ClassesRoot, "HKEY_CLASSES_ROOT", "HKCR"},
};

// Hive names are ASCII.
bool SameHiveName(std::string_view sName, const char* lpHive) {
  return sName.size() == std::strlen(lpHive) && ::strncasecmp(sName.data(), lpHive, sName.size()) == 0;
}

// Splits a path at "\"; an empty component makes the whole path invalid. A trailing "\" is
// tolerated, as the registry tolerates it.
bool SplitPath(std::string_view sPath, std::vector<std::string_view>* pParts) {
  pParts->clear();
  while (!sPath.empty() && sPath.back() == '\\') sPath.remove_suffix(1);
  if (sPath.empty()) return true;
  size_t nStart = 0;
  while (true) {
    size_t nEnd = sPath.find('\\', nStart);
    std::string_view sPart = sPath.substr(nStart, nEnd == std::string_view::npos ? std::string_view::npos : nEnd - nStart);
    if (sPart.empty()) return false;
    pParts->push_back(sPart);
    if (nEnd == std::string_view::npos) return true;
    nStart = nEnd + 1;
  }
}

// One statement, reset and cleared when it leaves scope so it can be reused.
class Statement {
 public:
  Statement(sqlite3* lpDb, const char* lpSql) { sqlite3_prepare_v2(lpDb, lpSql, -1, &m_lpStmt, nullptr); }
  ~Statement() { sqlite3_finalize(m_lpStmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  bool Ok() const { return m_lpStmt != nullptr; }
  void Bind(int nIndex, int64_t nValue) { sqlite3_bind_int64(m_lpStmt, nIndex, nValue); }
  void Bind(int nIndex, std::string_view sText) {
    sqlite3_bind_text(m_lpStmt, nIndex, sText.data(), static_cast<int>(sText.size()), SQLITE_TRANSIENT);
  }
  void BindBlob(int nIndex, const void* lpData, uint32_t cbData) {
    // A zero-length blob must still be a blob, not NULL: pass a non-null pointer.
    static const char kEmpty = 0;
    sqlite3_bind_blob(m_lpStmt, nIndex, cbData ? lpData : &kEmpty, static_cast<int>(cbData), SQLITE_TRANSIENT);
  }
  int Step() { return sqlite3_step(m_lpStmt); }
  int64_t Int(int nColumn) const { return sqlite3_column_int64(m_lpStmt, nColumn); }
  std::string Text(int nColumn) const {
    const auto* lpText = sqlite3_column_text(m_lpStmt, nColumn);
    return lpText ? std::string(reinterpret_cast<const char*>(lpText), sqlite3_column_bytes(m_lpStmt, nColumn)) : std::string();
  }
  std::string Blob(int nColumn) const {
    const void* lpData = sqlite3_column_blob(m_lpStmt, nColumn);
    return lpData ? std::string(static_cast<const char*>(lpData), sqlite3_column_bytes(m_lpStmt, nColumn)) : std::string();
  }

 private:
  sqlite3_stmt* m_lpStmt = nullptr;
};

// The process's one connection. Every operation holds m_lock: statements are short, and the
// service threads read their keys only at start and on reload.
class Database {
 public:
  static Database& Instance() {
    static Database* lpInstance = new Database();  // never destroyed: used until exit
    return *lpInstance;
  }

  std::mutex& Lock() { return m_lock; }

  // Opens the database on first use; null when it cannot be opened or created.
  sqlite3* Handle(bool bCreate) {
    if (m_lpDb) return m_lpDb;
    const std::string sFile = platform::HarbixHome() + "/registry.db";
    if (::access(sFile.c_str(), F_OK) != 0) {
      if (!bCreate) return nullptr;
      // Created by hand so that it starts private: it holds the SOCKS users. SQLite gives its
      // -wal and -shm companions the same mode.
      int hFile = ::open(sFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (hFile < 0) return nullptr;
      ::close(hFile);
    }
    sqlite3* lpDb = nullptr;
    if (sqlite3_open_v2(sFile.c_str(), &lpDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK) {
      sqlite3_close(lpDb);
      return nullptr;
    }
    sqlite3_busy_timeout(lpDb, kBusyTimeoutMs);
    sqlite3_exec(lpDb, "PRAGMA journal_mode=WAL;", nullptr, nullptr, nullptr);
    sqlite3_exec(lpDb, "PRAGMA synchronous=NORMAL;", nullptr, nullptr, nullptr);
    if (sqlite3_exec(lpDb, kSchema, nullptr, nullptr, nullptr) != SQLITE_OK) {
      sqlite3_close(lpDb);
      return nullptr;
    }
    m_lpDb = lpDb;
    return m_lpDb;
  }

  void Close() {
    if (m_lpDb) sqlite3_close(m_lpDb);
    m_lpDb = nullptr;
  }

 private:
  std::mutex m_lock;
  sqlite3* m_lpDb = nullptr;
};

// Finds (or, with bCreate, makes) the row of one key below a parent.
int64_t ChildKey(sqlite3* lpDb, int64_t nParent, std::string_view sName, bool bCreate) {
  {
    Statement query(lpDb, "SELECT id FROM keys WHERE parent=?1 AND name=?2;");
    query.Bind(1, nParent);
    query.Bind(2, sName);
    if (query.Step() == SQLITE_ROW) return query.Int(0);
  }
  if (!bCreate) return 0;
  Statement insert(lpDb, "INSERT OR IGNORE INTO keys(parent, name) VALUES(?1, ?2);");
  insert.Bind(1, nParent);
  insert.Bind(2, sName);
  if (insert.Step() != SQLITE_DONE) return 0;
  Statement query(lpDb, "SELECT id FROM keys WHERE parent=?1 AND name=?2;");
  query.Bind(1, nParent);
  query.Bind(2, sName);
  return query.Step() == SQLITE_ROW ? query.Int(0) : 0;
}

// Walks a path from its hive; 0 when a key is missing (and not to be created) or on failure.
int64_t FindKey(Hive hive, std::string_view sPath, bool bCreate) {
  std::vector<std::string_view> vParts;
  if (!SplitPath(sPath, &vParts)) return 0;
  Database& db = Database::Instance();
  std::lock_guard<std::mutex> guard(db.Lock());
  sqlite3* lpDb = db.Handle(bCreate);
  if (!lpDb) return 0;
  // Creating a path is several statements; one immediate transaction keeps two processes
  // creating the same path from interleaving.
  if (bCreate && sqlite3_exec(lpDb, "BEGIN IMMEDIATE;", nullptr, nullptr, nullptr) != SQLITE_OK) return 0;
  int64_t nId = ChildKey(lpDb, 0, HiveName(hive), bCreate);
  for (std::string_view sPart : vParts) {
    if (!nId) break;
    nId = ChildKey(lpDb, nId, sPart, bCreate);
  }
  if (bCreate) sqlite3_exec(lpDb, nId ? "COMMIT;" : "ROLLBACK;", nullptr, nullptr, nullptr);
  return nId;
}

}  // namespace

const char* HiveName(Hive hive) {
  for (const auto& spelling : kHives) {
    if (spelling.hive == hive) return spelling.lpLong;
  }
  return "";
}

bool ParseKeyPath(std::string_view sFull, Hive* pHive, std::string* pPath) {
  size_t nSep = sFull.find('\\');
  std::string_view sHive = sFull.substr(0, nSep);
  std::string_view sRest = nSep == std::string_view::npos ? std::string_view() : sFull.substr(nSep + 1);
  for (const auto& spelling : kHives) {
    if (SameHiveName(sHive, spelling.lpLong) || SameHiveName(sHive, spelling.lpShort)) {
      std::vector<std::string_view> vParts;
      if (!SplitPath(sRest, &vParts)) return false;
      *pHive = spelling.hive;
      pPath->assign(sRest);
      while (!pPath->empty() && pPath->back() == '\\') pPath->pop_back();
      return true;
    }
  }
  return false;
}

std::optional<RegistryKey> RegistryKey::Open(Hive hive, std::string_view sPath) {
  int64_t nId = FindKey(hive, sPath, false);
  if (!nId) return std::nullopt;
  return RegistryKey(hive, std::string(sPath), nId);
}

std::optional<RegistryKey> RegistryKey::Create(Hive hive, std::string_view sPath) {
  int64_t nId = FindKey(hive, sPath, true);
  if (!nId) return std::nullopt;
  return RegistryKey(hive, std::string(sPath), nId);
}

std::optional<RegistryValue> RegistryKey::GetValue(std::string_view sName) const {
  Database& db = Database::Instance();
  std::lock_guard<std::mutex> guard(db.Lock());
  sqlite3* lpDb = db.Handle(false);
  if (!lpDb) return std::nullopt;
  Statement query(lpDb, "SELECT name, type, data FROM vals WHERE key=?1 AND name=?2;");
  query.Bind(1, m_nId);
  query.Bind(2, sName);
  if (query.Step() != SQLITE_ROW) return std::nullopt;
  return RegistryValue{query.Text(0), static_cast<uint32_t>(query.Int(1)), query.Blob(2)};
}

bool RegistryKey::QueryValue(std::string_view sName, uint32_t* pdwType, void* lpData, uint32_t* pcbData) const {
  std::optional<RegistryValue> value = GetValue(sName);
  if (!value) return false;
  const auto cbStored = static_cast<uint32_t>(value->sData.size());
  if (pdwType) *pdwType = value->dwType;
  if (lpData) {
    if (!pcbData || cbStored > *pcbData) {
      if (pcbData) *pcbData = cbStored;
      return false;
    }
    std::memcpy(lpData, value->sData.data(), cbStored);
  }
  if (pcbData) *pcbData = cbStored;
  return true;
}

bool RegistryKey::SetValue(std::string_view sName, uint32_t dwType, const void* lpData, uint32_t cbData) {
  Database& db = Database::Instance();
  std::lock_guard<std::mutex> guard(db.Lock());
  sqlite3* lpDb = db.Handle(true);
  if (!lpDb) return false;
  Statement upsert(lpDb,
                   "INSERT INTO vals(key, name, type, data) VALUES(?1, ?2, ?3, ?4) "
                   "ON CONFLICT(key, name) DO UPDATE SET type=excluded.type, data=excluded.data;");
  upsert.Bind(1, m_nId);
  upsert.Bind(2, sName);
  upsert.Bind(3, static_cast<int64_t>(dwType));
  upsert.BindBlob(4, lpData, cbData);
  return upsert.Step() == SQLITE_DONE;
}

bool RegistryKey::SetString(std::string_view sName, std::string_view sText) {
  std::string sStored(sText);
  sStored.push_back('\0');
  return SetValue(sName, REG_SZ, sStored.data(), static_cast<uint32_t>(sStored.size()));
}

bool RegistryKey::SetDword(std::string_view sName, uint32_t dwValue) {
  unsigned char bytes[4] = {static_cast<unsigned char>(dwValue), static_cast<unsigned char>(dwValue >> 8),
                            static_cast<unsigned char>(dwValue >> 16), static_cast<unsigned char>(dwValue >> 24)};
  return SetValue(sName, REG_DWORD, bytes, sizeof bytes);
}

bool RegistryKey::SetBinary(std::string_view sName, const void* lpData, uint32_t cbData) {
  return SetValue(sName, REG_BINARY, lpData, cbData);
}

bool RegistryKey::DeleteValue(std::string_view sName) {
  Database& db = Database::Instance();
  std::lock_guard<std::mutex> guard(db.Lock());
  sqlite3* lpDb = db.Handle(false);
  if (!lpDb) return false;
  Statement erase(lpDb, "DELETE FROM vals WHERE key=?1 AND name=?2;");
  erase.Bind(1, m_nId);
  erase.Bind(2, sName);
  return erase.Step() == SQLITE_DONE && sqlite3_changes(lpDb) > 0;
}

std::vector<std::string> RegistryKey::SubKeys() const {
  std::vector<std::string> vNames;
  Database& db = Database::Instance();
  std::lock_guard<std::mutex> guard(db.Lock());
  sqlite3* lpDb = db.Handle(false);
  if (!lpDb) return vNames;
  Statement query(lpDb, "SELECT name FROM keys WHERE parent=?1 ORDER BY name;");
  query.Bind(1, m_nId);
  while (query.Step() == SQLITE_ROW) vNames.push_back(query.Text(0));
  return vNames;
}

std::vector<RegistryValue> RegistryKey::Values() const {
  std::vector<RegistryValue> vValues;
  Database& db = Database::Instance();
  std::lock_guard<std::mutex> guard(db.Lock());
  sqlite3* lpDb = db.Handle(false);
  if (!lpDb) return vValues;
  Statement query(lpDb, "SELECT name, type, data FROM vals WHERE key=?1 ORDER BY name;");
  query.Bind(1, m_nId);
  while (query.Step() == SQLITE_ROW) {
    vValues.push_back(RegistryValue{query.Text(0), static_cast<uint32_t>(query.Int(1)), query.Blob(2)});
  }
  return vValues;
}

void CloseRegistry() {
  Database& db = Database::Instance();
  std::lock_guard<std::mutex> guard(db.Lock());
  db.Close();
}

}  // namespace harbix
