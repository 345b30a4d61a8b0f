// The entry points of libharbixmg.so: the control-panel applet (CPlApplet) and the taskbar
// icon (TaskBarIcon), both with C linkage so that their hosts find them by name.
#pragma once

#include <cstdint>

extern "C" {

// Control-panel messages.
inline constexpr uint32_t CPL_INIT = 1;
inline constexpr uint32_t CPL_GETCOUNT = 2;
inline constexpr uint32_t CPL_DBLCLK = 5;
inline constexpr uint32_t CPL_EXIT = 7;
inline constexpr uint32_t CPL_NEWINQUIRE = 8;

// The description of one applet item, laid out as the control panel expects (244 bytes).
struct NEWCPLINFO {
  uint32_t dwSize;
  uint32_t dwFlags;
  uint32_t dwHelpContext;
  int32_t lData;
  uint32_t hIcon;  // the icon's resource number
  char szName[32];
  char szInfo[64];
  char szHelpFile[128];
};
static_assert(sizeof(NEWCPLINFO) == 244);

using CPlAppletProc = int32_t (*)(void* hwndCPl, uint32_t uMsg, intptr_t lParam1, intptr_t lParam2);
using TaskBarIconProc = void (*)(void* hwnd, void* hInstance, const char* lpszCmdLine, int nCmdShow);

__attribute__((visibility("default"))) int32_t CPlApplet(void* hwndCPl, uint32_t uMsg, intptr_t lParam1, intptr_t lParam2);
__attribute__((visibility("default"))) void TaskBarIcon(void* hwnd, void* hInstance, const char* lpszCmdLine, int nCmdShow);
}
