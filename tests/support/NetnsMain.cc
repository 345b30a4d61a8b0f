// main() of test programs that run engines: the process gets a network namespace of its own,
// with its own loopback, so engines of tests running in parallel never share the control port
// or a service port, and nothing a test does leaves the machine.
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool BringLoopbackUp() {
  const int hSocket = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (hSocket < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool bOk = ::ioctl(hSocket, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags |= IFF_UP;
  bOk = bOk && ::ioctl(hSocket, SIOCSIFFLAGS, &request) == 0;
  ::close(hSocket);
  return bOk;
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (::unshare(CLONE_NEWNET) != 0 || !BringLoopbackUp()) {
    std::fprintf(stderr, "note: no network namespace of its own (needs root); engines share this machine's ports\n");
  }
  return RUN_ALL_TESTS();
}
