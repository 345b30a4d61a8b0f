#include "tests/support/PrivateNetwork.h"

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace harbix::test {
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

bool EnterPrivateNetwork() { return ::unshare(CLONE_NEWNET) == 0 && BringLoopbackUp(); }

}  // namespace harbix::test
