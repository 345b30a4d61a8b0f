// The response the proxy composes for a body it has in its cache: the whole body (200), one
// byte range (206) or several (206, multipart/byteranges). The header is the proxy's own, made
// from the cache entry; the body is a list of pieces, text and ranges of the cache file, that
// the relay sends in order (the file is never read into memory).
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace harbix {

struct ByteRange {
  uint64_t m_qwFirst;
  uint64_t m_qwLength;
  bool operator==(const ByteRange&) const = default;
};

// The ranges a "range" value asks for, in the client's order, each cut to the body's size;
// items that cannot be read are skipped. A value that does not begin with "bytes=" (in any
// case) asks for none.
std::vector<ByteRange> ParseRanges(std::string_view sRange, uint64_t qwSize);

struct CacheReply {
  struct Piece {
    std::string m_sText;        // sent first
    uint64_t m_qwFirst = 0;     // then this range of the file (m_qwLength 0: none)
    uint64_t m_qwLength = 0;
  };
  std::vector<Piece> m_vPieces;
};

struct CachedBody {
  uint64_t m_qwSize = 0;
  int32_t m_nLastModified = -1;
  int32_t m_nExpires = -1;
  std::string m_sContentType;
};

CacheReply BuildCacheReply(const std::string& sClientVersion, const CachedBody& body, std::string_view sRange, std::time_t now);

}  // namespace harbix
