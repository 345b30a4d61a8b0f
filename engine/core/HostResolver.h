// Host name lookups that never hold up a session's thread: dotted addresses are answered at
// once, names are looked up on a small pool of worker threads and the answer is posted to the
// asking window. A window that is gone by then simply never sees it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Messages.h"

namespace harbix {

class HostResolver {
 public:
  // Lookups waiting for a worker beyond this are refused at once (answered as failed).
  static constexpr size_t kMaxPending = 256;
  static constexpr size_t kMaxWorkers = 4;

  // The answer arrives as WM_HOST_RESOLVED with wParam = nRequest and lParam = the address
  // (network order), or kFailed.
  static constexpr intptr_t kFailed = -1;
  static void Resolve(const std::string& sHost, Hwnd hwnd, uintptr_t nRequest);

  // "a.b.c.d" with four decimal numbers 0..255.
  static std::optional<uint32_t> ParseDotted(const std::string& sHost);
  // The blocking lookup the workers run: the first IPv4 address of the name.
  static std::optional<uint32_t> LookupNow(const std::string& sHost);
};

}  // namespace harbix
