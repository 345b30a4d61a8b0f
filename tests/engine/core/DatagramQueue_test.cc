// The datagram queue on a UDP socket whose sends really would block.
//
// Loopback hands every datagram on at once (the sender's buffer is freed as it is sent), so on
// plain loopback a UDP send never waits, however small the send buffer and however idle the
// receiver. Each test therefore runs on a thread in a network namespace of its own whose
// loopback is shaped by a token bucket: the kernel holds the datagrams, charged to the sender's
// small buffer, and lets them go at a modest rate.
#include "engine/core/DatagramQueue.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Window.h"
#include "tests/support/PrivateNetwork.h"

namespace harbix {
namespace {

constexpr uint32_t kLoopbackIp = 0x0100007F;

// fn on a thread whose network namespace is its own (a namespace is per thread, and the tc the
// thread starts inherits it), with a loopback that holds what is sent to it.
void OnShapedLoopback(const std::function<void()>& fn) {
  std::thread shaped([&] {
    ASSERT_TRUE(test::EnterPrivateNetwork()) << "a network namespace of its own needs root";
    ASSERT_EQ(std::system("PATH=/usr/sbin:/sbin:$PATH tc qdisc add dev lo root tbf rate 100kbit burst 1600 latency 5s"), 0)
        << "tc (iproute2) could not shape the loopback";
    fn();
  });
  shaped.join();
}

// Hands FD_WRITE to the queue, as a socket's owner does.
class FlushingWindow : public Window {
 public:
  std::function<void()> m_onWrite;

 protected:
  void WindowProc(uint32_t message, uintptr_t /*wParam*/, intptr_t lParam) override {
    if (message == WM_SOCKET_EVENT && SelectEvent(lParam) == FD_WRITE && m_onWrite) m_onWrite();
  }
};

Socket SmallBufferSender() {
  Socket sender = Socket::Udp();
  const int nTiny = 1;  // the kernel's minimum: a few datagrams
  ::setsockopt(sender.Fd(), SOL_SOCKET, SO_SNDBUF, &nTiny, sizeof nTiny);
  return sender;
}

// A receiver that reads nothing until the test asks.
struct Receiver {
  Receiver() {
    EXPECT_TRUE(m_socket.Bind(kLoopbackIp, 0));
    EXPECT_TRUE(m_socket.LocalAddress(&m_address));
  }
  // The next datagram, or empty after the timeout.
  std::string Next(int nTimeoutMs = 5000) {
    pollfd entry{m_socket.Fd(), POLLIN, 0};
    if (::poll(&entry, 1, nTimeoutMs) != 1) return {};
    char buffer[65536];
    const long n = ::recv(m_socket.Fd(), buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
  }
  Socket m_socket = Socket::Udp();
  SocketAddress m_address;
};

std::string Labelled(int n, size_t cbSize = 200) {
  char szLabel[32];
  std::snprintf(szLabel, sizeof szLabel, "datagram %04d ", n);
  std::string sDatagram(szLabel);
  sDatagram.resize(cbSize, '.');
  return sDatagram;
}

TEST(DatagramQueueTest, DatagramsThatWouldBlockWaitInOrderAndGoWhenTheSocketTakesThemAgain) {
  OnShapedLoopback([] {
    MessageLoop loop;
    FlushingWindow window;
    ASSERT_TRUE(window.Create());
    Receiver receiver;
    Socket sender = SmallBufferSender();
    DatagramQueue queue;
    window.m_onWrite = [&] { queue.Flush(sender); };
    ASSERT_TRUE(sender.Select(window.Handle(), FD_WRITE));

    constexpr int kDatagrams = 40;
    std::vector<DatagramQueue::Result> vResults;
    for (int i = 0; i < kDatagrams; ++i) vResults.push_back(queue.SendTo(sender, receiver.m_address, Labelled(i)));
    int nSent = 0;
    while (nSent < kDatagrams && vResults[nSent] == DatagramQueue::Result::kSent) ++nSent;
    ASSERT_LT(nSent, kDatagrams) << "no send would block: the test shows nothing";
    for (int i = nSent; i < kDatagrams; ++i) {
      EXPECT_EQ(vResults[i], DatagramQueue::Result::kQueued) << "datagram " << i << " did not wait behind the others";
    }
    EXPECT_EQ(queue.Size(), static_cast<size_t>(kDatagrams - nSent));
    // Once the socket takes datagrams again, a new one still goes behind those that wait.
    pollfd entry{sender.Fd(), POLLOUT, 0};
    ASSERT_EQ(::poll(&entry, 1, 10000), 1);
    EXPECT_EQ(queue.SendTo(sender, receiver.m_address, Labelled(kDatagrams)), DatagramQueue::Result::kQueued);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!queue.Empty() && std::chrono::steady_clock::now() < deadline) {
      loop.RunUntilIdle();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(queue.Empty()) << queue.Size() << " datagrams still wait";
    for (int i = 0; i <= kDatagrams; ++i) EXPECT_EQ(receiver.Next(), Labelled(i));
    EXPECT_EQ(receiver.Next(100), "") << "more arrived than was sent";
    window.Destroy();
  });
}

TEST(DatagramQueueTest, WhatIsBeyondTheBoundsIsDropped) {
  OnShapedLoopback([] {
    MessageLoop loop;
    Receiver receiver;
    // Sends until one has to wait; what follows then is queued, or dropped.
    auto blocked = [&](Socket& sender, DatagramQueue& queue) {
      for (int i = 0; i < 1000; ++i) {
        if (queue.SendTo(sender, receiver.m_address, Labelled(i, 100)) == DatagramQueue::Result::kQueued) return true;
      }
      return false;
    };

    Socket countSender = SmallBufferSender();
    DatagramQueue counted;
    ASSERT_TRUE(blocked(countSender, counted));
    int nDropped = 0;
    for (size_t i = counted.Size(); i < DatagramQueue::kMaxDatagrams + 10; ++i) {
      const DatagramQueue::Result result = counted.SendTo(countSender, receiver.m_address, Labelled(static_cast<int>(i), 100));
      if (result == DatagramQueue::Result::kDropped) {
        ++nDropped;
      } else {
        EXPECT_EQ(result, DatagramQueue::Result::kQueued);
        EXPECT_EQ(nDropped, 0) << "queued again after a drop";
      }
    }
    EXPECT_EQ(counted.Size(), DatagramQueue::kMaxDatagrams);
    EXPECT_EQ(nDropped, 10);

    Socket byteSender = SmallBufferSender();
    DatagramQueue sized;
    ASSERT_TRUE(blocked(byteSender, sized));
    constexpr size_t kLarge = 60000;
    size_t nLarge = 0;
    while (sized.SendTo(byteSender, receiver.m_address, Labelled(0, kLarge)) == DatagramQueue::Result::kQueued) ++nLarge;
    EXPECT_EQ(nLarge, (DatagramQueue::kMaxBytes - 100) / kLarge) << "the byte bound let a wrong number through";
    EXPECT_EQ(sized.SendTo(byteSender, receiver.m_address, Labelled(1, 100)), DatagramQueue::Result::kQueued)
        << "a small datagram that still fits was dropped";
  });
}

}  // namespace
}  // namespace harbix
