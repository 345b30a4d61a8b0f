#include "engine/http/HttpResponseWatcher.h"

#include <gtest/gtest.h>

namespace harbix {
namespace {

constexpr int32_t kNow = 976184430;

struct Watched {
  HttpResponseWatcher::Verdict verdict;
  int nVerdicts;
  HttpResponseWatcher::Response response;
};

Watched Watch(const std::string& sResponse, size_t cbPiece = 5) {
  Watched watched{HttpResponseWatcher::Verdict::kWatching, 0, {}};
  HttpResponseWatcher watcher(kNow, [&](HttpResponseWatcher::Verdict verdict) {
    watched.verdict = verdict;
    ++watched.nVerdicts;
  });
  for (size_t nPos = 0; nPos < sResponse.size(); nPos += cbPiece) {
    const std::string sPiece = sResponse.substr(nPos, cbPiece);
    watcher.OnBytes(sPiece.data(), sPiece.size());
  }
  watcher.OnEnd(true);
  watched.response = watcher.Result();
  return watched;
}

TEST(HttpResponseWatcherTest, OnlyAWholeBodyWithAReadableStatusMayBeStored) {
  using Verdict = HttpResponseWatcher::Verdict;
  struct Case {
    const char* lpResponse;
    Verdict verdict;
  } cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nabc", Verdict::kStore},
      {"HTTP/1.0 200 OK\n\nabc", Verdict::kStore},
      {"HTTP/1.1 200\r\n\r\n", Verdict::kNoStore},  // no reason phrase
      {"HTTP/1.1 302 Found\r\nLocation: /\r\n\r\n", Verdict::kNoStore},
      {"HTTP/1.1 304 Not Modified\r\n\r\n", Verdict::kNoStore},
      {"HTTP/1.1 404 Not Found\r\n\r\n", Verdict::kNoStore},
      {"HTTP/1.1 206 Partial Content\r\n\r\n", Verdict::kNoStore},
      {"SSH-2.0-OpenSSH\r\n", Verdict::kNoStore},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n", Verdict::kNoStore},  // the header never ends
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpResponse);
    const Watched watched = Watch(c.lpResponse);
    EXPECT_EQ(watched.verdict, c.verdict);
    EXPECT_EQ(watched.nVerdicts, 1);
  }
}

TEST(HttpResponseWatcherTest, TheHeaderGivesLengthAndTimes) {
  struct Case {
    const char* lpHeader;
    int32_t nLastModified;
    int32_t nExpires;
    uint32_t dwLength;
  } cases[] = {
      {"Last-Modified: Sun, 06 Nov 1994 08:49:37 GMT\r\nExpires: Sunday, 06-Nov-94 08:49:38 GMT\r\nContent-Length: 1000\r\n",
       784111777, 784111778, 1000},
      {"Expires: 0\r\nContent-Length: 0\r\n", kNow, -1, HttpResponseWatcher::kUnknownLength},  // neither can be read
      {"", kNow, -1, HttpResponseWatcher::kUnknownLength},
      {"content-length: 12abc\r\nLAST-MODIFIED: junk\r\n", kNow, -1, 12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpHeader);
    const Watched watched = Watch(std::string("HTTP/1.1 200 OK\r\n") + c.lpHeader + "\r\nbody");
    ASSERT_EQ(watched.verdict, HttpResponseWatcher::Verdict::kStore);
    EXPECT_EQ(watched.response.m_nLastModified, c.nLastModified);
    EXPECT_EQ(watched.response.m_nExpires, c.nExpires);
    EXPECT_EQ(watched.response.m_dwContentLength, c.dwLength);
  }
}

// The CR LF terminator wins wherever it stands once it is there.
TEST(HttpResponseWatcherTest, TheCrLfEndWinsOverABareOne) {
  const Watched watched = Watch("HTTP/1.1 200 OK\nA: b\n\nC: d\r\n\r\nbody", 100);
  ASSERT_EQ(watched.verdict, HttpResponseWatcher::Verdict::kStore);
  EXPECT_EQ(watched.response.m_cbHeader, std::string("HTTP/1.1 200 OK\nA: b\n\nC: d\r\n\r\n").size());
}

TEST(HttpResponseWatcherTest, AHeaderBeyondTheCapIsWatchedNoFurther) {
  const Watched watched = Watch("HTTP/1.1 200 OK\r\nX: " + std::string(HttpResponseWatcher::kMaxHeader, 'x'), 4096);
  EXPECT_EQ(watched.verdict, HttpResponseWatcher::Verdict::kNoStore);
  EXPECT_EQ(watched.nVerdicts, 1);
}

TEST(HttpResponseWatcherTest, StatusLinesReadAsTheirFourFields) {
  struct Case {
    const char* lpLine;
    unsigned nStatus;
  } cases[] = {
      {"HTTP/1.1 200 OK", 200}, {"HTTP/1.0 200 Fine then", 200}, {"HTTP/1.1 200", 0}, {"HTTP/1.1 200 ", 0},
      {"HTTP/x.1 200 OK", 0},   {"HTTP/1 200 OK", 0},            {"http/1.1 200 OK", 0}, {"HTTP/1.1 abc OK", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(HttpResponseWatcher::ReadStatus(c.lpLine), c.nStatus) << c.lpLine;
}

}  // namespace
}  // namespace harbix
