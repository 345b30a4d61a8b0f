#include "manager/Applet.h"

#include <QApplication>

#include <clocale>
#include <cstring>
#include <memory>

#include "manager/AppletModule.h"
#include "manager/Environment.h"
#include "manager/LockNames.h"
#include "manager/PropertySheet.h"
#include "platform/NamedLock.h"

namespace {

using namespace harbix;
using namespace harbix::manager;

constexpr int32_t kOneItem = 1;
constexpr uint32_t kItemHelpContext = 1024;
constexpr uint32_t kAppletIcon = 101;
constexpr const char* kItemName = "Harbix Proxy Manager";
constexpr const char* kItemInfo = "Change Harbix Proxy Settings";
constexpr const char* kHelpFile = "HARBIX.HLP";

// Dates are written with English day and month names whatever the user's locale.
void UseEnglishLocale() { std::setlocale(LC_ALL, "C.UTF-8"); }

void CopyText(char* lpTarget, size_t cbTarget, const char* lpText) {
  std::strncpy(lpTarget, lpText, cbTarget - 1);
  lpTarget[cbTarget - 1] = '\0';
}

void Describe(NEWCPLINFO* lpInfo) {
  std::memset(lpInfo, 0, sizeof *lpInfo);
  lpInfo->dwSize = sizeof *lpInfo;
  lpInfo->dwHelpContext = kItemHelpContext;
  lpInfo->hIcon = kAppletIcon;
  CopyText(lpInfo->szName, sizeof lpInfo->szName, kItemName);
  CopyText(lpInfo->szInfo, sizeof lpInfo->szInfo, kItemInfo);
  CopyText(lpInfo->szHelpFile, sizeof lpInfo->szHelpFile, kHelpFile);
}

// Only one sheet runs in the whole system: while one is open, another request shows nothing.
void OpenPropertySheet() {
  NamedLock sheetLock;
  if (!sheetLock.Acquire(kSheetLock)) return;
  static int nArgc = 1;
  static char szName[] = "harbixmg";
  static char* aArgv[] = {szName, nullptr};
  std::unique_ptr<QApplication> lpApplication;
  if (!QApplication::instance()) {
    lpApplication = std::make_unique<QApplication>(nArgc, aArgv);
    UseEnglishLocale();  // QApplication takes the user's locale
  }
  const Environment environment = SystemEnvironment();
  PropertySheet sheet(environment);
  sheet.exec();
}

}  // namespace

extern "C" int32_t CPlApplet(void* /*hwndCPl*/, uint32_t uMsg, intptr_t /*lParam1*/, intptr_t lParam2) {
  switch (uMsg) {
    case CPL_INIT:
      if (!ModuleDirectory()) return 0;
      UseEnglishLocale();
      return 1;
    case CPL_GETCOUNT:
      return kOneItem;
    case CPL_NEWINQUIRE:
      if (lParam2) Describe(reinterpret_cast<NEWCPLINFO*>(lParam2));
      return 0;
    case CPL_DBLCLK:
      OpenPropertySheet();
      return 0;
    default:
      return 0;
  }
}

extern "C" void TaskBarIcon(void* /*hwnd*/, void* /*hInstance*/, const char* /*lpszCmdLine*/, int /*nCmdShow*/) {
  // The notification-area icon comes with the engine's live state; until then the entry point
  // is there for its host and returns at once.
}
