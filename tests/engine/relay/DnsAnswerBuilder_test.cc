#include "engine/relay/DnsAnswerBuilder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "tests/engine/relay/DnsTestMessages.h"

namespace harbix {
namespace {

using test::DnsQuery;
using test::ParsedRecord;
using test::ParseReply;

std::string Address(const char* lpDotted) {
  const uint32_t dwIp = ::inet_addr(lpDotted);
  return std::string(reinterpret_cast<const char*>(&dwIp), sizeof dwIp);
}

dns::NameServers Servers() { return {{{"ns1", "office", "lan"}, {"ns2", "office", "lan"}}, ::inet_addr("10.0.0.53")}; }

// The reply to a request, with the hosts the resolver gave for its questions.
std::optional<std::string> Answer(const std::string& sRequest, const dns::HostAnswers& vHosts) {
  std::string sAnswered = sRequest;
  dns::CutToReplyLimit(sAnswered);
  const std::optional<dns::QuestionSection> section = dns::ReadQuestions(sAnswered);
  EXPECT_TRUE(section);
  return dns::AnswerBuilder(sAnswered, *section).Build(vHosts, Servers());
}

std::vector<std::pair<std::string, std::string>> OwnersAndData(const std::vector<ParsedRecord>& vRecords) {
  std::vector<std::pair<std::string, std::string>> v;
  for (const ParsedRecord& record : vRecords) v.emplace_back(record.m_sOwner, record.m_sData);
  return v;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(DnsAnswerBuilderTest, AnAddressOfTheOfficialNameComesWithTheNameServers) {
  const std::string sRequest = DnsQuery({{"WWW.example.test", dns::kTypeA}});
  const std::optional<std::string> sReply = Answer(sRequest, {{"www.example.test", {"web.example.test"}, {::inet_addr("192.0.2.1"), ::inet_addr("192.0.2.2")}}});
  ASSERT_TRUE(sReply);
  EXPECT_EQ(sReply->substr(0, 2), sRequest.substr(0, 2));
  EXPECT_EQ(static_cast<uint8_t>((*sReply)[2]), 0x80 | 0x04 | 0x01);  // QR, AA, RD kept
  EXPECT_EQ(static_cast<uint8_t>((*sReply)[3]), 0);
  EXPECT_EQ(sReply->substr(12, sRequest.size() - 12), sRequest.substr(12));
  const test::ParsedReply reply = ParseReply(*sReply);
  EXPECT_EQ(OwnersAndData(reply.m_vAnswers), (Pairs{{"WWW.example.test", Address("192.0.2.1")}, {"WWW.example.test", Address("192.0.2.2")}}));
  EXPECT_EQ(OwnersAndData(reply.m_vAuthority), (Pairs{{"WWW.example.test", "ns1.office.lan"}, {"WWW.example.test", "ns2.office.lan"}}));
  EXPECT_EQ(OwnersAndData(reply.m_vAdditional), (Pairs{{"ns1.office.lan", Address("10.0.0.53")}, {"ns2.office.lan", Address("10.0.0.53")}}));
  for (const auto* lpSection : {&reply.m_vAnswers, &reply.m_vAuthority, &reply.m_vAdditional}) {
    for (const ParsedRecord& record : *lpSection) {
      EXPECT_EQ(record.m_wClass, dns::kClassIn);
      EXPECT_EQ(record.m_dwTtl, dns::kRecordTtl);
    }
  }
  // The owners point at the question; the second server's name shares "office.lan" with the first.
  EXPECT_EQ(sReply->substr(sRequest.size(), 2), "\xC0\x0C");
  EXPECT_EQ(sReply->size(), sRequest.size() + 2 * 16 + (12 + 16) + (12 + 6) + 2 * 16);
}

TEST(DnsAnswerBuilderTest, AliasesMakeACnameChainAndReverseNamesComeFirst) {
  const std::string sRequest = DnsQuery({{"alias1.test", dns::kTypeA}, {"9.0.0.127.in-addr.arpa", dns::kTypePtr}});
  const HostEntry host{"host.test", {"alias1.test", "alias2.test", "HOST.test", "alias3.test"}, {::inet_addr("127.0.0.9")}};
  const std::optional<std::string> sReply = Answer(sRequest, {host, host});
  ASSERT_TRUE(sReply);
  const test::ParsedReply reply = ParseReply(*sReply);
  EXPECT_EQ(OwnersAndData(reply.m_vAnswers), (Pairs{
      {"9.0.0.127.in-addr.arpa", "host.test"},
      // A: from the asked name through the other aliases to the official name.
      {"alias1.test", "alias2.test"}, {"alias2.test", "alias3.test"}, {"alias3.test", "host.test"},
      // PTR: every alias of the host but the official name itself.
      {"alias1.test", "host.test"}, {"alias2.test", "host.test"}, {"alias3.test", "host.test"},
      {"host.test", Address("127.0.0.9")}, {"host.test", Address("127.0.0.9")}}));
  EXPECT_EQ(reply.m_vAuthority.size(), 4u);
  EXPECT_EQ(reply.m_vAdditional.size(), 2u);
}

TEST(DnsAnswerBuilderTest, WhatFollowsTheQuestionsIsCarriedAndCounted) {
  // An EDNS OPT record in the additional section, as dig sends it.
  const std::string sOpt = std::string(1, '\0') + test::U16(41) + test::U16(1232) + std::string(4, '\0') + test::U16(0);
  std::string sRequest = DnsQuery({{"localhost", dns::kTypeA}}) + sOpt;
  dns::SetCountAt(sRequest, 3, 1);
  const std::optional<std::string> sReply = Answer(sRequest, {{"localhost", {}, {::inet_addr("127.0.0.1")}}});
  ASSERT_TRUE(sReply);
  EXPECT_EQ(dns::CountAt(*sReply, 1), 1);
  EXPECT_EQ(dns::CountAt(*sReply, 2), 2);
  EXPECT_EQ(dns::CountAt(*sReply, 3), 3);
  const test::ParsedReply reply = ParseReply(*sReply);
  ASSERT_EQ(reply.m_vAdditional.size(), 3u);
  EXPECT_EQ(reply.m_vAdditional[0].m_wType, 41);
  EXPECT_EQ(reply.m_vAdditional[0].m_sOwner, "");
}

TEST(DnsAnswerBuilderTest, RepliesOverTheLimitAreCutWithTc) {
  std::vector<uint32_t> vMany(100, ::inet_addr("192.0.2.1"));
  const std::optional<std::string> sReply = Answer(DnsQuery({{"many.test", dns::kTypeA}}), {{"many.test", {}, vMany}});
  ASSERT_TRUE(sReply);
  EXPECT_EQ(sReply->size(), dns::kMaxReply);
  EXPECT_EQ(static_cast<uint8_t>((*sReply)[2]) & 0x02, 0x02);

  // A request cut to the limit is answered from what is left, TC already set.
  std::string sLong = DnsQuery({{"localhost", dns::kTypeA}}) + std::string(600, 'x');
  const std::optional<std::string> sLongReply = Answer(sLong, {{"localhost", {}, {::inet_addr("127.0.0.1")}}});
  ASSERT_TRUE(sLongReply);
  EXPECT_EQ(sLongReply->size(), dns::kMaxReply);
  EXPECT_EQ(static_cast<uint8_t>((*sLongReply)[2]) & 0x02, 0x02);
}

TEST(DnsAnswerBuilderTest, AnOfficialNameThatCannotBeWrittenIsNoAnswer) {
  const std::string sRequest = DnsQuery({{"odd.test", dns::kTypeA}});
  EXPECT_FALSE(Answer(sRequest, {{std::string(64, 'a') + ".test", {}, {::inet_addr("127.0.0.1")}}}));
  // An alias that cannot be written is left out of the chain.
  const std::optional<std::string> sReply = Answer(sRequest, {{"real.test", {"a..b", "odd.test"}, {::inet_addr("127.0.0.1")}}});
  ASSERT_TRUE(sReply);
  EXPECT_EQ(OwnersAndData(ParseReply(*sReply).m_vAnswers), (Pairs{{"odd.test", "real.test"}, {"real.test", Address("127.0.0.1")}}));
}

}  // namespace
}  // namespace harbix
