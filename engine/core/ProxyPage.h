// The proxy's own HTML pages, shared by the HTTP proxy and the HTTPS tunnel.
#pragma once

#include <ctime>
#include <string>

namespace harbix {

// The engine's version as it appears in its pages.
inline constexpr const char* kEngineVersion = "1.21";

// The last lines of every page the proxy composes: who made it, then the end of the document.
std::string PageFooter();

// The body of the error page: a title, the message and the footer.
std::string ErrorPageBody(const std::string& sMessage);

// The tunnel's error response: "<version> 500 Internal Error", Server, Date, Content-Type,
// Content-Length and Connection lines (ending in a bare line feed), then the page.
std::string TunnelErrorResponse(const std::string& sVersion, const std::string& sMessage, std::time_t when);

}  // namespace harbix
