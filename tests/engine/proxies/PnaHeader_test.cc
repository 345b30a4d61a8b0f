#include "engine/proxies/PnaHeader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace harbix {
namespace {

std::string Record(int nType, const std::string& sValue) {
  const size_t cbRest = sValue.size() + 1;
  return std::string{char(cbRest >> 8), char(cbRest & 0xFF), char(nType)} + sValue;
}
std::string Value(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back(static_cast<char>(b));
  return s;
}
const std::string kVersion = Record(1, Value({1}));
const std::string kHost = Record(2, "stream.test");
const std::string kPort = Record(3, Value({0x1B, 0x58}));  // 7000
const std::string kTcp = Record(5, Value({0}));
const std::string kEnd = Record(0, "");
const std::string kEmpty = Value({0, 0});
const std::string kAllButEnd = kVersion + kHost + kPort + kTcp;

// Every rule of the records, whether the bytes come at once or one at a time.
TEST(PnaHeaderTest, EachRecordIsJudgedByItsRule) {
  using State = PnaHeader::State;
  struct Case {
    const char* lpName;
    std::string sIn;
    State state;
    pna::Status error;  // when failed
  } cases[] = {
      {"complete", kAllButEnd + kEnd, State::kComplete, pna::kBadInfo},
      {"any order, empty records and texts", kEmpty + kTcp + Record(6, "player") + kPort + kEmpty + kHost + kVersion + kEnd,
       State::kComplete, pna::kBadInfo},
      {"incomplete", kAllButEnd, State::kReading, pna::kBadInfo},
      {"version 2", Record(1, Value({2})) + kEnd, State::kFailed, pna::kBadVersion},
      {"version twice", kVersion + kVersion, State::kFailed, pna::kBadInfo},
      {"version too long", Record(1, Value({1, 0})), State::kFailed, pna::kBadInfo},
      {"end before the port", kVersion + kHost + kTcp + kEnd, State::kFailed, pna::kBadInfo},
      {"end before the transport", kVersion + kHost + kPort + kEnd, State::kFailed, pna::kBadInfo},
      {"end before the version", kHost + kPort + kTcp + kEnd, State::kFailed, pna::kBadInfo},
      {"end with a value", kAllButEnd + Record(0, "x"), State::kFailed, pna::kBadInfo},
      {"host of 1024 bytes", kVersion + Record(2, std::string(1024, 'h')), State::kFailed, pna::kBadInfo},
      {"host of 1023 bytes", kVersion + Record(2, std::string(1023, 'h')) + kPort + kTcp + kEnd, State::kComplete, pna::kBadInfo},
      {"host twice", kHost + kHost, State::kFailed, pna::kBadInfo},
      {"host with a zero byte", Record(2, std::string("a\0b", 3)), State::kFailed, pna::kBadInfo},
      {"port twice", kPort + kPort, State::kFailed, pna::kBadInfo},
      {"short port", Record(3, Value({1})), State::kFailed, pna::kBadInfo},
      {"port after the other form", Record(4, Value({0, 80})) + kPort, State::kFailed, pna::kBadInfo},
      {"the other form overrides", kPort + Record(4, Value({0, 80})) + Record(4, Value({0, 81, 0, 2})), State::kReading,
       pna::kBadInfo},
      {"the other form, odd length", Record(4, Value({0, 80, 0})), State::kFailed, pna::kBadInfo},
      {"transport twice", kTcp + kTcp, State::kFailed, pna::kBadInfo},
      {"empty text", Record(6, ""), State::kFailed, pna::kBadInfo},
      {"type 7", Record(7, "x"), State::kFailed, pna::kBadOpCode},
      {"type 9", kVersion + Record(9, "anything"), State::kFailed, pna::kBadOpCode},
      {"type 9 without its value yet", Value({0, 50, 9}), State::kFailed, pna::kBadOpCode},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    for (bool bByteByByte : {false, true}) {
      PnaHeader header;
      State state = State::kReading;
      if (bByteByByte) {
        for (char ch : c.sIn) state = header.Feed(std::string_view(&ch, 1));
      } else {
        state = header.Feed(c.sIn);
      }
      EXPECT_EQ(state, c.state) << "byte by byte: " << bByteByByte;
      if (state == State::kFailed) {
        EXPECT_EQ(header.Error(), c.error) << "byte by byte: " << bByteByByte;
      }
    }
  }
}

TEST(PnaHeaderTest, TheFieldsAndWhatFollowsTheEnd) {
  PnaHeader header;
  ASSERT_EQ(header.Feed(kAllButEnd + kEnd + "PNA stream"), PnaHeader::State::kComplete);
  EXPECT_EQ(header.Host(), "stream.test");
  EXPECT_EQ(header.Port(), 7000);
  EXPECT_FALSE(header.Udp());
  EXPECT_EQ(header.UdpPortOffset(), 0u);
  EXPECT_EQ(header.TakeRest(), "PNA stream");
  // Nothing is taken once the header is decided.
  EXPECT_EQ(header.Feed("more"), PnaHeader::State::kComplete);
  EXPECT_EQ(header.TakeRest(), "");

  PnaHeader udp;
  ASSERT_EQ(udp.Feed(kVersion + kHost + Record(4, Value({0, 80, 0x01, 0x02})) + Record(5, Value({1})) + kEnd),
            PnaHeader::State::kComplete);
  EXPECT_TRUE(udp.Udp());
  EXPECT_EQ(udp.Port(), 80);
  EXPECT_EQ(udp.UdpPortOffset(), 0x102u);
}

// However the header is split into records, past 64 KiB the client is refused; up to it, not.
TEST(PnaHeaderTest, TheHeaderIsCapped) {
  const size_t cbText = PnaHeader::kMaxHeader - kAllButEnd.size() - kEnd.size();
  const std::string sFull = kAllButEnd + Record(6, std::string(cbText - 3, 't')) + kEnd;
  ASSERT_EQ(sFull.size(), PnaHeader::kMaxHeader);
  std::string sEmpties;
  for (size_t i = 0; i * 2 <= PnaHeader::kMaxHeader; ++i) sEmpties += kEmpty;
  struct Case {
    const char* lpName;
    std::string sIn;
    PnaHeader::State state;
  } cases[] = {
      {"exactly at the cap", sFull, PnaHeader::State::kComplete},
      {"one byte more of text", kAllButEnd + Record(6, std::string(cbText - 2, 't')) + kEnd, PnaHeader::State::kFailed},
      {"empty records", sEmpties, PnaHeader::State::kFailed},
      // Refused as soon as its length is read, without waiting for 64 KiB of value.
      {"one long text", Value({0xFF, 0xFF, 6}), PnaHeader::State::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    PnaHeader header;
    for (size_t n = 0; n < c.sIn.size() && header.GetState() == PnaHeader::State::kReading; n += 500) {
      header.Feed(std::string_view(c.sIn).substr(n, 500));
    }
    EXPECT_EQ(header.GetState(), c.state);
    if (c.state == PnaHeader::State::kFailed) {
      EXPECT_EQ(header.Error(), pna::kBadInfo);
    }
  }
}

TEST(PnaReplyTest, RepliesAreStatusRecordsBetweenVersionAndEnd) {
  const std::string sText = "Bad Version - Quillbay Harbix Proxy Server";
  EXPECT_EQ(pna::StatusText(pna::kBadVersion), sText);
  EXPECT_EQ(pna::ErrorReply(pna::kBadVersion),
            Value({0, 2, 1, 1, 0, int(sText.size() + 2), 6, 3}) + sText + Value({0, 1, 0}));
  const std::string sSuccess = "Success - Quillbay Harbix Proxy Server";
  EXPECT_EQ(pna::SuccessReply(), Value({0, 2, 1, 1, 0, int(sSuccess.size() + 2), 6, 0}) + sSuccess);
  for (pna::Status status : {pna::kNoConnect, pna::kBadInfo, pna::kBadVersion, pna::kBadOpCode}) {
    EXPECT_EQ(pna::ErrorReply(status).size(), std::strlen(pna::StatusText(status)) + 11);
  }
  EXPECT_STREQ(pna::StatusText(pna::kBadInfo), "Bad Indo - Quillbay Harbix Proxy Server");
}

}  // namespace
}  // namespace harbix
