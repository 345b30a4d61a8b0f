#include "engine/http/HttpRequest.h"

#include "common/Text.h"

#include <gtest/gtest.h>

namespace harbix {
namespace {

// Feeds a whole request in pieces of cbPiece bytes, the line as a session takes it (only up to
// its line feed), and returns the reader; *pRest gets what came after the piece that completed
// the header (a session relays it on behind the forwarded request).
HttpRequest Read(const std::string& sRequest, size_t cbPiece = 7, std::string* pRest = nullptr) {
  HttpRequest request;
  size_t nPos = 0;
  while (nPos < sRequest.size() && request.Current() == HttpRequest::State::kLine) {
    const std::string_view sWaiting = std::string_view(sRequest).substr(nPos, cbPiece);
    const size_t cbTake = LineLength(sWaiting);
    request.TakeLine(sWaiting.substr(0, cbTake));
    nPos += cbTake;
  }
  while (nPos < sRequest.size() && request.Current() == HttpRequest::State::kHeader) {
    request.TakeHeader(std::string_view(sRequest).substr(nPos, cbPiece));
    nPos += cbPiece;
  }
  if (pRest) *pRest = nPos < sRequest.size() ? sRequest.substr(nPos) : std::string();
  return request;
}

TEST(HttpRequestTest, RequestLinesAndWhatTheyAskFor) {
  struct Case {
    const char* lpRequest;
    const char* lpHost;
    uint16_t wPort;
    const char* lpPath;
    const char* lpClientVersion;
    const char* lpForwardedLine;
    bool bNoCache;
  } cases[] = {
      {"GET http://example.test/a/b HTTP/1.1\r\n\r\n", "example.test", 80, "/a/b", "HTTP/1.1", "GET /a/b HTTP/1.1\r\n", false},
      {"GET http://example.test HTTP/1.0\n\n", "example.test", 80, "/", "HTTP/1.0", "GET / HTTP/1.0\n", false},
      {"GET http://example.test:8000/x HTTP/1.1\r\n\r\n", "example.test", 8000, "/x", "HTTP/1.1", "GET /x HTTP/1.1\r\n", false},
      {"GET http://example.test:/x HTTP/1.1\r\n\r\n", "example.test", 0, "/x", "HTTP/1.1", "GET /x HTTP/1.1\r\n", false},
      {"get   http://Example.Test/   http/1.1  \r\n\r\n", "Example.Test", 80, "/", "HTTP/1.0", "get / http/1.1\r\n", false},
      {"HEAD http://h/ HTTP/1.1\r\n\r\n", "h", 80, "/", "HTTP/1.1", "HEAD / HTTP/1.1\r\n", true},
      {"POST http://h/form HTTP/1.1\r\n\r\n", "h", 80, "/form", "HTTP/1.1", "POST /form HTTP/1.1\r\n", true},
      {"GET http://h/search?q=1 HTTP/1.1\r\n\r\n", "h", 80, "/search?q=1", "HTTP/1.1", "GET /search?q=1 HTTP/1.1\r\n", true},
      {"GET http://h/a&b HTTP/1.1\r\n\r\n", "h", 80, "/a&b", "HTTP/1.1", "GET /a&b HTTP/1.1\r\n", true},
      {"GET ftp://h/f HTTP/1.1\r\n\r\n", "h", 80, "/f", "HTTP/1.1", "GET /f HTTP/1.1\r\n", false},  // the scheme is not looked at
      {"GET /plain/path HTTP/1.1\r\n\r\n", "", 80, "/plain/path", "HTTP/1.1", "GET /plain/path HTTP/1.1\r\n", false},
      {"GET http://h/x HTTP/1.1\n\n", "h", 80, "/x", "HTTP/1.1", "GET /x HTTP/1.1\n", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpRequest);
    HttpRequest request = Read(c.lpRequest);
    ASSERT_EQ(request.Current(), HttpRequest::State::kComplete);
    EXPECT_EQ(request.Host(), c.lpHost);
    EXPECT_EQ(request.Port(), c.wPort);
    EXPECT_EQ(request.Path(), c.lpPath);
    EXPECT_EQ(request.ClientVersion(), c.lpClientVersion);
    EXPECT_EQ(request.NoCache(), c.bNoCache);
    EXPECT_EQ(request.TakeForwarded().rfind(c.lpForwardedLine, 0), 0u);
  }
  EXPECT_TRUE(Read("GET /plain HTTP/1.1\r\n\r\n").NoScheme());
  EXPECT_FALSE(Read("GET http://h/ HTTP/1.1\r\n\r\n").NoScheme());
}

TEST(HttpRequestTest, LinesThatAreNoRequest) {
  struct Case {
    const char* lpLine;
    HttpRequest::Failure failure;
  } cases[] = {
      {"GET\r\n", HttpRequest::Failure::kNoMethod},
      {"\r\n", HttpRequest::Failure::kNoMethod},
      {"GET http://h/\r\n", HttpRequest::Failure::kNoUrl},
      {"GET    http://h/   \r\n", HttpRequest::Failure::kNoUrl},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpLine);
    HttpRequest request = Read(c.lpLine);
    EXPECT_EQ(request.Current(), HttpRequest::State::kFailed);
    EXPECT_EQ(request.Error(), c.failure);
  }
}

// The forwarded header as an origin server sees it.
TEST(HttpRequestTest, TheHeaderIsRewrittenForTheOrigin) {
  struct Case {
    const char* lpName;
    std::string sRequest;
    std::string sForwarded;
  } cases[] = {
      {"host added, proxy lines gone, one exchange",
       "GET http://example.test/ HTTP/1.1\r\nUser-Agent: t\r\nProxy-Authorization: Basic x\r\nProxy-Connection: keep-alive\r\n"
       "Keep-Alive: 300\r\nConnection: keep-alive\r\nProxy-Authenticate: y\r\n\r\nBODY",
       "GET / HTTP/1.1\r\nProxy-Server: Quillbay Harbix Proxy Server/1.21\r\nhost: example.test\r\nuser-agent: t\r\n"
       "connection: close\r\n\r\nBODY"},
      {"the client's host kept when it matches",
       "GET http://example.test:8000/ HTTP/1.1\r\nHost: EXAMPLE.test\r\n\r\n",
       "GET / HTTP/1.1\r\nProxy-Server: Quillbay Harbix Proxy Server/1.21\r\nhost: EXAMPLE.test\r\nconnection: close\r\n\r\n"},
      {"a host with a port is the URL's name",
       "GET http://example.test:8000/ HTTP/1.1\r\nHost: example.test:8000\r\n\r\n",
       "GET / HTTP/1.1\r\nProxy-Server: Quillbay Harbix Proxy Server/1.21\r\nhost: example.test\r\nconnection: close\r\n\r\n"},
      {"the first of a name wins, in lower case",
       "GET http://h/ HTTP/1.1\r\nHost: h\r\nAccept: a\r\nACCEPT: b\r\nX-Odd\r\n\r\n",
       "GET / HTTP/1.1\r\nProxy-Server: Quillbay Harbix Proxy Server/1.21\r\nhost: h\r\naccept: a\r\nx-odd: \r\n"
       "connection: close\r\n\r\n"},
      {"bare line feeds throughout",
       "GET http://h/ HTTP/1.0\nHost: h\n\n",
       "GET / HTTP/1.0\nProxy-Server: Quillbay Harbix Proxy Server/1.21\nhost: h\nconnection: close\n\n"},
      {"a header that ends first in bare line feeds takes them",
       "GET http://h/ HTTP/1.1\r\nHost: h\n\nrest\r\n\r\n",
       "GET / HTTP/1.1\nProxy-Server: Quillbay Harbix Proxy Server/1.21\nhost: h\nconnection: close\n\nrest\r\n\r\n"},
      {"no-cache pragma and cache-control go",
       "GET http://h/ HTTP/1.1\r\nHost: h\r\nPragma: No-Cache\r\nCache-Control: no-cache, max-age=0\r\n\r\n",
       "GET / HTTP/1.1\r\nProxy-Server: Quillbay Harbix Proxy Server/1.21\r\nhost: h\r\nconnection: close\r\n\r\n"},
      {"other cache-control stays",
       "GET http://h/ HTTP/1.1\r\nHost: h\r\nCache-Control: max-age=0\r\n\r\n",
       "GET / HTTP/1.1\r\nProxy-Server: Quillbay Harbix Proxy Server/1.21\r\nhost: h\r\ncache-control: max-age=0\r\n"
       "connection: close\r\n\r\n"},
      {"an upgrade keeps its connection",
       "GET http://h/chat HTTP/1.1\r\nHost: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
       "GET /chat HTTP/1.1\r\nProxy-Server: Quillbay Harbix Proxy Server/1.21\r\nhost: h\r\nupgrade: websocket\r\n"
       "connection: upgrade\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    for (size_t cbPiece : {size_t{1}, size_t{3}, size_t{8191}}) {
      std::string sRest;
      HttpRequest request = Read(c.sRequest, cbPiece, &sRest);
      ASSERT_EQ(request.Current(), HttpRequest::State::kComplete) << cbPiece;
      EXPECT_EQ(request.TakeForwarded() + sRest, c.sForwarded) << cbPiece;
    }
  }
}

TEST(HttpRequestTest, WhatTheCacheDecisionIsGiven) {
  HttpRequest plain = Read("GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n");
  EXPECT_FALSE(plain.NoCache());
  EXPECT_EQ(plain.IfModifiedSince(), -1);
  EXPECT_EQ(plain.Range(), "");
  HttpRequest conditional = Read(
      "GET http://h/ HTTP/1.1\r\nIf-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\nIf-Unmodified-Since: junk\r\n"
      "Range: bytes=0-99\r\n\r\n");
  EXPECT_EQ(conditional.IfModifiedSince(), 784111777);
  EXPECT_EQ(conditional.IfUnmodifiedSince(), -1);
  EXPECT_EQ(conditional.Range(), "bytes=0-99");
  EXPECT_TRUE(Read("GET http://h/ HTTP/1.1\r\nPragma: no-cache\r\n\r\n").NoCache());
  EXPECT_TRUE(Read("GET http://h/ HTTP/1.1\r\nAuthorization: Basic x\r\n\r\n").NoCache()) << "another user must not get it";
  EXPECT_TRUE(Read("GET http://h/ HTTP/1.1\r\nUpgrade: websocket\r\n\r\n").Upgrade());
}

// One cap for the line and the header together.
TEST(HttpRequestTest, ARequestThatNeverEndsIsCutOffAtTheCap) {
  for (const char* lpStart : {"GET http://h/", "GET http://h/ HTTP/1.1\r\nX: "}) {
    const std::string sStart = lpStart;
    SCOPED_TRACE(sStart);
    HttpRequest request = Read(sStart + std::string(HttpRequest::kMaxRequest, 'x'), 4096);
    EXPECT_EQ(request.Current(), HttpRequest::State::kFailed);
    EXPECT_EQ(request.Error(), HttpRequest::Failure::kTooLong);
  }
  const std::string sLongLine = "GET http://h/" + std::string(40 * 1024, 'a') + " HTTP/1.1\r\n";
  EXPECT_EQ(Read(sLongLine + "X: " + std::string(30 * 1024, 'b'), 4096).Error(), HttpRequest::Failure::kTooLong);
  EXPECT_EQ(Read(sLongLine + "X: " + std::string(20 * 1024, 'b') + "\r\n\r\n", 4096).Current(), HttpRequest::State::kComplete);
}

}  // namespace
}  // namespace harbix
