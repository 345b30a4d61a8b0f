// A proxy request as it arrives: the request line (taken without anything behind it) with its
// absolute URL, then the header block, rewritten into the form an origin server expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace harbix {

class HttpRequest {
 public:
  // The request line and the header together may not grow beyond this: a client that never
  // ends its header must not fill the engine's memory.
  static constexpr size_t kMaxRequest = 64 * 1024;
  static constexpr uint16_t kDefaultPort = 80;

  enum class State { kLine, kHeader, kComplete, kFailed };
  // The proxy error page's reasons that the request itself can give (their numbers are the
  // page's).
  enum class Failure { kNone = -1, kNoMethod = 0, kNoUrl = 1, kTooLong = 2 };

  // The bytes taken for the line; kHeader once it is complete and read, kFailed when it is
  // not a request (Error() says why).
  State TakeLine(std::string_view sTaken);
  // Bytes read after the line; kComplete once the header block has ended and been rewritten.
  State TakeHeader(std::string_view sRead);
  State Current() const { return m_state; }
  Failure Error() const { return m_failure; }

  // What the request line said.
  const std::string& Method() const { return m_sMethod; }
  // "HTTP/1.1" when the client's version token was exactly that, "HTTP/1.0" otherwise: the
  // version of every response the proxy composes itself.
  const std::string& ClientVersion() const { return m_sClientVersion; }
  const std::string& Host() const { return m_sHost; }
  uint16_t Port() const { return m_wPort; }
  const std::string& Path() const { return m_sPath; }
  // The URL as the client wrote it, and whether it named no scheme ("://"): it is used as it
  // stands all the same.
  const std::string& Url() const { return m_sUrl; }
  bool NoScheme() const { return m_bNoScheme; }

  // Neither served from nor stored in the cache: a method other than GET, a query, a no-cache
  // Pragma or Cache-Control, or credentials (the cache is shared by everybody behind the proxy).
  bool NoCache() const { return m_bNoCache; }
  // What the cache's decision needs: the two conditions (-1 when absent or unreadable) and the
  // range asked for (empty when none).
  int32_t IfModifiedSince() const { return m_nIfModifiedSince; }
  int32_t IfUnmodifiedSince() const { return m_nIfUnmodifiedSince; }
  const std::string& Range() const { return m_sRange; }
  // The client asks to switch protocols (a WebSocket, say): the connection stays after the
  // response, and the relay carries what follows.
  bool Upgrade() const { return m_bUpgrade; }

  // Once complete: the rewritten request line and header block, the blank line, and whatever
  // came behind it (the start of a body), in that order: what goes to the origin server.
  std::string TakeForwarded() { return std::move(m_sForwarded); }

  // The header table of a block of lines (lower-case names; the first of a name wins, in the
  // order of the lines): shared with the response's reading.
  using HeaderTable = std::vector<std::pair<std::string, std::string>>;
  static HeaderTable ReadHeaderLines(std::string_view sBlock);
  static const std::string* Find(const HeaderTable& table, std::string_view sName);

 private:
  void ParseLine();
  void Rewrite(size_t cbBlock, size_t cbLineEnd);
  State Fail(Failure failure);

  State m_state = State::kLine;
  Failure m_failure = Failure::kNone;
  std::string m_sBuffer;      // the line, then the rewritten line and the header as it arrives
  size_t m_cbTaken = 0;       // what the line and the header took, together
  std::string m_sForwarded;
  std::string m_sMethod;
  std::string m_sUrl;
  std::string m_sVersionToken;
  std::string m_sClientVersion = "HTTP/1.0";
  std::string m_sHost;
  uint16_t m_wPort = kDefaultPort;
  std::string m_sPath;
  bool m_bCarriageReturn = false;
  bool m_bNoScheme = false;
  bool m_bNoCache = false;
  bool m_bUpgrade = false;
  int32_t m_nIfModifiedSince = -1;
  int32_t m_nIfUnmodifiedSince = -1;
  std::string m_sRange;
};

}  // namespace harbix
