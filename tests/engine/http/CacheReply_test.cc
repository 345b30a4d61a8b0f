#include "engine/http/CacheReply.h"

#include <gtest/gtest.h>

namespace harbix {
namespace {

TEST(CacheReplyTest, RangesAsClientsWriteThem) {
  struct Case {
    const char* lpRange;
    std::vector<ByteRange> vRanges;
  } cases[] = {
      {"bytes=0-99", {{0, 100}}},
      {"bytes=-100", {{900, 100}}},
      {"bytes=-5000", {{0, 1000}}},
      {"bytes=900-", {{900, 100}}},
      {"bytes=5000-", {{999, 1}}},
      {"bytes=500-100", {}},
      {"bytes=0-0,2-3", {{0, 1}, {2, 2}}},
      {"BYTES = 0-1", {}},
      {"Bytes=  7 - 8 ,, x, -0, 10-", {{7, 2}, {10, 990}}},
      {"bytes=0-99999999999999999999999", {{0, 1000}}},
      {"items=0-10", {}},
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpRange);
    EXPECT_EQ(ParseRanges(c.lpRange, 1000), c.vRanges);
  }
  EXPECT_TRUE(ParseRanges("bytes=0-10", 0).empty()) << "an empty body has no bytes to point at";
}

std::string Joined(const CacheReply& reply) {
  std::string sText;
  for (const CacheReply::Piece& piece : reply.m_vPieces) {
    sText += piece.m_sText;
    if (piece.m_qwLength) sText += "<" + std::to_string(piece.m_qwFirst) + "+" + std::to_string(piece.m_qwLength) + ">";
  }
  return sText;
}

TEST(CacheReplyTest, TheThreeFormsOfAReply) {
  const CachedBody body{1000, 784111777, -1, "image/gif"};
  const std::time_t kNow = 976184430;
  const std::string sCommon =
      "server: Quillbay Harbix Proxy Server/1.21\ndate: Thu, 07 Dec 2000 10:20:30 GMT\nconnection: close\naccept-ranges: bytes\n";
  EXPECT_EQ(Joined(BuildCacheReply("HTTP/1.1", body, "", kNow)),
            "HTTP/1.1 200 OK\n" + sCommon + "content-type: image/gif\nlast-modified: Sun, 06 Nov 1994 08:49:37 GMT\n"
                                            "content-length: 1000\n\n<0+1000>");
  EXPECT_EQ(Joined(BuildCacheReply("HTTP/1.0", body, "bytes=0-99", kNow)),
            "HTTP/1.0 206 Partial Content\n" + sCommon +
                "content-type: image/gif\nlast-modified: Sun, 06 Nov 1994 08:49:37 GMT\ncontent-range: bytes 0-99/1000\n"
                "content-length: 100\n\n<0+100>");
  EXPECT_EQ(Joined(BuildCacheReply("HTTP/1.1", CachedBody{1000, -1, 2000000000, "text/html"}, "bytes=0-0,2-3", kNow)),
            "HTTP/1.1 206 Partial Content\n" + sCommon +
                "expires: Wed, 18 May 2033 03:33:20 GMT\ncontent-type: multipart/byteranges; boundary=MULTIPART_SEPARATOR\n"
                "\n--MULTIPART_SEPARATOR\nContent-Type: text/html\nContent-Range: bytes 0-0/1000\nContent-Length: 1\n\n<0+1>"
                "\n--MULTIPART_SEPARATOR\nContent-Type: text/html\nContent-Range: bytes 2-3/1000\nContent-Length: 2\n\n<2+2>"
                "\n--MULTIPART_SEPARATOR--\n");
}

}  // namespace
}  // namespace harbix
