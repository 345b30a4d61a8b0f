#include "engine/relay/DnsMessage.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "tests/engine/relay/DnsTestMessages.h"

namespace harbix {
namespace {

using test::DnsHeader;
using test::DnsQuery;
using test::U16;
using test::WireName;

// A header of 12 bytes, then the bytes given, read as a name from offset nStart.
struct NameCase {
  const char* lpWhat;
  std::string sBody;
  size_t nStart;
  std::optional<std::string> sName;  // nothing: unreadable
  size_t nEnd;                       // where reading goes on
};

TEST(DnsMessageTest, NamesAreReadWithinTheirBoundsAndPointersOnlyGoBack) {
  const std::string sLong63(63, 'a');
  const std::string sFourLongLabels = sLong63 + "." + sLong63 + "." + sLong63 + "." + sLong63;  // 255 characters
  std::string sChain = WireName("x");  // at 12; then 33 pointers, each to the one before it
  for (int i = 0; i < 33; ++i) sChain += U16(static_cast<uint16_t>(0xC000 | (i == 0 ? 12 : 12 + 3 + 2 * (i - 1))));
  const NameCase cases[] = {
      {"plain", WireName("www.example.test"), 12, "www.example.test", 12 + 18},
      {"pointer back", WireName("example.test") + "\3www" + U16(0xC00C), 26, "www.example.test", 26 + 6},
      {"pointer to itself", U16(0xC00C), 12, std::nullopt, 0},
      {"pointer forward", U16(0xC00E) + WireName("a"), 12, std::nullopt, 0},
      {"pointer into the header", U16(0xC002), 12, std::nullopt, 0},
      {"reserved label kind", std::string("\x41") + std::string(65, 'a') + '\0', 12, std::nullopt, 0},
      {"label past the end", "\5abc", 12, std::nullopt, 0},
      {"no terminator", "\3abc", 12, std::nullopt, 0},
      {"half a pointer", "\xC0", 12, std::nullopt, 0},
      {"255 characters", WireName(sFourLongLabels), 12, sFourLongLabels, 12 + 257},
      {"256 characters", WireName(sLong63 + "." + sLong63 + "." + sLong63 + "." + std::string(62, 'a') + ".a"), 12, std::nullopt, 0},
      {"32 pointers", sChain.substr(0, 3 + 2 * 32), 12 + 3 + 2 * 31, "x", 12 + 3 + 2 * 32},
      {"33 pointers", sChain, 12 + 3 + 2 * 32, std::nullopt, 0},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.lpWhat);
    const std::string sMessage = DnsHeader(0x0100, {1, 0, 0, 0}) + c.sBody;
    size_t nPos = c.nStart;
    const std::optional<dns::Name> name = dns::ReadName(sMessage, &nPos);
    ASSERT_EQ(name.has_value(), c.sName.has_value());
    if (!name) continue;
    EXPECT_EQ(dns::NameText(*name), *c.sName);
    EXPECT_EQ(nPos, c.nEnd);
  }
}

TEST(DnsMessageTest, QuestionsRememberEveryNameSuffixWhereItStarts) {
  // The second question's name is "mail" and a pointer to the first one's "example.test".
  const std::string sMessage = DnsHeader(0x0100, {2, 0, 0, 0}) + WireName("www.Example.test") + U16(1) + U16(1) +
                               "\4mail" + U16(0xC010) + U16(12) + U16(1) + "trailing";
  const std::optional<dns::QuestionSection> section = dns::ReadQuestions(sMessage);
  ASSERT_TRUE(section);
  ASSERT_EQ(section->m_vQuestions.size(), 2u);
  EXPECT_EQ(dns::NameText(section->m_vQuestions[1].m_name), "mail.Example.test");
  EXPECT_EQ(section->m_vQuestions[1].m_wType, dns::kTypePtr);
  EXPECT_EQ(section->m_nEnd, sMessage.size() - 8);
  std::map<std::string, size_t> suffixes;
  for (const dns::NameSuffix& suffix : section->m_vSuffixes) suffixes.emplace(suffix.m_sKey, suffix.m_nOffset);
  EXPECT_EQ(suffixes.at(dns::NameKey({"WWW", "example", "TEST"})), 12u);
  EXPECT_EQ(suffixes.at(dns::NameKey({"example", "test"})), 16u);
  EXPECT_EQ(suffixes.at(dns::NameKey({"test"})), 24u);
  EXPECT_EQ(suffixes.at(dns::NameKey({"mail", "example", "test"})), 34u);

  // Fewer questions than counted, an empty name, a question cut inside its type.
  for (const std::string& sBad : {DnsHeader(0x0100, {2, 0, 0, 0}) + WireName("a") + U16(1) + U16(1),
                                  DnsHeader(0x0100, {1, 0, 0, 0}) + std::string(1, '\0') + U16(1) + U16(1),
                                  DnsHeader(0x0100, {1, 0, 0, 0}) + WireName("a") + U16(1)}) {
    EXPECT_FALSE(dns::ReadQuestions(sBad));
  }
}

TEST(DnsMessageTest, ErrorRepliesSendTheRequestBackWithTheCode) {
  // ID, opcode 2, AA, RD and a Z bit set in the request.
  std::string sRequest = DnsQuery({{"a.test", 1}}, 0x1500 | 0x0040);
  const std::string sReply = dns::ErrorReply(sRequest, dns::kNotImplemented);
  EXPECT_EQ(sReply.substr(0, 2), sRequest.substr(0, 2));
  EXPECT_EQ(static_cast<uint8_t>(sReply[2]), 0x80 | 0x11);  // QR, opcode 2 and RD kept, AA cleared
  EXPECT_EQ(static_cast<uint8_t>(sReply[3]), 0x80 | 0x40 | 4);
  EXPECT_EQ(sReply.substr(4), sRequest.substr(4));

  sRequest += std::string(600, 'x');
  const std::string sCut = dns::ErrorReply(sRequest, dns::kFormatError);
  EXPECT_EQ(sCut.size(), dns::kMaxReply);
  EXPECT_EQ(static_cast<uint8_t>(sCut[2]) & 0x02, 0x02);
}

TEST(DnsMessageTest, ReverseNamesGiveTheirAddress) {
  const std::pair<const char*, std::optional<const char*>> cases[] = {
      {"1.0.0.127.in-addr.arpa", "127.0.0.1"},  {"4.3.2.10.IN-ADDR.ARPA", "10.2.3.4"},
      {"255.0.0.0.In-Addr.Arpa.", "0.0.0.255"}, {"256.0.0.127.in-addr.arpa", std::nullopt},
      {"0.0.127.in-addr.arpa", std::nullopt},   {"a.0.0.127.in-addr.arpa", std::nullopt},
      {"0001.0.0.127.in-addr.arpa", std::nullopt}, {"1.0.0.127.ip6.arpa", std::nullopt},
      {"1.0.0.127.in-addr.arpa.com", std::nullopt},
  };
  for (const auto& [lpName, lpAddress] : cases) {
    SCOPED_TRACE(lpName);
    const std::optional<uint32_t> dwIp = dns::ReverseLookupAddress(*dns::NameFromText(lpName));
    ASSERT_EQ(dwIp.has_value(), lpAddress.has_value());
    if (dwIp) {
      EXPECT_EQ(*dwIp, ::inet_addr(*lpAddress));
    }
  }
}

TEST(DnsMessageTest, ResolverNamesBecomeLabelsOnlyWhenTheyCanBeWritten) {
  EXPECT_EQ(dns::NameFromText("host.example."), (dns::Name{"host", "example"}));
  for (const std::string& sBad : {std::string(), std::string("."), std::string("a..b"), std::string(64, 'a'),
                                  std::string(".a"), std::string(200, 'a') + "." + std::string(60, 'b')}) {
    EXPECT_FALSE(dns::NameFromText(sBad)) << sBad;
  }
}

}  // namespace
}  // namespace harbix
