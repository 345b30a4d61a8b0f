// harbixen: the Harbix proxy engine. Runs in the foreground; "harbixen CLOSE" stops a running
// engine.
#include <signal.h>

#include <string>
#include <vector>

#include "engine/Catalog.h"
#include "engine/core/Engine.h"

int main(int argc, char** argv) {
  // Blocked in every thread (they inherit the mask); the engine reads them from a descriptor
  // in its message loop and stops cleanly.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  harbix::EngineOptions options;
  options.m_bHandleSignals = true;
  harbix::Engine engine(harbix::DefaultCatalog(), options);
  return engine.Run(std::vector<std::string>(argv + 1, argv + argc));
}
