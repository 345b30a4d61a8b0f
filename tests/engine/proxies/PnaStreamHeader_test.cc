#include "engine/proxies/PnaStreamHeader.h"

#include <gtest/gtest.h>

#include <string>

namespace harbix {
namespace {

std::string U16(uint16_t w) { return std::string{char(w >> 8), char(w & 0xFF)}; }
std::string Chunk(uint16_t wType, const std::string& sValue) { return U16(wType) + U16(uint16_t(sValue.size())) + sValue; }
// A stream header: the magic, two bytes of version, then its chunks from offset 5.
std::string StreamHeader(const std::string& sChunks) { return "PNA" + U16(10) + sChunks; }

TEST(PnaClientPortsTest, BothPortsAreFoundWhereverTheyStand) {
  const std::string sChunks = Chunk(1, "abc") + Chunk(7, U16(6000)) + Chunk(7, U16(6001));
  struct Case {
    const char* lpName;
    std::string sStream;
    size_t nOffset;
    std::optional<size_t> nFirstAt;   // none: no ports at all
    uint16_t wFirst;
    std::optional<size_t> nSecondAt;
    uint16_t wSecond;
  } cases[] = {
      {"port, then the stream header", U16(5000) + StreamHeader(sChunks), 0, 0, 5000, 2 + 5 + 7 + 4, 6000},
      {"stream header before the port", StreamHeader(sChunks) + U16(5000), 5 + 7 + 6 + 6, 24, 5000, 5 + 7 + 4, 6000},
      {"no stream header", U16(5000) + "GET / HTTP/1.0", 0, 0, 5000, std::nullopt, 0},
      {"a stream header too short", U16(5000) + "PNA" + U16(10) + "abc", 0, 0, 5000, std::nullopt, 0},
      {"a port chunk of another length", U16(5000) + StreamHeader(Chunk(7, "abc") + Chunk(7, U16(6002))), 0, 0, 5000,
       2 + 5 + 7 + 4, 6002},
      {"the chunk cut off", U16(5000) + StreamHeader(Chunk(1, "abc") + U16(7) + U16(2) + "x"), 0, 0, 5000, std::nullopt, 0},
      {"a chunk that claims more than came", U16(5000) + StreamHeader(Chunk(1, "abc").substr(0, 4) + Chunk(7, U16(6000))), 0, 0,
       5000, std::nullopt, 0},
      // The magic's bytes are the first port's: the stream header is not found across them.
      {"across the first port", "P" + U16(0x4E41) + U16(10) + Chunk(7, U16(6000)), 1, 1, 0x4E41, std::nullopt, 0},
      {"the port has not come", U16(5000).substr(0, 1), 0, std::nullopt, 0, std::nullopt, 0},
      {"the offset lies past the data", U16(5000), 1, std::nullopt, 0, std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    const std::optional<pna::ClientUdpPorts> ports = pna::FindClientUdpPorts(c.sStream, c.nOffset);
    ASSERT_EQ(ports.has_value(), c.nFirstAt.has_value());
    if (!ports) continue;
    EXPECT_EQ(ports->m_nFirstAt, *c.nFirstAt);
    EXPECT_EQ(ports->m_wFirst, c.wFirst);
    EXPECT_EQ(ports->m_nSecondAt, c.nSecondAt);
    EXPECT_EQ(ports->m_wSecond, c.wSecond);
  }
}

TEST(PnaClientPortsTest, SubstitutedPortsAreFoundAgain) {
  std::string sStream = U16(5000) + StreamHeader(Chunk(7, U16(6000))) + "rest";
  const std::optional<pna::ClientUdpPorts> ports = pna::FindClientUdpPorts(sStream, 0);
  ASSERT_TRUE(ports && ports->m_nSecondAt);
  pna::PutPort(sStream, ports->m_nFirstAt, 40001);
  pna::PutPort(sStream, *ports->m_nSecondAt, 40002);
  EXPECT_EQ(sStream, U16(40001) + StreamHeader(Chunk(7, U16(40002))) + "rest");
}

TEST(PnaServerAnswerTest, OnlyAnAnswerOfItsShapeNamesTheSecondPort) {
  const std::string sAnswer = "PNA" + std::string(6, 'x') + "O" + U16(8) + U16(7) + U16(7070);
  ASSERT_EQ(sAnswer.size(), pna::kServerAnswerHead);
  EXPECT_EQ(pna::ServerSecondUdpPort(sAnswer), 7070);
  EXPECT_EQ(pna::ServerSecondUdpPort(sAnswer + "more"), 7070);
  std::string sWrongTag = sAnswer;
  sWrongTag[9] = 'o';
  std::string sWrongCode = sAnswer;
  sWrongCode[13] = 8;
  for (const std::string& s : {sAnswer.substr(0, 15), sWrongTag, sWrongCode, "pna" + sAnswer.substr(3), std::string()}) {
    EXPECT_FALSE(pna::ServerSecondUdpPort(s)) << s.size();
  }
}

}  // namespace
}  // namespace harbix
