#include "engine/http/HttpPages.h"

#include "engine/core/HttpDate.h"
#include "engine/core/ProxyPage.h"

namespace harbix {

const char* HttpErrorMessage(int nReason) {
  switch (nReason) {
    case 0: return "The request contains NO METHOD.";
    case 1: return "The request contains NO URL.";
    case 2: return "The server was unable to allocate enough memory.";
    case 3: return "The server was unable to map the IP address of the requested server.";
    case 4: return "The server was unable to create a new SOCKET.";
    case 5: return "The server was unable to bind to the Server SOCKET.";
    case 6: return "An internal error occured.";
    case 7: return "The server was unable to connect to the requested Server.";
    case 8: return "You are NOT allowed to connect this site.";
    default: return "An unknown error occured.";
  }
}

std::string HttpErrorResponse(const std::string& sClientVersion, int nReason, std::time_t when) {
  const std::string sBody = ErrorPageBody(HttpErrorMessage(nReason));
  return sClientVersion + " 500 Internal Error\nServer: Quillbay Harbix Proxy Server/" + kEngineVersion + "\nDate: " +
         HttpDate::Format(when) + "\nAccept-Ranges: bytes\nContent-Type: text/html\nConnection: Close\nContent-Length: " +
         std::to_string(sBody.size()) + "\n\n" + sBody;
}

std::string HttpStatusResponse(const std::string& sClientVersion, unsigned nCode, std::time_t when) {
  const char* lpReason = "Internal Server Error";
  if (nCode == 304) {
    lpReason = "Not Modified";
  } else if (nCode == 412) {
    lpReason = "Precondition Failed";
  } else {
    nCode = 500;
  }
  const std::string sHead = sClientVersion + " " + std::to_string(nCode) + " " + lpReason +
                            "\nServer: Quillbay Harbix Proxy Server\nDate: " + HttpDate::Format(when) +
                            "\nAccept-Ranges: bytes\nContent-Type: text/html\nConnection: Close\n";
  if (nCode == 304) return sHead + "\n";  // a header only
  const std::string sTitle = std::to_string(nCode) + " - " + lpReason;
  const std::string sBody = "<HTML>\n<HEAD><TITLE>" + sTitle + "</TITLE></HEAD>\n<BODY BGCOLOR=BLACK TEXT=WHITE>\n<H1>" + sTitle +
                            "</H1>\n<HR>\n" + PageFooter();
  return sHead + "Content-Length: " + std::to_string(sBody.size()) + "\n\n" + sBody;
}

}  // namespace harbix
