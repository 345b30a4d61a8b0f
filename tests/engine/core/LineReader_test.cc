#include "engine/core/LineReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace harbix {
namespace {

std::vector<std::string> Drain(LineReader& reader) {
  std::vector<std::string> vLines;
  std::string sLine;
  while (reader.Next(&sLine)) vLines.push_back(sLine);
  return vLines;
}

TEST(LineReaderTest, LinesAreCutAtLineFeedsWhateverThePieces) {
  const std::string sText = "USER a@b\r\nPASS x\n\nLIST -la\r\nunfinished";
  for (size_t cbPiece : {1u, 3u, 7u, 1000u}) {
    SCOPED_TRACE(cbPiece);
    LineReader reader(64);
    std::vector<std::string> vLines;
    for (size_t n = 0; n < sText.size(); n += cbPiece) {
      ASSERT_TRUE(reader.Take(std::string_view(sText).substr(n, cbPiece)));
      for (std::string& sLine : Drain(reader)) vLines.push_back(sLine);
    }
    EXPECT_EQ(vLines, (std::vector<std::string>{"USER a@b\r", "PASS x", "", "LIST -la\r"}));
    EXPECT_EQ(reader.Buffered(), 10u);  // "unfinished" waits for its line feed
  }
}

TEST(LineReaderTest, ALineLongerThanTheCapIsRefusedWhetherOrNotItEnded) {
  struct Case {
    std::string sInput;
    bool bAccepted;
  } cases[] = {
      {std::string(16, 'a'), true},                 // exactly the cap, unfinished
      {std::string(16, 'a') + "\n", true},          // exactly the cap, complete
      {std::string(17, 'a'), false},                // one past, unfinished
      {"ok\n" + std::string(17, 'b') + "\nok\n", false},
      {std::string(10, 'c') + "\n" + std::string(16, 'd') + "\n", true},  // the cap is per line
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sInput);
    LineReader reader(16);
    EXPECT_EQ(reader.Take(c.sInput), c.bAccepted);
    EXPECT_EQ(reader.TooLong(), !c.bAccepted);
    if (!c.bAccepted) {
      EXPECT_FALSE(reader.Take("more\n"));
    }
  }
}

TEST(LineReaderTest, AManyLineExchangeKeepsTheBufferSmall) {
  LineReader reader(64);
  std::string sLine;
  for (int i = 0; i < 100000; ++i) {
    ASSERT_TRUE(reader.Take("NOOP " + std::to_string(i) + "\nNO"));
    ASSERT_TRUE(reader.Next(&sLine));
    EXPECT_EQ(sLine, "NOOP " + std::to_string(i));
    ASSERT_TRUE(reader.Take("OP\n"));
    ASSERT_TRUE(reader.Next(&sLine));
    EXPECT_EQ(sLine, "NOOP");
    EXPECT_LE(reader.Buffered(), 64u);
  }
}

}  // namespace
}  // namespace harbix
