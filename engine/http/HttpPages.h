// The responses the HTTP proxy composes itself: its error page, with the table of reasons, and
// the status pages of the cache's conditions. Lines end in a bare line feed.
#pragma once

#include <ctime>
#include <string>

namespace harbix {

// The reasons of the error page; the numbers are the page's own.
enum class HttpError {
  kNoMethod = 0,
  kNoUrl = 1,
  kNoMemory = 2,
  kUnresolved = 3,
  kNoSocket = 4,
  kNoBind = 5,
  kNoConnect = 7,
  kNotAllowed = 8,
};
const char* HttpErrorMessage(int nReason);

// "<client version> 500 Internal Error" with the page of the reason.
std::string HttpErrorResponse(const std::string& sClientVersion, int nReason, std::time_t when);
// 304 ("Not Modified", a header only), 412 ("Precondition Failed"), anything else as 500.
std::string HttpStatusResponse(const std::string& sClientVersion, unsigned nCode, std::time_t when);

}  // namespace harbix
