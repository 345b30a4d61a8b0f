// harbixmg: the host of libharbixmg.so, which it loads from its own directory.
//
//   harbixmg                    the control panel: shows the "Harbix Proxy Manager" sheet
//   harbixmg TaskBarIcon [ARGS]  the RunDLL32 host: runs the taskbar icon (ARGS e.g. /CLOSE)
//
// Exit status: 0 done, 1 the library or its entry points cannot be loaded.
#include <dlfcn.h>
#include <strings.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "manager/Applet.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitNoLibrary = 1;
constexpr int kShowNormal = 1;

std::string OwnDirectory() {
  char szPath[PATH_MAX];
  const ssize_t cbPath = ::readlink("/proc/self/exe", szPath, sizeof szPath - 1);
  if (cbPath <= 0) return ".";
  const std::string sPath(szPath, static_cast<size_t>(cbPath));
  return sPath.substr(0, sPath.rfind('/'));
}

template <typename Proc>
Proc Entry(void* lpLibrary, const char* lpName) {
  return reinterpret_cast<Proc>(::dlsym(lpLibrary, lpName));
}

int RunControlPanel(void* lpLibrary) {
  const auto lpApplet = Entry<CPlAppletProc>(lpLibrary, "CPlApplet");
  if (!lpApplet) return kExitNoLibrary;
  if (lpApplet(nullptr, CPL_INIT, 0, 0) == 0) return kExitNoLibrary;
  const int32_t nItems = lpApplet(nullptr, CPL_GETCOUNT, 0, 0);
  for (int32_t nItem = 0; nItem < nItems; ++nItem) {
    NEWCPLINFO info{};
    lpApplet(nullptr, CPL_NEWINQUIRE, nItem, reinterpret_cast<intptr_t>(&info));
  }
  if (nItems > 0) lpApplet(nullptr, CPL_DBLCLK, 0, 0);
  lpApplet(nullptr, CPL_EXIT, 0, 0);
  return kExitOk;
}

int RunTaskBarIcon(void* lpLibrary, int argc, char** argv) {
  const auto lpIcon = Entry<TaskBarIconProc>(lpLibrary, "TaskBarIcon");
  if (!lpIcon) return kExitNoLibrary;
  std::string sCommandLine;
  for (int n = 2; n < argc; ++n) {
    if (n > 2) sCommandLine += ' ';
    sCommandLine += argv[n];
  }
  lpIcon(nullptr, lpLibrary, sCommandLine.c_str(), kShowNormal);
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string sLibrary = OwnDirectory() + "/libharbixmg.so";
  void* lpLibrary = ::dlopen(sLibrary.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!lpLibrary) {
    std::fprintf(stderr, "harbixmg: %s\n", ::dlerror());
    return kExitNoLibrary;
  }
  if (argc >= 2 && ::strcasecmp(argv[1], "TaskBarIcon") == 0) return RunTaskBarIcon(lpLibrary, argc, argv);
  return RunControlPanel(lpLibrary);
}
