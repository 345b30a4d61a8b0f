#include "common/StatusText.h"

#include <gtest/gtest.h>

namespace harbix {
namespace {

TEST(StatusTextTest, ByteCounts) {
  struct Case {
    uint64_t qwBytes;
    const char* lpText;
  } cases[] = {
      {0, "Total Sent Bytes: 0 Bytes"},
      {1023, "Total Sent Bytes: 1023 Bytes"},
      {1024, "Total Sent Bytes: 1.00 KB"},
      {1536, "Total Sent Bytes: 1.50 KB"},
      {1048575, "Total Sent Bytes: 1023.99 KB"},
      {1048576, "Total Sent Bytes: 1.00 MB"},
      {1024ull * 1024 * 1024 - 1, "Total Sent Bytes: 1023.99 MB"},
      {5ull << 30, "Total Sent Bytes: 5.00 GB"},
      {(3ull << 40) + (1ull << 39), "Total Sent Bytes: 3.50 TB"},
      {~0ull, "Total Sent Bytes: 16777215.99 TB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.qwBytes);
    EXPECT_EQ(FormatSentBytes(c.qwBytes), c.lpText);
  }
  EXPECT_EQ(FormatReceivedBytes(1536), "Total Received Bytes: 1.50 KB");
  EXPECT_EQ(FormatActiveConnections(3), "Total Active Connections: 3");
}

TEST(StatusTextTest, StatesAndRows) {
  EXPECT_EQ(StatusText(0), "Shut Down");
  EXPECT_EQ(StatusText(1), "Running OK");
  EXPECT_EQ(StatusText(252), "PRB: Unable to map Dest Host");
  EXPECT_EQ(StatusText(253), "PRB: IP/Port Already Used");
  EXPECT_EQ(StatusText(254), "PRB: Memory Error");
  EXPECT_EQ(StatusText(7), "");
  EXPECT_STREQ(ServiceRows()[6].m_lpName, "TELNET");
  EXPECT_STREQ(ServiceRows()[5].m_lpDescription, "FireWall Server");
  EXPECT_EQ(MapRowName(0, 5000), "ANY_ADDRESS:5000");
  EXPECT_EQ(MapRowName(0x0101A8C0, 53), "192.168.1.1:53");
}

}  // namespace
}  // namespace harbix
