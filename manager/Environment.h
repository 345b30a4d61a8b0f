// What the pages need from the world outside the sheet: the engine, message boxes, the disk,
// the desktop and the host's addresses. The sheet gets the system's; tests put in their own,
// so that no test waits on a message box or depends on this machine's disks.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace harbix::manager {

// Free and total space of the drive that holds a folder, in allocation units.
struct DiskSpace {
  uint64_t m_qwFreeUnits = 0;
  uint64_t m_qwTotalUnits = 0;
  uint64_t m_cbUnit = 0;
};

struct Environment {
  // Whether the engine runs (its single-instance lock is held), and sending it one request.
  std::function<bool()> m_engineRuns;
  std::function<void(uint8_t bRequest)> m_sendRequest;
  // Message boxes: an OK box, and a Yes/No question that answers true for Yes.
  std::function<void(QWidget* lpParent, const QString& sCaption, const QString& sText)> m_inform;
  std::function<bool(QWidget* lpParent, const QString& sCaption, const QString& sText)> m_ask;
  std::function<std::optional<DiskSpace>(const QString& sFolder)> m_diskSpace;
  // A folder chooser; an empty text when the user cancels.
  std::function<QString(QWidget* lpParent, const QString& sTitle, const QString& sStart)> m_chooseFolder;
  // Opens a file with the desktop's default handler.
  std::function<void(const QString& sPath)> m_openFile;
  // The taskbar icon: whether it runs, starting it, telling the running one to quit.
  std::function<bool()> m_taskBarIconRuns;
  std::function<void()> m_startTaskBarIcon;
  std::function<void()> m_closeTaskBarIcon;
  // The host's IPv4 interface addresses, network order, in the order the system lists them.
  std::function<std::vector<uint32_t>()> m_localAddresses;
  std::string m_sResolvConf = "/etc/resolv.conf";
  std::string m_sHostsFile = "/etc/hosts";
};

// Everything from the running system.
Environment SystemEnvironment();

}  // namespace harbix::manager
