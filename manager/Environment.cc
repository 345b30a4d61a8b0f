#include "manager/Environment.h"

#include <sys/statvfs.h>

#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>

#include <csignal>

#include "manager/EngineLink.h"
#include "manager/LocalAddresses.h"
#include "manager/AppletModule.h"
#include "manager/LockNames.h"
#include "platform/NamedLock.h"

namespace harbix::manager {
namespace {

std::optional<DiskSpace> StatDisk(const QString& sFolder) {
  struct statvfs info {};
  if (::statvfs(sFolder.toLocal8Bit().constData(), &info) != 0) return std::nullopt;
  return DiskSpace{info.f_bavail, info.f_blocks, info.f_frsize};
}

// The host next to this library's program: "harbixmg TaskBarIcon" is the RunDLL32 host.
void StartTaskBarIcon() {
  QProcess::startDetached(QString::fromStdString(HostProgram()), {QStringLiteral("TaskBarIcon")});
}

void CloseTaskBarIcon() {
  if (std::optional<pid_t> nPid = NamedLock::Holder(kTaskBarIconLock)) ::kill(*nPid, SIGTERM);
}

}  // namespace

Environment SystemEnvironment() {
  Environment environment;
  environment.m_engineRuns = [] { return EngineRuns(); };
  environment.m_sendRequest = [](uint8_t bRequest) { SendEngineRequest(bRequest); };
  environment.m_inform = [](QWidget* lpParent, const QString& sCaption, const QString& sText) {
    QMessageBox::information(lpParent, sCaption, sText, QMessageBox::Ok);
  };
  environment.m_ask = [](QWidget* lpParent, const QString& sCaption, const QString& sText) {
    return QMessageBox::question(lpParent, sCaption, sText, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
  };
  environment.m_diskSpace = StatDisk;
  environment.m_chooseFolder = [](QWidget* lpParent, const QString& sTitle, const QString& sStart) {
    return QFileDialog::getExistingDirectory(lpParent, sTitle, sStart, QFileDialog::ShowDirsOnly);
  };
  environment.m_openFile = [](const QString& sPath) { QProcess::startDetached(QStringLiteral("xdg-open"), {sPath}); };
  environment.m_taskBarIconRuns = [] { return NamedLock::IsHeld(kTaskBarIconLock); };
  environment.m_startTaskBarIcon = StartTaskBarIcon;
  environment.m_closeTaskBarIcon = CloseTaskBarIcon;
  environment.m_localAddresses = [] { return ListLocalAddresses(); };
  return environment;
}

}  // namespace harbix::manager
