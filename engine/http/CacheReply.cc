#include "engine/http/CacheReply.h"

#include <cctype>

#include "common/Text.h"
#include "engine/core/HttpDate.h"
#include "engine/core/ProxyPage.h"

namespace harbix {
namespace {

constexpr std::string_view kBoundary = "MULTIPART_SEPARATOR";

// The decimal number at the start of a text, 0 when there is none; a number too large for 64
// bits is as large as can be.
uint64_t LeadingNumber(std::string_view sText) {
  uint64_t qwValue = 0;
  for (char c : sText) {
    if (!std::isdigit(static_cast<unsigned char>(c))) break;
    const uint64_t qwDigit = static_cast<uint64_t>(c - '0');
    if (qwValue > (UINT64_MAX - qwDigit) / 10) return UINT64_MAX;
    qwValue = qwValue * 10 + qwDigit;
  }
  return qwValue;
}

}  // namespace

std::vector<ByteRange> ParseRanges(std::string_view sRange, uint64_t qwSize) {
  std::vector<ByteRange> vRanges;
  // An empty body has no byte to point at: it is sent whole.
  if (qwSize == 0 || !StartsWithNoCase(sRange, "BYTES=")) return vRanges;
  std::string_view sItems = sRange.substr(6);
  while (!sItems.empty()) {
    const size_t nComma = sItems.find(',');
    const std::string sItem = Trim(sItems.substr(0, nComma));
    sItems.remove_prefix(nComma == std::string_view::npos ? sItems.size() : nComma + 1);
    const size_t nDash = sItem.find('-');
    if (nDash == std::string::npos) continue;
    if (nDash == 0) {  // the last N bytes
      uint64_t qwCount = LeadingNumber(std::string_view(sItem).substr(1));
      if (qwCount == 0) continue;
      qwCount = std::min(qwCount, qwSize);
      vRanges.push_back({qwSize - qwCount, qwCount});
      continue;
    }
    const uint64_t qwFirst = std::min(LeadingNumber(sItem), qwSize - 1);
    const std::string sAfter = Trim(std::string_view(sItem).substr(nDash + 1));
    const uint64_t qwLast = sAfter.empty() ? qwSize - 1 : std::min(LeadingNumber(sAfter), qwSize - 1);
    if (qwLast < qwFirst) continue;
    vRanges.push_back({qwFirst, qwLast - qwFirst + 1});
  }
  return vRanges;
}

CacheReply BuildCacheReply(const std::string& sClientVersion, const CachedBody& body, std::string_view sRange, std::time_t now) {
  std::string sHeader = "server: Quillbay Harbix Proxy Server/" + std::string(kEngineVersion) + "\ndate: " + HttpDate::Format(now) +
                        "\nconnection: close\naccept-ranges: bytes\n";
  std::string sDates;
  if (body.m_nLastModified != -1) sDates += "last-modified: " + HttpDate::Format(body.m_nLastModified) + "\n";
  if (body.m_nExpires != -1) sDates += "expires: " + HttpDate::Format(body.m_nExpires) + "\n";
  const std::string sType = "content-type: " + body.m_sContentType + "\n";
  const std::string sSize = std::to_string(body.m_qwSize);
  const std::vector<ByteRange> vRanges = ParseRanges(sRange, body.m_qwSize);
  CacheReply reply;
  if (vRanges.empty()) {
    reply.m_vPieces.push_back({sClientVersion + " 200 OK\n" + sHeader + sType + sDates + "content-length: " + sSize + "\n\n", 0,
                               body.m_qwSize});
    return reply;
  }
  auto contentRange = [&](const ByteRange& range) {
    return "bytes " + std::to_string(range.m_qwFirst) + "-" + std::to_string(range.m_qwFirst + range.m_qwLength - 1) + "/" + sSize;
  };
  const std::string sStatus = sClientVersion + " 206 Partial Content\n";
  if (vRanges.size() == 1) {
    const ByteRange& range = vRanges.front();
    reply.m_vPieces.push_back({sStatus + sHeader + sType + sDates + "content-range: " + contentRange(range) +
                                   "\ncontent-length: " + std::to_string(range.m_qwLength) + "\n\n",
                               range.m_qwFirst, range.m_qwLength});
    return reply;
  }
  // The line end that begins each part's header ends the response's own for the first one.
  std::string sText = sStatus + sHeader + sDates + "content-type: multipart/byteranges; boundary=" + std::string(kBoundary) + "\n";
  for (const ByteRange& range : vRanges) {
    sText += "\n--" + std::string(kBoundary) + "\nContent-Type: " + body.m_sContentType + "\nContent-Range: " +
             contentRange(range) + "\nContent-Length: " + std::to_string(range.m_qwLength) + "\n\n";
    reply.m_vPieces.push_back({std::move(sText), range.m_qwFirst, range.m_qwLength});
    sText.clear();
  }
  reply.m_vPieces.push_back({"\n--" + std::string(kBoundary) + "--\n", 0, 0});
  return reply;
}

}  // namespace harbix
