#include "engine/relay/DnsForwardTable.h"

#include <gtest/gtest.h>

#include "tests/engine/relay/DnsTestMessages.h"

namespace harbix {
namespace {

constexpr SocketAddress kClient{0x0100007F, 40000};
constexpr SocketAddress kUpstream{0x0200007F, 53};

DnsForwardTable::Row Row(SocketAddress client, uint16_t wId, uint64_t qwSentMs = 0) {
  DnsForwardTable::Row row;
  row.m_socket = Socket::Udp();
  row.m_client = client;
  row.m_wId = wId;
  row.m_upstream = kUpstream;
  row.m_qwSentMs = qwSentMs;
  return row;
}

TEST(DnsForwardTableTest, RowsAreRequestsOfAClientNotItsPort) {
  DnsForwardTable table;
  table.Add(Row(kClient, 1));
  table.Add(Row(kClient, 2));  // the AAAA query beside the A query, from the same socket
  table.Add(Row({0x0100007F, 40001}, 1));
  EXPECT_EQ(table.Find(kClient, 1), 0u);
  EXPECT_EQ(table.Find(kClient, 2), 1u);
  EXPECT_EQ(table.Find({0x0100007F, 40001}, 1), 2u);
  EXPECT_FALSE(table.Find({0x0300007F, 40000}, 1));
  EXPECT_EQ(table.FindSocket(table.At(1).m_socket.Fd()), 1u);

  while (!table.Full()) table.Add(Row(kClient, static_cast<uint16_t>(100 + table.Size())));
  EXPECT_EQ(table.Size(), DnsForwardTable::kMaxRows);
}

TEST(DnsForwardTableTest, RowsOlderThanTheirLifetimeAreTakenOut) {
  DnsForwardTable table;
  table.Add(Row(kClient, 1, 1000));
  table.Add(Row(kClient, 2, 5000));
  table.Add(Row(kClient, 3, 1000));
  EXPECT_TRUE(table.TakeExpired(1000 + DnsForwardTable::kLifetimeMs).empty());
  const std::vector<DnsForwardTable::Row> vExpired = table.TakeExpired(1001 + DnsForwardTable::kLifetimeMs);
  ASSERT_EQ(vExpired.size(), 2u);
  EXPECT_TRUE(vExpired[0].m_socket.Valid());
  ASSERT_EQ(table.Size(), 1u);
  EXPECT_EQ(table.At(0).m_wId, 2);
}

TEST(DnsForwardTableTest, SparesAreBoundedReusedNewestFirstAndLetGoWhenIdle) {
  DnsForwardTable table;
  EXPECT_FALSE(table.TakeSpare().Valid());
  std::vector<int> vFds;
  for (size_t i = 0; i < DnsForwardTable::kMaxSpares; ++i) {
    Socket socket = Socket::Udp();
    vFds.push_back(socket.Fd());
    EXPECT_TRUE(table.KeepSpare(std::move(socket), 1000 + i));
  }
  Socket extra = Socket::Udp();
  EXPECT_FALSE(table.KeepSpare(std::move(extra), 2000));
  EXPECT_TRUE(extra.Valid()) << "a spare not kept stays with the caller";
  EXPECT_EQ(table.TakeSpare().Fd(), vFds.back());
  ASSERT_TRUE(table.FindSpare(vFds[3]));
  EXPECT_EQ(table.TakeSpare(vFds[3]).Fd(), vFds[3]);
  EXPECT_FALSE(table.FindSpare(vFds[3]));
  // Kept at 1000, 1001 and 1002 (the fourth is gone): idle past their lifetime at 1002 + lifetime.
  const std::vector<Socket> vIdle = table.TakeIdleSpares(1002 + DnsForwardTable::kSpareLifetimeMs);
  ASSERT_EQ(vIdle.size(), 2u);
  EXPECT_EQ(vIdle[0].Fd(), vFds[0]);
  EXPECT_EQ(table.TakeAllSpares().size(), DnsForwardTable::kMaxSpares - 4);
}

TEST(DnsForwardTableTest, OnlyTheServersResponseWithTheRequestsIdIsTheAnswer) {
  const DnsForwardTable::Row row = Row(kClient, 0x1234);
  const std::string sAnswer = test::DnsHeader(0x8180, {1, 1, 0, 0});  // ID 0x1234
  struct Case {
    const char* lpWhat;
    SocketAddress from;
    std::string sDatagram;
    bool bAnswer;
  };
  const Case cases[] = {
      {"the answer", kUpstream, sAnswer, true},
      {"another address", {0x0400007F, 53}, sAnswer, false},
      {"another port", {0x0200007F, 5353}, sAnswer, false},
      {"another ID", kUpstream, "\x12\x35" + sAnswer.substr(2), false},
      {"a request", kUpstream, test::DnsHeader(0x0100, {1, 0, 0, 0}), false},
      {"a runt", kUpstream, sAnswer.substr(0, 11), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DnsForwardTable::IsAnswer(row, c.from, c.sDatagram), c.bAnswer) << c.lpWhat;
    EXPECT_EQ(DnsForwardTable::RelayedAnswer(row, c.from, c.sDatagram).has_value(), c.bAnswer) << c.lpWhat;
  }
  EXPECT_EQ(DnsForwardTable::RelayedAnswer(row, kUpstream, sAnswer), sAnswer);
  // A long answer reaches the client as its first 512 bytes, with TC.
  const std::optional<std::string> sCut = DnsForwardTable::RelayedAnswer(row, kUpstream, sAnswer + std::string(600, 'x'));
  ASSERT_TRUE(sCut);
  EXPECT_EQ(sCut->size(), 512u);
  EXPECT_EQ(static_cast<uint8_t>((*sCut)[2]), 0x83);
  EXPECT_EQ(sCut->substr(3), (sAnswer + std::string(600, 'x')).substr(3, 509));
}

}  // namespace
}  // namespace harbix
