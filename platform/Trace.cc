#include "platform/Trace.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace harbix {

bool TraceEnabled() {
  static const bool bEnabled = [] {
    const char* lpValue = std::getenv("HARBIX_TRACE");
    return lpValue && std::strcmp(lpValue, "1") == 0;
  }();
  return bEnabled;
}

void Trace(const char* lpFormat, ...) {
  if (!TraceEnabled()) return;
  char szLine[1024];
  va_list args;
  va_start(args, lpFormat);
  const int nFormatted = std::vsnprintf(szLine, sizeof szLine - 1, lpFormat, args);
  va_end(args);
  if (nFormatted < 0) return;
  size_t cbLine = std::strlen(szLine);  // a longer text was cut
  if (cbLine == 0 || szLine[cbLine - 1] != '\n') szLine[cbLine++] = '\n';
  [[maybe_unused]] const ssize_t nWritten = ::write(STDERR_FILENO, szLine, cbLine);
}

}  // namespace harbix
