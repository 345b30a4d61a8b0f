// An Environment for tests: an engine that is or is not there and records the requests it
// gets, message boxes that record their texts and answer as told, a disk of a chosen size, a
// folder chooser with a chosen answer, and fixed host addresses.
#pragma once

#include <QString>
#include <QWidget>

#include <optional>
#include <vector>

#include "manager/Environment.h"

namespace harbix::manager {

inline constexpr uint32_t kLoopback = 0x0100007F;       // 127.0.0.1
inline constexpr uint32_t kLanAddress = 0x0A01A8C0;     // 192.168.1.10

class FakeEnvironment {
 public:
  FakeEnvironment();
  FakeEnvironment(const FakeEnvironment&) = delete;
  FakeEnvironment& operator=(const FakeEnvironment&) = delete;

  const Environment& Get() const { return m_environment; }
  Environment& Get() { return m_environment; }

  struct Message {
    QString m_sCaption;
    QString m_sText;
  };

  bool m_bEngineRuns = false;
  std::vector<uint8_t> m_vRequests;
  std::vector<Message> m_vMessages;
  bool m_bAnswer = true;
  std::optional<DiskSpace> m_diskSpace;
  QString m_sChosenFolder;
  std::vector<QString> m_vOpened;
  bool m_bIconRuns = false;
  int m_nIconStarts = 0;
  int m_nIconCloses = 0;
  std::vector<uint32_t> m_vLocalAddresses = {kLoopback, kLanAddress};

 private:
  Environment m_environment;
};

// A control of a page by its identifier.
template <typename Widget>
Widget* Control(QWidget* lpRoot, int nId) {
  return lpRoot->findChild<Widget*>(QString::number(nId));
}

}  // namespace harbix::manager
