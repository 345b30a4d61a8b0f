// The engine as the pages see it: present while it holds its single-instance lock, and
// reached over the control channel to tell it to re-read what a page has written.
#pragma once

#include <cstdint>

#include "manager/LockNames.h"

namespace harbix::manager {


// Probes the lock without taking it.
bool EngineRuns();
// Says hello, then sends the request with the cookie; waits a little at most, so that an
// engine that does not answer cannot hang the sheet.
void SendEngineRequest(uint8_t bRequest);

}  // namespace harbix::manager
