// An observer of one direction of a relay: it sees every byte read from that side, in order,
// before the bytes go on (the HTTP proxy watches a response and copies it into the cache).
#pragma once

#include <cstddef>

namespace harbix {

class ByteTap {
 public:
  virtual ~ByteTap() = default;
  virtual void OnBytes(const char* lpData, size_t cbData) = 0;
  // The side's stream is over: bComplete when it ended cleanly, false when it broke.
  virtual void OnEnd(bool /*bComplete*/) {}
};

}  // namespace harbix
