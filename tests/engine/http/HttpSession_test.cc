#include "engine/http/HttpSession.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "tests/support/SessionFixture.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

// An origin server that records what arrives on its one connection and answers, once the
// request's header (and, with a content length, its body) is in, with a canned response.
class RecordingOrigin {
 public:
  explicit RecordingOrigin(std::string sResponse) : m_sResponse(std::move(sResponse)) {
    m_hListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = test::kLoopbackIp;
    ::bind(m_hListener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(m_hListener, 4);
    socklen_t cbAddress = sizeof address;
    ::getsockname(m_hListener, reinterpret_cast<sockaddr*>(&address), &cbAddress);
    m_wPort = ntohs(address.sin_port);
    m_thread = std::thread([this] { Serve(); });
  }
  ~RecordingOrigin() {
    ::shutdown(m_hListener, SHUT_RDWR);
    m_thread.join();
    ::close(m_hListener);
  }
  uint16_t Port() const { return m_wPort; }
  std::string Received() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_sReceived;
  }

 private:
  void Serve() {
    pollfd pfd{m_hListener, POLLIN, 0};
    if (::poll(&pfd, 1, 10000) <= 0) return;
    const int hClient = ::accept(m_hListener, nullptr, nullptr);
    if (hClient < 0) return;
    char buffer[65536];
    bool bAnswered = false;
    while (true) {
      pollfd client{hClient, POLLIN, 0};
      if (::poll(&client, 1, 5000) <= 0) break;
      const ssize_t n = ::recv(hClient, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      std::lock_guard<std::mutex> guard(m_lock);
      m_sReceived.append(buffer, static_cast<size_t>(n));
      const size_t nEnd = m_sReceived.find("\r\n\r\n");
      if (bAnswered || nEnd == std::string::npos) continue;
      const size_t nLength = m_sReceived.find("content-length: ");
      const size_t cbBody = nLength == std::string::npos ? 0 : std::stoul(m_sReceived.substr(nLength + 16));
      if (m_sReceived.size() < nEnd + 4 + cbBody) continue;
      test::SendAll(hClient, m_sResponse);
      ::shutdown(hClient, SHUT_WR);
      bAnswered = true;
    }
    ::close(hClient);
  }

  std::string m_sResponse;
  int m_hListener = -1;
  uint16_t m_wPort = 0;
  std::thread m_thread;
  std::mutex m_lock;
  std::string m_sReceived;
};

constexpr const char* kResponse = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello";

TEST(HttpSessionTest, ARequestIsForwardedInOriginFormAndTheResponseRelayedAsItCame) {
  RecordingOrigin origin(kResponse);
  test::SessionFixture session;
  session.Start(HttpSessionFactory());
  const std::string sPort = std::to_string(origin.Port());
  session.Type("GET http://127.0.0.1:" + sPort + "/page?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + sPort +
               "\r\nProxy-Connection: keep-alive\r\nProxy-Authorization: Basic eA==\r\nAccept: */*\r\n\r\n");
  ASSERT_TRUE(session.StepUntil([&] { return session.UserSeesClose(); }));
  EXPECT_EQ(session.Received(), kResponse);
  EXPECT_EQ(origin.Received(),
            "GET /page?x=1 HTTP/1.1\r\nProxy-Server: Quillbay Harbix Proxy Server/1.21\r\nhost: 127.0.0.1\r\naccept: */*\r\n"
            "connection: close\r\n\r\n");
  EXPECT_TRUE(session.StepUntil([&] { return session.Finished(); }));
}

TEST(HttpSessionTest, ABodyFollowsItsHeaderToTheOrigin) {
  RecordingOrigin origin(kResponse);
  test::SessionFixture session;
  session.Start(HttpSessionFactory());
  const std::string sBody(100000, 'b');
  session.Type("POST http://127.0.0.1:" + std::to_string(origin.Port()) + "/form HTTP/1.1\r\nContent-Length: " +
               std::to_string(sBody.size()) + "\r\n\r\n" + sBody.substr(0, 10));
  session.Step();
  session.Type(sBody.substr(10));
  ASSERT_TRUE(session.StepUntil([&] { return session.UserSeesClose(); }));
  EXPECT_EQ(session.Received(), kResponse);
  EXPECT_TRUE(origin.Received().ends_with("\r\n\r\n" + sBody));
}

TEST(HttpSessionTest, FailuresAnswerWithTheirPage) {
  const uint16_t wClosedPort = test::ClosedPort();
  struct Case {
    std::string sRequest;
    bool bDenyLoopback;
    const char* lpStatusLine;
    const char* lpMessage;
  } cases[] = {
      {"GET\r\n", false, "HTTP/1.0 500 Internal Error\n", "The request contains NO METHOD."},
      {"GET http://127.0.0.1/\r\n", false, "HTTP/1.0 500 Internal Error\n", "The request contains NO URL."},
      {"GET http://no.such.host.invalid/ HTTP/1.1\r\n\r\n", false, "HTTP/1.1 500 Internal Error\n",
       "The server was unable to map the IP address of the requested server."},
      {"GET http://127.0.0.1:" + std::to_string(wClosedPort) + "/ HTTP/1.1\r\n\r\n", false, "HTTP/1.1 500 Internal Error\n",
       "The server was unable to connect to the requested Server."},
      {"GET http://127.0.0.1/ HTTP/1.0\r\n\r\n", true, "HTTP/1.0 500 Internal Error\n", "You are NOT allowed to connect this site."},
      {"GET http://127.0.0.1/" + std::string(HttpRequest::kMaxRequest, 'x'), false, "HTTP/1.0 500 Internal Error\n",
       "The server was unable to allocate enough memory."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpMessage);
    test::SessionFixture session;
    if (c.bDenyLoopback) session.m_config.m_outgoing.Add({test::kLoopbackIp, 0xFFFFFFFF});
    session.Start(HttpSessionFactory());
    session.Type(c.sRequest);
    ASSERT_TRUE(session.StepUntil([&] { return session.UserSeesClose(); }, 30000));
    const std::string& sReply = session.Received();
    EXPECT_EQ(sReply.rfind(c.lpStatusLine, 0), 0u) << sReply.substr(0, 60);
    EXPECT_NE(sReply.find(std::string("<H2>") + c.lpMessage + "</H2>"), std::string::npos);
  }
}

TEST(HttpSessionTest, ASilentClientIsDroppedAfterTenSeconds) {
  test::SessionFixture session;
  session.Start(HttpSessionFactory());
  session.Advance(9999);
  EXPECT_FALSE(session.Finished());
  session.Advance(1);
  EXPECT_TRUE(session.Finished());
}

}  // namespace
}  // namespace harbix
