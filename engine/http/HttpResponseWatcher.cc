#include "engine/http/HttpResponseWatcher.h"

#include <cctype>

#include "common/Text.h"
#include "engine/core/HttpDate.h"

namespace harbix {

HttpResponseWatcher::HttpResponseWatcher(int32_t nNow, std::function<void(Verdict)> onVerdict)
    : m_nNow(nNow), m_onVerdict(std::move(onVerdict)) {}

unsigned HttpResponseWatcher::ReadStatus(std::string_view sLine) {
  // "HTTP/%u.%u %u %s": each number may have white space before it, the word must be there.
  size_t nPos = 0;
  auto number = [&]() -> std::optional<unsigned> {
    while (nPos < sLine.size() && std::isspace(static_cast<unsigned char>(sLine[nPos]))) ++nPos;
    unsigned nValue = 0;
    size_t nDigits = 0;
    while (nPos < sLine.size() && std::isdigit(static_cast<unsigned char>(sLine[nPos])) && nDigits < 9) {
      nValue = nValue * 10 + static_cast<unsigned>(sLine[nPos++] - '0');
      ++nDigits;
    }
    if (nDigits == 0) return std::nullopt;
    return nValue;
  };
  if (!sLine.starts_with("HTTP/")) return 0;
  nPos = 5;
  if (!number() || nPos >= sLine.size() || sLine[nPos++] != '.' || !number() || nPos >= sLine.size() ||
      !std::isspace(static_cast<unsigned char>(sLine[nPos]))) {
    return 0;
  }
  const std::optional<unsigned> nStatus = number();
  if (!nStatus) return 0;
  while (nPos < sLine.size() && std::isspace(static_cast<unsigned char>(sLine[nPos]))) ++nPos;
  return nPos < sLine.size() ? *nStatus : 0;  // a reason phrase follows
}

void HttpResponseWatcher::OnBytes(const char* lpData, size_t cbData) {
  if (m_verdict != Verdict::kWatching) return;
  m_sSeen.append(lpData, cbData);
  ParseHeader();
  if (m_verdict == Verdict::kWatching && m_sSeen.size() > kMaxHeader) Decide(Verdict::kNoStore);
}

void HttpResponseWatcher::OnEnd(bool /*bComplete*/) {
  if (m_verdict == Verdict::kWatching) Decide(Verdict::kNoStore);  // a header that never ended
}

void HttpResponseWatcher::Decide(Verdict verdict) {
  m_verdict = verdict;
  if (verdict == Verdict::kNoStore) {
    m_sSeen.clear();
    m_sSeen.shrink_to_fit();
  }
  if (m_onVerdict) m_onVerdict(verdict);
}

void HttpResponseWatcher::ParseHeader() {
  const size_t nLineFeed = m_sSeen.find('\n');
  if (nLineFeed == std::string::npos) return;
  const std::string_view sStatusLine = std::string_view(m_sSeen).substr(0, nLineFeed);
  m_response.m_nStatus = ReadStatus(sStatusLine);
  if (m_response.m_nStatus != 200) {
    Decide(Verdict::kNoStore);  // unreadable, or not a whole body
    return;
  }
  // The CR LF form wins whenever it is there, wherever the bare one stands.
  size_t nEnd = m_sSeen.find("\r\n\r\n");
  size_t cbTerminator = 4;
  if (nEnd == std::string::npos) {
    nEnd = m_sSeen.find("\n\n");
    cbTerminator = 2;
  }
  if (nEnd == std::string::npos) return;
  m_response.m_cbHeader = nEnd + cbTerminator;
  m_response.m_headers = HttpRequest::ReadHeaderLines(std::string_view(m_sSeen).substr(nLineFeed + 1, nEnd - nLineFeed));
  const HttpRequest::HeaderTable& headers = m_response.m_headers;
  const std::string* lpLastModified = HttpRequest::Find(headers, "last-modified");
  const int32_t nLastModified = lpLastModified ? HttpDate::Parse(*lpLastModified) : -1;
  m_response.m_nLastModified = nLastModified >= 0 ? nLastModified : m_nNow;
  if (const std::string* lpExpires = HttpRequest::Find(headers, "expires")) m_response.m_nExpires = HttpDate::Parse(*lpExpires);
  if (const std::string* lpLength = HttpRequest::Find(headers, "content-length")) {
    uint64_t qwLength = 0;
    size_t nDigits = 0;
    for (char c : *lpLength) {
      if (!std::isdigit(static_cast<unsigned char>(c)) || ++nDigits > 10) break;
      qwLength = qwLength * 10 + static_cast<uint64_t>(c - '0');
    }
    if (nDigits > 0 && qwLength > 0 && qwLength < kUnknownLength) m_response.m_dwContentLength = static_cast<uint32_t>(qwLength);
  }
  Decide(Verdict::kStore);
}

}  // namespace harbix
