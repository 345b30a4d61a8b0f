// The relay unit between two real TCP connections on loopback, driven by a loop the test steps
// on its own thread; the test plays both peers.
#include "engine/core/Relay.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "engine/core/EngineMessages.h"
#include "platform/MessageLoop.h"
#include "tests/support/TestNet.h"

namespace harbix {
namespace {

using test::PatternByte;

constexpr size_t kMiB = 1024 * 1024;

// One peer as the test plays it: it sends a stretch of the test pattern (then, if asked, the
// end of its stream), reads when told to and checks every byte it reads against the pattern.
struct Peer {
  int m_hSocket = -1;
  uint64_t m_cbToSend = 0;
  uint64_t m_cbSent = 0;
  bool m_bShutAfterSending = false;
  bool m_bShut = false;
  bool m_bReading = true;
  uint64_t m_cbReceived = 0;
  bool m_bIntact = true;       // everything read so far matches the pattern
  bool m_bSawEnd = false;      // read returned 0
  bool m_bSawReset = false;
  size_t m_cbReadLimit = 1 << 20;  // at most this much per turn (a slow reader reads less)
  size_t m_cbSendPiece = 65536;    // what one send hands the kernel
  int m_hFile = -1;                // when set, the pattern is sent from this file (sendfile)
  std::string m_sKept;             // what was read, when m_bKeep
  bool m_bKeep = false;

  bool Done() const { return m_cbSent == m_cbToSend && (!m_bShutAfterSending || m_bShut); }
  // One turn of sending and reading; true when something moved.
  bool Turn() {
    bool bMoved = false;
    char buffer[65536];
    while (m_cbSent < m_cbToSend) {
      const size_t cbChunk = static_cast<size_t>(std::min<uint64_t>(m_cbSendPiece, m_cbToSend - m_cbSent));
      ssize_t n = 0;
      if (m_hFile >= 0) {
        // Each piece becomes a fragment of its own that points into the file's pages.
        off_t nOffset = static_cast<off_t>(m_cbSent);
        ::fcntl(m_hSocket, F_SETFL, ::fcntl(m_hSocket, F_GETFL) | O_NONBLOCK);
        n = ::sendfile(m_hSocket, m_hFile, &nOffset, cbChunk);
      } else {
        for (size_t i = 0; i < cbChunk; ++i) buffer[i] = static_cast<char>(PatternByte(m_cbSent + i));
        n = ::send(m_hSocket, buffer, cbChunk, MSG_DONTWAIT | MSG_NOSIGNAL);
      }
      if (n <= 0) break;
      m_cbSent += static_cast<uint64_t>(n);
      bMoved = true;
    }
    if (m_cbSent == m_cbToSend && m_bShutAfterSending && !m_bShut) {
      ::shutdown(m_hSocket, SHUT_WR);
      m_bShut = bMoved = true;
    }
    size_t cbRead = 0;
    while (m_bReading && !m_bSawEnd && !m_bSawReset && cbRead < m_cbReadLimit) {
      const ssize_t n = ::recv(m_hSocket, buffer, std::min(sizeof buffer, m_cbReadLimit - cbRead), MSG_DONTWAIT);
      if (n == 0) m_bSawEnd = true;
      if (n < 0 && errno == ECONNRESET) m_bSawReset = true;
      if (n <= 0) break;
      for (ssize_t i = 0; i < n && m_bIntact; ++i) m_bIntact = static_cast<uint8_t>(buffer[i]) == PatternByte(m_cbReceived + static_cast<uint64_t>(i));
      if (m_bKeep) m_sKept.append(buffer, static_cast<size_t>(n));
      m_cbReceived += static_cast<uint64_t>(n);
      cbRead += static_cast<size_t>(n);
      bMoved = true;
    }
    return bMoved;
  }
  // Closes with a reset: SO_LINGER with a zero time.
  void Reset() {
    linger hard{1, 0};
    ::setsockopt(m_hSocket, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(m_hSocket);
    m_hSocket = -1;
  }
};

// Everything a relay's session sees: one relay, and the moment it ended.
class RelaySession : public Session {
 public:
  RelaySession(SessionContext&& context, Relay::Policy policy) : Session(std::move(context)), m_relay(*this, policy) {}
  void OnRelayEnded(Relay& relay) override {
    m_bRelayEnded = true;
    Session::OnRelayEnded(relay);
  }
  Socket TakeClient() { return std::move(m_context.m_client); }

  Relay m_relay;
  bool m_bRelayEnded = false;
};

// Records what a tap sees.
struct RecordingTap : ByteTap {
  uint64_t m_cbSeen = 0;
  bool m_bInOrder = true;
  int m_nEnds = 0;
  bool m_bComplete = false;
  void OnBytes(const char* lpData, size_t cbData) override {
    for (size_t i = 0; i < cbData && m_bInOrder; ++i) m_bInOrder = static_cast<uint8_t>(lpData[i]) == PatternByte(m_cbSeen + i);
    m_cbSeen += cbData;
  }
  void OnEnd(bool bComplete) override {
    ++m_nEnds;
    m_bComplete = bComplete;
  }
};

// A connected pair on loopback: the relay's end and the test's. Either receive buffer can be
// fixed; a fixed one does not grow with the kernel's autotuning (up to tcp_rmem's maximum, tens
// of MiB on some hosts), so what the kernel absorbs is known.
std::pair<Socket, int> TcpPair(int nReceiveBuffer = 0, int nRelayReceiveBuffer = 0) {
  const int hListener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = test::kLoopbackIp;
  socklen_t cbAddress = sizeof address;
  EXPECT_EQ(::bind(hListener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  EXPECT_EQ(::listen(hListener, 1), 0);
  ::getsockname(hListener, reinterpret_cast<sockaddr*>(&address), &cbAddress);
  const int hTest = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (nReceiveBuffer) ::setsockopt(hTest, SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof nReceiveBuffer);
  EXPECT_EQ(::connect(hTest, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const int hRelay = ::accept4(hListener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (nRelayReceiveBuffer) {
    ::setsockopt(hRelay, SOL_SOCKET, SO_RCVBUF, &nRelayReceiveBuffer, sizeof nRelayReceiveBuffer);
  }
  ::close(hListener);
  return {Socket(hRelay, SocketKind::kStreamConnected), hTest};
}

// A relay's session on a loop the test steps, and the two peers.
class RelayRig {
 public:
  RelayRig() { m_loop.SetClock([this] { return m_qwNow; }); }
  ~RelayRig() {
    if (m_lpSession) {
      m_lpSession->SetQuiet();
      m_lpSession->Destroy();
    }
    for (Peer* lpPeer : {&m_client, &m_server}) {
      if (lpPeer->m_hSocket >= 0) ::close(lpPeer->m_hSocket);
    }
  }

  // A session whose relay has its client side (connected; its receive buffer can be made
  // small: a slow client's kernel holds little).
  void Create(Relay::Policy policy = Relay::Policy::kWhole, int nClientReceiveBuffer = 0) {
    auto [clientSide, hClient] = TcpPair(nClientReceiveBuffer);
    m_client.m_hSocket = hClient;
    SessionContext context;
    context.m_qwId = 1;
    context.m_owner = m_loop.Id();
    context.m_client = std::move(clientSide);
    context.m_lpCounters = &m_counters;
    context.m_lpConfig = std::make_shared<const ServiceConfig>();
    m_lpSession = std::make_unique<RelaySession>(std::move(context), policy);
    ASSERT_TRUE(m_lpSession->Create());
  }
  void AttachClient() { ASSERT_TRUE(relay().Attach(Relay::kClient, m_lpSession->TakeClient())); }
  void AttachServer(int nRelayReceiveBuffer = 0) {
    auto [serverSide, hServer] = TcpPair(0, nRelayReceiveBuffer);
    m_server.m_hSocket = hServer;
    ASSERT_TRUE(relay().Attach(Relay::kServer, std::move(serverSide)));
  }
  // Both sides connected.
  void Start(Relay::Policy policy = Relay::Policy::kWhole, int nClientReceiveBuffer = 0,
             int nRelayReceiveBuffer = 0) {
    Create(policy, nClientReceiveBuffer);
    AttachClient();
    AttachServer(nRelayReceiveBuffer);
  }

  Relay& relay() { return m_lpSession->m_relay; }

  // Steps the loop and both peers until cond holds; false when it did not within the time.
  // watch runs after every turn (to look at the relay while it works).
  bool Drive(const std::function<bool()>& cond, const std::function<void()>& watch = {}, int nTimeoutMs = 60000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!cond()) {
      bool bMoved = m_loop.RunUntilIdle([this](const Message& msg) {
        if (msg.hwnd == 0 && msg.message == WM_SESSION_FINISHED) m_bFinished = true;
        return msg.hwnd == 0;
      }) > 0;
      if (m_client.m_hSocket >= 0) bMoved = m_client.Turn() || bMoved;
      if (m_server.m_hSocket >= 0) bMoved = m_server.Turn() || bMoved;
      if (watch) watch();
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (!bMoved) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  bool Ended() const { return m_lpSession->m_bRelayEnded && m_bFinished; }

  uint64_t m_qwNow = 1000000;
  MessageLoop m_loop;
  SessionCounters m_counters;
  std::unique_ptr<RelaySession> m_lpSession;
  Peer m_client;
  Peer m_server;
  bool m_bFinished = false;
};

class RelayTest : public ::testing::Test, public RelayRig {};

// Every size from nothing to a bulk transfer, in each direction: every byte arrives once, in
// order, then the end of the stream; the relay then ends and counts what it moved.
TEST(RelayTableTest, EveryByteArrivesInOrderThenTheEnd) {
  const uint64_t kSizes[] = {0, 1, 511, 512, 513, 8191, 8192, 8193, 65536, 1 * kMiB + 7, 64 * kMiB};
  for (const bool bDown : {true, false}) {
    for (const uint64_t cbSize : kSizes) {
      SCOPED_TRACE((bDown ? "server to client, " : "client to server, ") + std::to_string(cbSize) + " bytes");
      RelayRig run;
      run.Start();
      Peer& sender = bDown ? run.m_server : run.m_client;
      Peer& receiver = bDown ? run.m_client : run.m_server;
      sender.m_cbToSend = cbSize;
      sender.m_bShutAfterSending = true;
      ASSERT_TRUE(run.Drive([&] { return receiver.m_bSawEnd && run.Ended(); }));
      EXPECT_EQ(receiver.m_cbReceived, cbSize);
      EXPECT_TRUE(receiver.m_bIntact);
      EXPECT_FALSE(receiver.m_bSawReset);
      EXPECT_EQ(run.m_counters.m_qwReceived.load(), cbSize);
      EXPECT_EQ(run.m_counters.m_qwSent.load(), cbSize);
    }
  }
}

// With the end passed on, both directions run to their ends independently.
TEST_F(RelayTest, HalfCloseKeepsTheOtherDirectionGoing) {
  Start(Relay::Policy::kHalf);
  m_client.m_cbToSend = 10000;
  m_client.m_bShutAfterSending = true;
  ASSERT_TRUE(Drive([&] { return m_server.m_bSawEnd; }));
  EXPECT_EQ(m_server.m_cbReceived, 10000u);
  EXPECT_FALSE(Ended());
  m_server.m_cbToSend = 3 * kMiB;
  m_server.m_bShutAfterSending = true;
  ASSERT_TRUE(Drive([&] { return m_client.m_bSawEnd && Ended(); }));
  EXPECT_EQ(m_client.m_cbReceived, 3 * kMiB);
  EXPECT_TRUE(m_client.m_bIntact && m_server.m_bIntact);
}

// Without it, the first side to end ends the relay: what it sent is delivered, the other
// side gets the end of the stream.
TEST_F(RelayTest, TheFirstEndEndsTheWholeRelay) {
  Start(Relay::Policy::kWhole);
  m_client.m_cbToSend = 100000;
  m_client.m_bShutAfterSending = true;
  ASSERT_TRUE(Drive([&] { return m_server.m_bSawEnd && Ended(); }));
  EXPECT_EQ(m_server.m_cbReceived, 100000u);
  EXPECT_TRUE(m_server.m_bIntact);
}

// A reader that does not keep up holds the relay back: what it holds stays bounded, and
// nothing is lost once the reader catches up.
TEST_F(RelayTest, ASlowReaderHoldsTheSenderBack) {
  // The relay's own receive buffer is fixed: left to grow, the kernel alone could take in the
  // whole transfer, and the sender would finish however well the relay held back.
  Start(Relay::Policy::kWhole, 64 * 1024, 256 * 1024);
  m_server.m_cbToSend = 32 * kMiB;
  m_server.m_bShutAfterSending = true;
  m_client.m_bReading = false;
  size_t cbMostHeld = 0;
  auto watch = [&] { cbMostHeld = std::max(cbMostHeld, relay().Pending(Relay::kClient)); };
  // The sender stalls long before it is done.
  const auto stalled = [&] { return m_server.m_cbSent > 0 && m_server.m_cbSent < 32 * kMiB; };
  ASSERT_TRUE(Drive([&] { return stalled() && cbMostHeld > 0; }, watch));
  for (int nTurn = 0; nTurn < 200; ++nTurn) Drive([] { return true; }, watch);
  Drive([] { return false; }, watch, 200);
  EXPECT_LT(m_server.m_cbSent, 32 * kMiB) << "the relay read everything into memory";
  EXPECT_LE(cbMostHeld, 1 * kMiB);
  m_client.m_bReading = true;
  m_client.m_cbReadLimit = 16 * 1024;
  ASSERT_TRUE(Drive([&] { return m_client.m_bSawEnd && Ended(); }, watch));
  EXPECT_EQ(m_client.m_cbReceived, 32 * kMiB);
  EXPECT_TRUE(m_client.m_bIntact);
  EXPECT_LE(cbMostHeld, 1 * kMiB);
}

// The server sends everything and closes while reading it is paused (the client is slow);
// then the client ends its side too. The server's end came first and is handled first: the
// client still gets every byte.
TEST_F(RelayTest, AnEndWaitingBehindPausedReadsIsHandledFirst) {
  Start(Relay::Policy::kWhole, 64 * 1024);
  m_server.m_cbToSend = 4 * kMiB;
  m_server.m_bShutAfterSending = true;
  m_client.m_bReading = false;
  ASSERT_TRUE(Drive([&] { return m_server.Done(); }));
  Drive([] { return false; }, {}, 100);  // the relay fills up and pauses
  m_client.m_bShutAfterSending = true;   // the client ends its side, then reads on
  m_client.m_bReading = true;
  m_client.m_cbReadLimit = 32 * 1024;
  ASSERT_TRUE(Drive([&] { return m_client.m_bSawEnd && Ended(); }));
  EXPECT_EQ(m_client.m_cbReceived, 4 * kMiB);
  EXPECT_TRUE(m_client.m_bIntact);
}

// A reset from either side: what the relay had already taken from the reset side still goes
// to the other side (a failing read must not cost what waits), which then gets a clean end.
TEST(RelayTableTest, AResetDeliversWhatWasTakenThenEnds) {
  for (const bool bServerResets : {true, false}) {
    SCOPED_TRACE(bServerResets ? "server resets" : "client resets");
    RelayRig run;
    run.Start();
    Peer& resetter = bServerResets ? run.m_server : run.m_client;
    Peer& other = bServerResets ? run.m_client : run.m_server;
    resetter.m_cbToSend = 2 * kMiB;
    other.m_bReading = false;  // what the relay takes waits in its queue
    ASSERT_TRUE(run.Drive([&] { return resetter.Done(); }));
    run.Drive([] { return false; }, {}, 100);
    const uint64_t cbTaken = run.m_counters.m_qwReceived.load();
    ASSERT_GT(cbTaken, 0u);
    resetter.Reset();
    run.Drive([] { return false; }, {}, 50);
    other.m_bReading = true;
    ASSERT_TRUE(run.Drive([&] { return (other.m_bSawEnd || other.m_bSawReset) && run.Ended(); }));
    EXPECT_TRUE(other.m_bIntact);
    EXPECT_GE(other.m_cbReceived, cbTaken);
    EXPECT_EQ(other.m_cbReceived, run.m_counters.m_qwReceived.load()) << "every byte taken was delivered";
    EXPECT_TRUE(other.m_bSawEnd) << "a clean end after the bytes";
  }
}

// A bulk stream that turns into many small segments (a sender that writes small pieces without
// delay) fills a splice pipe's slots long before its bytes: a move comes up short while the
// socket still holds bytes, and with the sender done no new read event would ever come for them.
TEST_F(RelayTest, SmallSegmentsLeftBehindAShortMoveAreStillRead) {
  Start();
  const int nOn = 1;
  ::setsockopt(m_server.m_hSocket, IPPROTO_TCP, TCP_NODELAY, &nOn, sizeof nOn);
  char szPath[] = "/tmp/harbix-relay-XXXXXX";
  m_server.m_hFile = ::mkstemp(szPath);
  ASSERT_GE(m_server.m_hFile, 0);
  ::unlink(szPath);
  std::string sPattern(4 * kMiB, '\0');
  for (size_t i = 0; i < sPattern.size(); ++i) sPattern[i] = static_cast<char>(PatternByte(i));
  ASSERT_EQ(::write(m_server.m_hFile, sPattern.data(), sPattern.size()), static_cast<ssize_t>(sPattern.size()));
  m_server.m_cbToSend = 256 * 1024;  // bulk first: the relay moves it through a pipe
  ASSERT_TRUE(Drive([&] { return m_client.m_cbReceived == 256 * 1024; }));
  m_client.m_bReading = false;  // small segments pile up behind the client's full buffer
  m_server.m_cbSendPiece = 100;
  m_server.m_cbToSend += 2 * kMiB;
  ASSERT_TRUE(Drive([&] { return m_server.Done(); }));
  m_client.m_bReading = true;
  EXPECT_TRUE(Drive([&] { return m_client.m_cbReceived == m_server.m_cbToSend; }, {}, 10000))
      << m_client.m_cbReceived << " of " << m_server.m_cbToSend << " bytes";
  EXPECT_TRUE(m_client.m_bIntact);
  ::close(m_server.m_hFile);
}

// A tap sees every byte of its direction in order, the last ones included, and the end once.
TEST(RelayTableTest, ATapSeesEveryByteInOrder) {
  for (const uint64_t cbSize : {uint64_t{0}, uint64_t{700}, 3 * kMiB}) {
    SCOPED_TRACE(cbSize);
    RelayRig run;
    run.Start();
    RecordingTap tap;
    run.relay().SetTap(Relay::kServer, &tap);
    run.m_server.m_cbToSend = cbSize;
    run.m_server.m_bShutAfterSending = true;
    run.m_client.m_cbReadLimit = 8192;  // slow enough that the end waits behind queued bytes
    ASSERT_TRUE(run.Drive([&] { return run.m_client.m_bSawEnd && run.Ended(); }));
    EXPECT_EQ(tap.m_cbSeen, cbSize);
    EXPECT_TRUE(tap.m_bInOrder);
    EXPECT_EQ(tap.m_nEnds, 1);
    EXPECT_TRUE(tap.m_bComplete);
    EXPECT_EQ(run.m_client.m_cbReceived, cbSize);
    EXPECT_TRUE(run.m_client.m_bIntact);
  }
}

TEST_F(RelayTest, ATapHearsOfABrokenStream) {
  Start();
  RecordingTap tap;
  relay().SetTap(Relay::kServer, &tap);
  m_server.m_cbToSend = 100000;
  ASSERT_TRUE(Drive([&] { return tap.m_cbSeen == 100000; }));
  m_server.Reset();
  ASSERT_TRUE(Drive([&] { return Ended(); }));
  EXPECT_EQ(tap.m_nEnds, 1);
  EXPECT_FALSE(tap.m_bComplete);
}

// A file goes out as fast as the reader takes it, between the session's own bytes, and is
// never held in memory.
TEST_F(RelayTest, AFileIsSentInTurnAndNeverHeld) {
  Start(Relay::Policy::kWhole, 64 * 1024);
  char szPath[] = "/tmp/harbix-relay-XXXXXX";
  const int hFile = ::mkstemp(szPath);
  ASSERT_GE(hFile, 0);
  ::unlink(szPath);
  constexpr uint64_t kFileSize = 8 * kMiB;
  std::string sBlock(kMiB, '\0');
  for (uint64_t nOffset = 0; nOffset < kFileSize; nOffset += kMiB) {
    for (size_t i = 0; i < sBlock.size(); ++i) sBlock[i] = static_cast<char>(PatternByte(nOffset + i));
    ASSERT_EQ(::write(hFile, sBlock.data(), sBlock.size()), static_cast<ssize_t>(sBlock.size()));
  }
  auto lpFile = std::make_shared<File>();
  *lpFile = File::OpenRead("/proc/self/fd/" + std::to_string(hFile));
  ::close(hFile);
  ASSERT_TRUE(lpFile->Valid());

  std::string sExpected = "head\n";
  for (uint64_t i = 0; i < kFileSize; ++i) sExpected.push_back(static_cast<char>(PatternByte(i)));
  sExpected += "--middle--";
  for (uint64_t i = 100; i < 1100; ++i) sExpected.push_back(static_cast<char>(PatternByte(i)));
  sExpected += "tail\n";

  relay().Send(Relay::kClient, "head\n");
  relay().SendFile(Relay::kClient, lpFile, 0, kFileSize);
  relay().Send(Relay::kClient, "--middle--");
  relay().SendFile(Relay::kClient, lpFile, 100, 1000);
  relay().Send(Relay::kClient, "tail\n");
  relay().EndAfterSending(Relay::kClient);
  m_client.m_bKeep = true;
  m_client.m_cbReadLimit = 64 * 1024;
  size_t cbMostHeld = 0;
  ASSERT_TRUE(Drive([&] { return m_client.m_bSawEnd && Ended(); },
                    [&] { cbMostHeld = std::max(cbMostHeld, relay().Pending(Relay::kClient)); }));
  EXPECT_TRUE(m_client.m_sKept == sExpected) << m_client.m_sKept.size() << " bytes instead of " << sExpected.size();
  EXPECT_LT(cbMostHeld, 64u * 1024) << "only the session's own bytes are held";
}

// A composed reply far larger than the socket takes at once still arrives whole before the end,
// while what the client keeps sending is read and dropped.
TEST_F(RelayTest, AReplyIsDeliveredWholeBeforeTheEnd) {
  Start(Relay::Policy::kWhole, 64 * 1024);
  std::string sReply(4 * kMiB, '\0');
  for (size_t i = 0; i < sReply.size(); ++i) sReply[i] = static_cast<char>(PatternByte(i));
  relay().Send(Relay::kClient, sReply);
  relay().EndAfterSending(Relay::kClient);
  m_client.m_cbToSend = 8 * kMiB;  // a client that sends a large body without reading first
  m_client.m_cbReadLimit = 32 * 1024;
  ASSERT_TRUE(Drive([&] { return m_client.m_bSawEnd && Ended(); }));
  EXPECT_EQ(m_client.m_cbReceived, 4 * kMiB);
  EXPECT_TRUE(m_client.m_bIntact);
  EXPECT_FALSE(m_client.m_bSawReset);
  EXPECT_EQ(m_server.m_cbReceived, 0u) << "nothing of the client's goes on after the reply";
}

// A held side is read by the session only; once released, what waited is relayed.
TEST_F(RelayTest, AHeldSideIsRelayedOnlyOnceReleased) {
  Start();
  relay().Hold(Relay::kClient);
  m_client.m_cbToSend = 5000;
  Drive([] { return false; }, {}, 100);
  EXPECT_EQ(m_server.m_cbReceived, 0u);
  relay().Release(Relay::kClient, true);
  ASSERT_TRUE(Drive([&] { return m_server.m_cbReceived == 5000; }));
  EXPECT_TRUE(m_server.m_bIntact);
}

// Bytes queued for a side that is still connecting wait for it; if it never comes, the relay
// ends once what it could deliver is out.
TEST_F(RelayTest, BytesWaitForAnExpectedSide) {
  Create();
  relay().Expect(Relay::kServer);
  AttachClient();
  m_client.m_cbToSend = 3000;
  m_client.m_bShutAfterSending = true;
  Drive([] { return false; }, {}, 100);
  EXPECT_FALSE(Ended()) << "the client's bytes wait for the server";
  AttachServer();
  ASSERT_TRUE(Drive([&] { return m_server.m_bSawEnd && Ended(); }));
  EXPECT_EQ(m_server.m_cbReceived, 3000u);
  EXPECT_TRUE(m_server.m_bIntact);
}

TEST_F(RelayTest, AnExpectedSideThatNeverComesEndsTheRelay) {
  Create();
  relay().Expect(Relay::kServer);
  AttachClient();
  m_client.m_cbToSend = 3000;
  m_client.m_bShutAfterSending = true;
  Drive([] { return false; }, {}, 100);
  relay().Abandon(Relay::kServer);
  ASSERT_TRUE(Drive([&] { return Ended(); }));
  EXPECT_FALSE(m_client.m_bSawReset);
}

}  // namespace
}  // namespace harbix
