// A network namespace of the calling process's own, with its loopback up: engines started by
// the test (and their children) bind the control port and service ports there, apart from
// every other test, and nothing leaves the machine.
#pragma once

namespace harbix::test {

// False when the process may not have one (it needs root).
bool EnterPrivateNetwork();

}  // namespace harbix::test
