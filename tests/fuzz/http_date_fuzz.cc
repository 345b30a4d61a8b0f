// An HTTP date as clients and servers write them (or not): whatever reads is a time this system
// can write back, and reading that gives the same time.
#include <cstdlib>

#include "engine/core/HttpDate.h"

using namespace harbix;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData) {
  const int32_t nSeconds = HttpDate::Parse(std::string_view(reinterpret_cast<const char*>(lpData), cbData));
  if (nSeconds < -1) std::abort();
  if (nSeconds >= 0 && HttpDate::Parse(HttpDate::Format(nSeconds)) != nSeconds) std::abort();
  return 0;
}
