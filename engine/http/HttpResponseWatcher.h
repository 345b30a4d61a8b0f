// Watches the beginning of an origin server's response as the relay carries it to the client
// (a tap: the bytes go on unchanged): the status line and the header block, to tell whether
// the body may be stored in the cache, and its length, last-modified and expiry times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "engine/core/ByteTap.h"
#include "engine/http/HttpRequest.h"

namespace harbix {

class HttpResponseWatcher : public ByteTap {
 public:
  // A response header that grows beyond this is watched no further: it is relayed on and not
  // stored.
  static constexpr size_t kMaxHeader = 64 * 1024;
  static constexpr uint32_t kUnknownLength = 0xFFFFFFFF;

  enum class Verdict { kWatching, kStore, kNoStore };

  // What the header said, once the verdict is kStore.
  struct Response {
    unsigned m_nStatus = 0;
    int32_t m_nLastModified = -1;  // the time of arrival when the header has none
    int32_t m_nExpires = -1;       // never, when the header has none or it cannot be read
    uint32_t m_dwContentLength = kUnknownLength;
    HttpRequest::HeaderTable m_headers;
    size_t m_cbHeader = 0;          // the header's length in the bytes seen
  };

  // nNow is the time of arrival (seconds since 1970); onVerdict runs once, when the verdict is
  // known (and may stop the watching).
  HttpResponseWatcher(int32_t nNow, std::function<void(Verdict)> onVerdict);

  void OnBytes(const char* lpData, size_t cbData) override;
  void OnEnd(bool bComplete) override;
  Verdict Current() const { return m_verdict; }
  const Response& Result() const { return m_response; }
  // Bytes seen so far (the header, and the body from Result().m_cbHeader on).
  const std::string& Seen() const { return m_sSeen; }

  // The status line, read as "HTTP/%u.%u %u %s" reads it: 0 unless all four fields are there.
  static unsigned ReadStatus(std::string_view sLine);

 private:
  void Decide(Verdict verdict);
  void ParseHeader();

  int32_t m_nNow;
  std::function<void(Verdict)> m_onVerdict;
  Verdict m_verdict = Verdict::kWatching;
  std::string m_sSeen;
  Response m_response;
};

}  // namespace harbix
