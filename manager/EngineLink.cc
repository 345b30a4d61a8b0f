#include "manager/EngineLink.h"

#include <chrono>
#include <thread>

#include "common/EngineChannel.h"
#include "platform/NamedLock.h"

namespace harbix::manager {
namespace {
constexpr std::chrono::milliseconds kAnswerWait{1000};
constexpr std::chrono::milliseconds kSendRetry{2};
constexpr int kSendAttempts = 500;
}  // namespace

bool EngineRuns() { return NamedLock::IsHeld(kEngineLock); }

void SendEngineRequest(uint8_t bRequest) {
  EngineChannel channel;
  if (!channel.Open() || !channel.Hello(kAnswerWait)) return;
  if (!channel.Request(bRequest)) return;
  for (int nAttempt = 0; nAttempt < kSendAttempts && !channel.Flush(); ++nAttempt) std::this_thread::sleep_for(kSendRetry);
}

}  // namespace harbix::manager
