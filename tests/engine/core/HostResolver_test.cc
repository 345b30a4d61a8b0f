// The lookup workers with lookups the test controls; answers come back through this thread's
// stepped loop, as they come to a session's thread.
#include "engine/core/HostResolver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/MessageLoop.h"
#include "platform/Window.h"

namespace harbix {
namespace {

// The address a name resolves to here: the same for every lookup of it.
uint32_t AddressOf(const std::string& sName) { return static_cast<uint32_t>(std::hash<std::string>()(sName)) | 1; }

// A name server the test holds in its hand: names that begin with "slow" wait until the test
// opens the gate; every call is counted.
class FakeNameServer {
 public:
  std::optional<HostEntry> Lookup(const std::string& sName) {
    std::unique_lock<std::mutex> guard(m_lock);
    ++m_calls[sName];
    m_changed.notify_all();
    if (sName.starts_with("slow")) m_changed.wait(guard, [this] { return m_bOpen; });
    HostEntry host;
    host.m_sName = sName;
    host.m_vAddresses.push_back(AddressOf(sName));
    return host;
  }
  void Open() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_bOpen = true;
    m_changed.notify_all();
  }
  int Calls(const std::string& sName) {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_calls[sName];
  }
  // Until a lookup of each name has begun (a worker is in it).
  bool WaitUntilAsked(const std::vector<std::string>& vNames) {
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::seconds(10), [&] {
      for (const std::string& sName : vNames) {
        if (m_calls[sName] == 0) return false;
      }
      return true;
    });
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  std::map<std::string, int> m_calls;
  bool m_bOpen = false;
};

class AnswerWindow : public Window {
 protected:
  void WindowProc(uint32_t /*message*/, uintptr_t /*wParam*/, intptr_t /*lParam*/) override {}
};

class ResolverPoolTest : public ::testing::Test {
 protected:
  ResolverPoolTest() { m_window.Create(); }
  ~ResolverPoolTest() override {
    m_names.Open();  // the pool waits for its workers when it goes, and none may be held then
  }

  // Answers by name, as they arrive on this thread.
  void Resolve(const std::string& sName) {
    m_pool.Resolve(sName, m_window.Handle(), [this, sName](const std::optional<HostEntry>& host) {
      m_answers[sName].push_back(host);
      ++m_nAnswers;
    });
  }
  bool Answered(const std::string& sName) { return !m_answers[sName].empty(); }
  // Steps the loop until cond holds; bounded.
  template <typename Cond>
  bool StepUntil(Cond cond, int nTimeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (true) {
      m_loop.RunUntilIdle();
      if (cond()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  static bool Resolved(const std::optional<HostEntry>& host, const std::string& sName) {
    return host && host->m_sName == sName && host->m_vAddresses == std::vector<uint32_t>{AddressOf(sName)};
  }

  MessageLoop m_loop;
  AnswerWindow m_window;
  FakeNameServer m_names;
  std::map<std::string, std::vector<std::optional<HostEntry>>> m_answers;
  size_t m_nAnswers = 0;
  // Last: destroyed first, once the gate is open.
  ResolverPool m_pool{[this](const std::string& sName) { return m_names.Lookup(sName); },
                      [](uint32_t) { return std::optional<HostEntry>(); }};
};

TEST_F(ResolverPoolTest, SlowNamesDoNotDelayAFastOne) {
  const std::vector<std::string> vSlow = {"slow1.test", "slow2.test", "slow3.test", "slow4.test"};
  for (const std::string& sName : vSlow) Resolve(sName);
  ASSERT_TRUE(m_names.WaitUntilAsked(vSlow));
  Resolve("fast.test");
  EXPECT_TRUE(StepUntil([&] { return Answered("fast.test"); })) << "a fast name waited behind slow ones";
  EXPECT_TRUE(Resolved(m_answers["fast.test"].front(), "fast.test"));
  for (const std::string& sName : vSlow) EXPECT_FALSE(Answered(sName)) << sName << " was not held";

  m_names.Open();
  EXPECT_TRUE(StepUntil([&] { return m_nAnswers == vSlow.size() + 1; }));
  for (const std::string& sName : vSlow) EXPECT_TRUE(Resolved(m_answers[sName].front(), sName)) << sName;
}

// The burst comes while the name server is busy: nothing is answered until all of it is in, so
// every lookup waits at once.
TEST_F(ResolverPoolTest, ABurstOfLookupsIsAnsweredInFull) {
  constexpr int kLookups = 1000;
  auto name = [](int i) { return "slow" + std::to_string(i) + ".test"; };
  for (int i = 0; i < kLookups; ++i) Resolve(name(i));
  ASSERT_TRUE(m_names.WaitUntilAsked({name(0)}));
  m_loop.RunUntilIdle();
  EXPECT_EQ(m_nAnswers, 0u) << "lookups were refused while the others waited";
  EXPECT_LE(m_pool.Workers(), ResolverPool::kMaxWorkers);
  m_names.Open();
  ASSERT_TRUE(StepUntil([&] { return m_nAnswers == kLookups; }, 30000)) << m_nAnswers << " answers";
  int nResolved = 0;
  for (int i = 0; i < kLookups; ++i) nResolved += m_answers[name(i)].size() == 1 && Resolved(m_answers[name(i)].front(), name(i));
  EXPECT_EQ(nResolved, kLookups) << "lookups were refused or answered wrongly";
}

TEST_F(ResolverPoolTest, LookupsOfOneNameAtOnceShareOne) {
  constexpr int kAsking = 10;
  Resolve("slow.shared.test");
  ASSERT_TRUE(m_names.WaitUntilAsked({"slow.shared.test"}));
  for (int i = 1; i < kAsking; ++i) Resolve("slow.shared.test");
  m_names.Open();
  ASSERT_TRUE(StepUntil([&] { return m_nAnswers == kAsking; }));
  EXPECT_EQ(m_names.Calls("slow.shared.test"), 1);
  for (const std::optional<HostEntry>& host : m_answers["slow.shared.test"]) EXPECT_TRUE(Resolved(host, "slow.shared.test"));
  // Once answered, the name is looked up afresh.
  Resolve("slow.shared.test");
  ASSERT_TRUE(StepUntil([&] { return m_nAnswers == kAsking + 1; }));
  EXPECT_EQ(m_names.Calls("slow.shared.test"), 2);
}

TEST_F(ResolverPoolTest, AnAnswerForAWindowThatIsGoneIsDroppedWithItsCallback) {
  auto lpAsker = std::make_unique<AnswerWindow>();
  ASSERT_TRUE(lpAsker->Create());
  bool bRan = false;
  auto lpHeld = std::make_shared<int>(7);  // what the callback holds, e.g. a session's state
  std::weak_ptr<int> held = lpHeld;
  m_pool.Resolve("slow.gone.test", lpAsker->Handle(), [&bRan, lpHeld](const std::optional<HostEntry>&) { bRan = *lpHeld == 7; });
  lpHeld.reset();
  ASSERT_TRUE(m_names.WaitUntilAsked({"slow.gone.test"}));
  lpAsker->Destroy();
  lpAsker.reset();
  // A later lookup for a live window shows the loop is turning and the pool answering.
  Resolve("after.test");
  m_names.Open();
  EXPECT_TRUE(StepUntil([&] { return held.expired() && Answered("after.test"); })) << "the callback was kept";
  EXPECT_FALSE(bRan);
}

}  // namespace
}  // namespace harbix
