#include "engine/http/HttpRequest.h"

#include "common/Text.h"
#include "engine/core/HttpDate.h"
#include "engine/core/ProxyPage.h"

namespace harbix {
namespace {

std::string_view TrimLeft(std::string_view sText) {
  while (!sText.empty() && std::isspace(static_cast<unsigned char>(sText.front()))) sText.remove_prefix(1);
  return sText;
}

std::string_view TrimRight(std::string_view sText) {
  while (!sText.empty() && std::isspace(static_cast<unsigned char>(sText.back()))) sText.remove_suffix(1);
  return sText;
}

// Every exchange on a connection is its own: the next request, which may be for another host,
// comes on a new connection (a session serves one origin server).
constexpr std::string_view kHopByHop[] = {"connection", "proxy-connection", "keep-alive"};

}  // namespace

HttpRequest::State HttpRequest::Fail(Failure failure) {
  m_failure = failure;
  return m_state = State::kFailed;
}

HttpRequest::State HttpRequest::TakeLine(std::string_view sTaken) {
  if (m_state != State::kLine) return m_state;
  m_sBuffer.append(sTaken);
  m_cbTaken += sTaken.size();
  if (sTaken.empty() || sTaken.back() != '\n') {
    return m_cbTaken >= kMaxRequest ? Fail(Failure::kTooLong) : m_state;
  }
  ParseLine();
  return m_state;
}

void HttpRequest::ParseLine() {
  m_bCarriageReturn = m_sBuffer.find('\r') != std::string::npos;
  const std::string sLine = Trim(m_sBuffer);
  const size_t nBlank = sLine.find(' ');
  if (nBlank == std::string::npos) {
    Fail(Failure::kNoMethod);
    return;
  }
  m_sMethod = sLine.substr(0, nBlank);
  const std::string_view sRest = TrimLeft(std::string_view(sLine).substr(nBlank + 1));
  const size_t nSecond = sRest.find(' ');
  if (nSecond == std::string_view::npos) {
    Fail(Failure::kNoUrl);
    return;
  }
  std::string_view sUrl = TrimRight(sRest.substr(0, nSecond));
  m_sUrl = std::string(sUrl);
  m_sVersionToken = std::string(TrimLeft(sRest.substr(nSecond + 1)));
  if (m_sVersionToken == "HTTP/1.1") m_sClientVersion = "HTTP/1.1";
  if (const size_t nScheme = sUrl.find("://"); nScheme != std::string_view::npos) {
    sUrl.remove_prefix(nScheme + 3);  // the scheme is not looked at
  } else {
    m_bNoScheme = true;
  }
  std::string sTarget(TrimLeft(sUrl));
  if (sTarget.find('/') == std::string::npos) sTarget += '/';
  const size_t nSlash = sTarget.find('/');
  std::string_view sHostPart = TrimRight(std::string_view(sTarget).substr(0, nSlash));
  m_sPath = std::string(TrimLeft(std::string_view(sTarget).substr(nSlash)));
  if (const size_t nColon = sHostPart.find(':'); nColon != std::string_view::npos) {
    m_wPort = LeadingPort(sHostPart.substr(nColon + 1));
    sHostPart = TrimRight(sHostPart.substr(0, nColon));
  }
  m_sHost = std::string(sHostPart);
  m_bNoCache = !EqualNoCase(m_sMethod, "GET") || m_sPath.find_first_of("?&") != std::string::npos;
  // The line in origin form, with the client's own version token and line end.
  m_sBuffer = m_sMethod + " " + m_sPath + " " + m_sVersionToken + (m_bCarriageReturn ? "\r\n" : "\n");
  m_state = State::kHeader;
}

HttpRequest::State HttpRequest::TakeHeader(std::string_view sRead) {
  if (m_state != State::kHeader) return m_state;
  const size_t cbBefore = m_sBuffer.size();
  m_sBuffer.append(sRead);
  // Where a terminator may begin that this read completed: three bytes back at the most.
  const size_t nFrom = cbBefore >= 3 ? cbBefore - 3 : 0;
  const std::optional<HeaderEnd> end = FindHeaderEnd(std::string_view(m_sBuffer).substr(nFrom));
  if (!end) {
    m_cbTaken += sRead.size();
    return m_cbTaken >= kMaxRequest ? Fail(Failure::kTooLong) : m_state;
  }
  // The block ends with the line end of its last line; the blank line is not part of it.
  const size_t cbLineEnd = end->m_cbTerminator / 2;
  Rewrite(nFrom + end->m_nPos + cbLineEnd, cbLineEnd);
  return m_state = State::kComplete;
}

HttpRequest::HeaderTable HttpRequest::ReadHeaderLines(std::string_view sBlock) {
  HeaderTable table;
  while (!sBlock.empty()) {
    const size_t nLineFeed = sBlock.find('\n');
    const std::string sLine = Trim(sBlock.substr(0, nLineFeed));
    sBlock.remove_prefix(nLineFeed == std::string_view::npos ? sBlock.size() : nLineFeed + 1);
    if (sLine.empty()) continue;
    const size_t nColon = sLine.find(':');
    std::string sName = ToLower(TrimRight(std::string_view(sLine).substr(0, nColon)));
    std::string sValue = nColon == std::string::npos ? std::string() : std::string(TrimLeft(std::string_view(sLine).substr(nColon + 1)));
    if (!Find(table, sName)) table.emplace_back(std::move(sName), std::move(sValue));
  }
  return table;
}

const std::string* HttpRequest::Find(const HeaderTable& table, std::string_view sName) {
  for (const auto& [sKey, sValue] : table) {
    if (sKey == sName) return &sValue;
  }
  return nullptr;
}

void HttpRequest::Rewrite(size_t cbBlock, size_t cbLineEnd) {
  const std::string_view sLineEnd = cbLineEnd == 2 ? "\r\n" : "\n";
  const std::string_view sBlock = std::string_view(m_sBuffer).substr(0, cbBlock);
  const size_t nFirstLineEnd = sBlock.find('\n');
  const std::string_view sRequestLine = TrimRight(sBlock.substr(0, nFirstLineEnd));
  HeaderTable table = ReadHeaderLines(sBlock.substr(nFirstLineEnd + 1));

  auto erase = [&](std::string_view sName) { std::erase_if(table, [&](const auto& entry) { return entry.first == sName; }); };
  if (const std::string* lpHost = Find(table, "host"); !lpHost || !EqualNoCase(*lpHost, m_sHost)) {
    erase("host");
    table.emplace(table.begin(), "host", m_sHost);
  }
  erase("proxy-authorization");
  erase("proxy-authenticate");
  for (const char* lpName : {"cache-control", "pragma"}) {
    const std::string* lpValue = Find(table, lpName);
    if (lpValue && StartsWithNoCase(*lpValue, "NO-CACHE")) {
      erase(lpName);
      m_bNoCache = true;
    }
  }
  if (Find(table, "authorization")) m_bNoCache = true;
  if (const std::string* lpValue = Find(table, "if-modified-since")) m_nIfModifiedSince = HttpDate::Parse(*lpValue);
  if (const std::string* lpValue = Find(table, "if-unmodified-since")) m_nIfUnmodifiedSince = HttpDate::Parse(*lpValue);
  if (const std::string* lpValue = Find(table, "range")) m_sRange = *lpValue;
  m_bUpgrade = Find(table, "upgrade") != nullptr;
  for (std::string_view sName : kHopByHop) erase(sName);
  table.emplace_back("connection", m_bUpgrade ? "upgrade" : "close");

  std::string sForwarded;
  sForwarded.reserve(m_sBuffer.size() + 64);
  sForwarded.append(sRequestLine).append(sLineEnd);
  sForwarded.append("Proxy-Server: Quillbay Harbix Proxy Server/").append(kEngineVersion).append(sLineEnd);
  for (const auto& [sName, sValue] : table) sForwarded.append(sName).append(": ").append(sValue).append(sLineEnd);
  sForwarded.append(std::string_view(m_sBuffer).substr(cbBlock));  // the blank line and what follows
  m_sForwarded = std::move(sForwarded);
  m_sBuffer.clear();
  m_sBuffer.shrink_to_fit();
}

}  // namespace harbix
