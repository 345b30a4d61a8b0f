// HTTP dates both ways: reading the three forms servers and clients send, and writing the one
// form this system sends. Times are seconds since 1970-01-01 00:00 UTC; -1 is none.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace harbix {

class HttpDate {
 public:
  // "Sun, 06 Nov 1994 08:49:37 GMT", "Sunday, 06-Nov-94 08:49:37 GMT" or
  // "Sun Nov  6 08:49:37 1994", read leniently as scanf reads them (the weekday and the "GMT"
  // are not checked); -1 when none of them reads, when the month is unknown, or when the time
  // does not fit in a non-negative signed 32-bit number.
  static int32_t Parse(std::string_view sText);
  // "%a, %d %b %Y %H:%M:%S GMT", with English names whatever the locale.
  static std::string Format(int64_t nSeconds);
};

}  // namespace harbix
