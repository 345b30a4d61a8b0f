// Grabs every page of the sheet, and the two dialogs, to PNG files for the documentation:
//   QT_QPA_PLATFORM=offscreen manager_grab_pages DIR
// Runs on a fresh store of its own with a sample port map, so that the pictures do not depend
// on the machine.
#include <QApplication>
#include <QDir>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>

#include <QTreeWidget>

#include <cstdio>
#include <fstream>

#include "common/MapRecord.h"
#include "common/ServiceConfig.h"
#include "manager/ControlIds.h"
#include "manager/PropertySheet.h"
#include "tests/manager/FakeEnvironment.h"
#include "tests/support/TempHome.h"

namespace {

using namespace harbix;
using namespace harbix::manager;

void WriteSampleMap() {
  MapRecord map;
  map.m_wBindPort = 8443;
  map.m_sDestHost = "intranet.example";
  map.m_wDestPort = 443;
  map.m_serviceType = MapServiceType::Tcp;
  map.m_incoming.Add({0x0001A8C0, 0x00FFFFFF});  // 192.168.1.0/255.255.255.0
  WriteMapRecords({map});
}

void WriteSampleCache() {
  ServiceConfig http = ReadServiceConfig(ServiceId::Http);
  http.m_http.m_sCacheDir = "/var/lib/harbix/cache";
  WriteHttpCache(http);
}

std::string WriteSampleResolvConf(const std::string& sHome) {
  const std::string sPath = sHome + "/resolv.conf";
  std::ofstream(sPath) << "nameserver 192.168.1.1\nnameserver 192.168.1.2\n";
  return sPath;
}

QString FileName(int nIndex, QString sTitle) {
  sTitle = sTitle.toLower().replace(QRegularExpression(QStringLiteral("[^a-z0-9]+")), QStringLiteral("-"));
  while (sTitle.endsWith('-')) sTitle.chop(1);
  return QStringLiteral("%1-%2.png").arg(nIndex, 2, 10, QLatin1Char('0')).arg(sTitle);
}

bool Save(QWidget* lpWidget, const QDir& dir, const QString& sName) {
  lpWidget->show();
  QApplication::processEvents();
  const bool bSaved = lpWidget->grab().save(dir.filePath(sName));
  if (!bSaved) std::fprintf(stderr, "manager_grab_pages: cannot write %s\n", qPrintable(sName));
  return bSaved;
}

QPushButton* Button(QWidget* lpRoot, int nId) { return Control<QPushButton>(lpRoot, nId); }

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: manager_grab_pages DIR\n");
    return 2;
  }
  const QDir dir(QString::fromLocal8Bit(argv[1]));
  if (!dir.exists() && !QDir().mkpath(dir.path())) return 1;
  harbix::test::TempHome home;
  WriteSampleMap();
  WriteSampleCache();
  FakeEnvironment environment;
  environment.Get().m_sResolvConf = WriteSampleResolvConf(home.Path());
  environment.m_diskSpace = DiskSpace{3u << 20, 10u << 20, 1024};  // 3 GiB free of 10

  PropertySheet sheet(environment.Get());
  bool bOk = true;
  for (int nTab = 0; nTab < sheet.Tabs()->count(); ++nTab) {
    sheet.Tabs()->setCurrentIndex(nTab);
    if (auto* lpMaps = Control<QTreeWidget>(sheet.Tabs()->widget(nTab), id::kMapList)) {
      lpMaps->setCurrentItem(lpMaps->topLevelItem(0));
    }
    bOk = Save(&sheet, dir, FileName(nTab + 1, sheet.Tabs()->tabText(nTab))) && bOk;
  }
  QWidget* lpHttp = sheet.Tabs()->widget(3);
  Button(lpHttp, id::kCacheSettings)->click();
  bOk = Save(lpHttp->findChild<QDialog*>(), dir, QStringLiteral("11-cache-settings.png")) && bOk;
  QWidget* lpSocks = sheet.Tabs()->widget(6);
  Button(lpSocks, id::kUsersSets)->click();
  bOk = Save(lpSocks->findChild<QDialog*>(), dir, QStringLiteral("12-socks-users.png")) && bOk;
  return bOk ? 0 : 1;
}
