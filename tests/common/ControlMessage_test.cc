#include "common/ControlMessage.h"

#include <gtest/gtest.h>

namespace harbix::control {
namespace {

TEST(ControlMessageTest, ValidityRules) {
  struct Case {
    const char* lpWhy;
    std::string sBinary;
    bool bValid;
  } cases[] = {
      {"hello", std::string("\x01\xFE\0\0\0\0", 6), true},
      {"payload as long as said", std::string("\x01\x00\x04\0\0\0abcd", 10), true},
      {"five bytes", std::string("\x01\xFE\0\0\0", 5), false},
      {"version 2", std::string("\x02\xFE\0\0\0\0", 6), false},
      {"payload longer than said", std::string("\x01\xFE\0\0\0\0x", 7), false},
      {"payload shorter than said", std::string("\x01\x00\x04\0\0\0abc", 9), false},
      {"a length near 2^32", std::string("\x01\x00\xFA\xFF\xFF\xFF", 6), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpWhy);
    EXPECT_EQ(Parse(c.sBinary).has_value(), c.bValid);
  }
  std::optional<ControlMessage> message = DecodeDatagram(EncodeDatagram(ControlMessage{0x26, "cook"}));
  ASSERT_TRUE(message);
  EXPECT_EQ(message->m_bType, 0x26);
  EXPECT_EQ(message->m_sPayload, "cook");
}

TEST(ControlMessageTest, EngineStatusRoundTrip) {
  EngineStatus status;
  status.m_totals = Totals{3, 1ull << 40, 12345};
  status.m_nTotalConnections = 99;
  status.m_abServices = {1, 0, 253, 1, 254, 0, 1};
  status.m_vMaps = {{0x0100007F, 5000, 1}, {0, 53, 252}, {0x0200000A, 8080, 1}};
  const std::string sPayload = BuildEngineStatus(status);
  EXPECT_EQ(sPayload.size(), 62u);
  std::optional<EngineStatus> parsed = ParseEngineStatus(sPayload);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->m_totals.m_qwSent, 1ull << 40);
  EXPECT_EQ(parsed->m_nTotalConnections, 99);
  EXPECT_EQ(parsed->m_abServices, status.m_abServices);
  ASSERT_EQ(parsed->m_vMaps.size(), 3u);
  EXPECT_EQ(parsed->m_vMaps[2].m_dwBindIp, 0x0200000Au);
  EXPECT_EQ(parsed->m_vMaps[2].m_wBindPort, 8080);
  EXPECT_EQ(parsed->m_vMaps[1].m_bStatus, 252);
  EXPECT_FALSE(ParseEngineStatus(sPayload.substr(0, 37)));
}

TEST(ControlMessageTest, AllStatusListsAtMostWhatFitsADatagram) {
  EngineStatus status;
  status.m_vMaps.resize(500);
  const std::string sWire = EncodeDatagram(ControlMessage{0x80, BuildEngineStatus(status)});
  EXPECT_LE(sWire.size(), kMaxDatagram);
  EXPECT_EQ(ParseEngineStatus(DecodeDatagram(sWire)->m_sPayload)->m_vMaps.size(), kMaxListedMaps);
}

}  // namespace
}  // namespace harbix::control
