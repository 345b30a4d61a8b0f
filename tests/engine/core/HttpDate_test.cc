#include "engine/core/HttpDate.h"

#include <gtest/gtest.h>

namespace harbix {
namespace {

TEST(HttpDateTest, TheThreeFormsAndWhatIsNoDate) {
  struct Case {
    const char* lpText;
    int32_t nSeconds;
  } cases[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},
      {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
      {"Sun Nov  6 08:49:37 1994", 784111777},
      {"Sun, 06 nov 1994 08:49:37 UTC", 784111777},   // the month in any case; the zone is not read
      {"Xyz, 06 Nov 1994 08:49:37", 784111777},       // nor the weekday
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Tue, 19 Jan 2038 03:14:07 GMT", 2147483647},
      {"Tue, 19 Jan 2038 03:14:08 GMT", -1},          // beyond 32 bits
      {"Wed, 31 Dec 1969 23:59:59 GMT", -1},
      {"Sun, 06 Foo 1994 08:49:37 GMT", -1},
      {"Sun, 06 Nov 1994 08:49 GMT", -1},
      {"0", -1},
      {"", -1},
  };
  for (const Case& c : cases) EXPECT_EQ(HttpDate::Parse(c.lpText), c.nSeconds) << c.lpText;
}

TEST(HttpDateTest, Formats) {
  EXPECT_EQ(HttpDate::Format(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
  EXPECT_EQ(HttpDate::Format(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(HttpDate::Parse(HttpDate::Format(1765372800)), 1765372800);
}

}  // namespace
}  // namespace harbix
