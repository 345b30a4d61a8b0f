// A catalog for tests of the service framework: every connection service relays each client to
// one fixed address (the port map's relay session), and port maps run as they do in the engine.
#pragma once

#include "engine/core/Engine.h"

namespace harbix::test {

ServiceCatalog TestRelayCatalog(SocketAddress destination);

}  // namespace harbix::test
