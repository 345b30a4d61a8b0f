// The applet library's entry points as its hosts see them, and the one-sheet rule with two
// real harbixmg processes.
#include <dlfcn.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "manager/Applet.h"
#include "manager/LockNames.h"
#include "platform/NamedLock.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace harbix::manager {
namespace {

constexpr int kStartTimeoutMs = 30000;

template <typename Cond>
bool WaitUntil(Cond cond, int nTimeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
  while (!cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

class AppletLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_lpLibrary = ::dlopen(HARBIXMG_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_TRUE(m_lpLibrary) << ::dlerror();
  }
  void TearDown() override {
    if (m_lpLibrary) ::dlclose(m_lpLibrary);
  }
  void* m_lpLibrary = nullptr;
};

TEST_F(AppletLibraryTest, AnswersTheControlPanel) {
  const auto lpApplet = reinterpret_cast<CPlAppletProc>(::dlsym(m_lpLibrary, "CPlApplet"));
  ASSERT_TRUE(lpApplet);
  ASSERT_TRUE(::dlsym(m_lpLibrary, "TaskBarIcon"));
  EXPECT_EQ(lpApplet(nullptr, CPL_INIT, 0, 0), 1);
  EXPECT_EQ(lpApplet(nullptr, CPL_GETCOUNT, 0, 0), 1);
  NEWCPLINFO info;
  std::memset(&info, 0xAB, sizeof info);
  EXPECT_EQ(lpApplet(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<intptr_t>(&info)), 0);
  EXPECT_EQ(info.dwSize, 244u);
  EXPECT_EQ(info.dwFlags, 0u);
  EXPECT_EQ(info.dwHelpContext, 1024u);
  EXPECT_EQ(info.lData, 0);
  EXPECT_EQ(info.hIcon, 101u);
  EXPECT_STREQ(info.szName, "Harbix Proxy Manager");
  EXPECT_STREQ(info.szInfo, "Change Harbix Proxy Settings");
  EXPECT_STREQ(info.szHelpFile, "HARBIX.HLP");
  EXPECT_EQ(lpApplet(nullptr, 1234, 0, 0), 0);
  EXPECT_EQ(lpApplet(nullptr, CPL_EXIT, 0, 0), 0);
}

TEST(AppletHostTest, SecondManagerShowsNothingWhileASheetIsOpen) {
  test::TempHome home;
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  test::ChildProcess first(HARBIXMG_HOST, {});
  // The lock comes first, the store once the sheet's pages read it.
  const std::string sStore = home.Path() + "/registry.db";
  ASSERT_TRUE(WaitUntil([&] { return NamedLock::IsHeld(kSheetLock) && ::access(sStore.c_str(), F_OK) == 0; }, kStartTimeoutMs))
      << first.Output();
  ASSERT_TRUE(first.Running());

  test::ChildProcess second(HARBIXMG_HOST, {});
  EXPECT_EQ(second.Wait(kStartTimeoutMs), 0);
  EXPECT_EQ(second.Output(), "") << "the second manager started a GUI";
  EXPECT_TRUE(first.Running()) << "the open sheet stays";
  EXPECT_TRUE(NamedLock::IsHeld(kSheetLock));

  first.Signal(SIGTERM);
  first.Wait(kStartTimeoutMs);
  EXPECT_FALSE(NamedLock::IsHeld(kSheetLock));
  // With no sheet open, the next manager opens one.
  test::ChildProcess third(HARBIXMG_HOST, {});
  EXPECT_TRUE(WaitUntil([] { return NamedLock::IsHeld(kSheetLock); }, kStartTimeoutMs)) << third.Output();
  third.Signal(SIGTERM);
  third.Wait(kStartTimeoutMs);
}

TEST(AppletHostTest, TaskBarIconHostReturns) {
  test::TempHome home;
  test::ChildProcess icon(HARBIXMG_HOST, {"TaskBarIcon", "/CLOSE"});
  EXPECT_EQ(icon.Wait(kStartTimeoutMs), 0) << icon.Output();
}

}  // namespace
}  // namespace harbix::manager
