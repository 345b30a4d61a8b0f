// A service's activity log: HARBIX_HOME/log/<NAME>.LOG, appended to, one line per event,
// flushed at every write. Written only by the service's own thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <string>
#include <variant>

namespace harbix {

// An insert of a message template: "%1" takes a text, "%2!u!" a number.
using LogInsert = std::variant<std::string, uint64_t>;

class ActivityLog {
 public:
  explicit ActivityLog(std::string sFileName) : m_sFileName(std::move(sFileName)) {}
  ~ActivityLog();
  ActivityLog(const ActivityLog&) = delete;
  ActivityLog& operator=(const ActivityLog&) = delete;

  // Mirrors "LOG Activity": nothing is written while it is off.
  void SetEnabled(bool bEnabled) { m_bEnabled = bEnabled; }
  bool Enabled() const { return m_bEnabled; }
  bool IsOpen() const { return m_lpFile != nullptr; }

  // Opens the file for appending and writes a session header; does nothing when it is open
  // already. A file that cannot be opened leaves the log closed, without a word.
  void Open();
  // Writes the closing line (only while enabled) and closes.
  void Close();
  void Write(const char* lpTemplate, std::initializer_list<LogInsert> inserts = {});

  std::string Path() const;

  // The pieces of the file format, for tests.
  static std::string FormatHeader(std::time_t when);
  static std::string FormatEvent(std::time_t when, const char* lpTemplate, std::initializer_list<LogInsert> inserts);
  // Expands "%<n>" and "%<n>!<printf format>!" with the inserts (counted from 1), and the
  // escapes "%%", "%n", "%t", "%r", "%." and "%!".
  static std::string ExpandInserts(const std::string& sText, std::initializer_list<LogInsert> inserts);

 private:
  std::string m_sFileName;
  std::FILE* m_lpFile = nullptr;
  bool m_bEnabled = false;
};

// Templates of the connection services' common events.
inline constexpr const char* kLogAccepted = "Accepted Connection From IP %1:%2!u!";
inline constexpr const char* kLogRefused = "Refused Connection From IP %1:%2!u!";
inline constexpr const char* kLogClosing = "Closing IP %1:%2!u!";
inline constexpr const char* kLogClosingLog = "--- CLOSING LOG ---\n";

}  // namespace harbix
