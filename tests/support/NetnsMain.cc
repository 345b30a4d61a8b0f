// main() of test programs that run engines: the process gets a network namespace of its own,
// with its own loopback, so engines of tests running in parallel never share the control port
// or a service port, and nothing a test does leaves the machine.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/PrivateNetwork.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (!harbix::test::EnterPrivateNetwork()) {
    std::fprintf(stderr, "note: no network namespace of its own (needs root); engines share this machine's ports\n");
  }
  return RUN_ALL_TESTS();
}
