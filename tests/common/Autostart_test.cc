#include "common/Autostart.h"

#include <gtest/gtest.h>

#include "common/AppPaths.h"
#include "platform/Registry.h"
#include "tests/support/TempHome.h"

namespace harbix {
namespace {

class AutostartTest : public ::testing::Test {
 protected:
  test::TempHome m_home;
};

TEST_F(AutostartTest, MissingKeysAreNeverCreated) {
  WriteEngineAppPath("/opt/harbix/harbixen");
  EXPECT_FALSE(SetEngineAutostart());
  EXPECT_FALSE(SetIconAutostart());
  EXPECT_FALSE(EngineAutostartSet());
  EXPECT_FALSE(IconAutostartSet());
  EXPECT_FALSE(RegistryKey::Open(Hive::LocalMachine, kRunServicesKey));
  EXPECT_FALSE(RegistryKey::Open(Hive::CurrentUser, kRunKey));
}

TEST_F(AutostartTest, EngineValueCopiesTheAppPath) {
  ASSERT_TRUE(RegistryKey::Create(Hive::LocalMachine, kRunServicesKey));
  EXPECT_FALSE(SetEngineAutostart()) << "no App Paths entry yet";
  WriteEngineAppPath("/opt/harbix/harbixen");
  ASSERT_TRUE(SetEngineAutostart());
  EXPECT_TRUE(EngineAutostartSet());
  const auto value = RegistryKey::Open(Hive::LocalMachine, kRunServicesKey)->GetValue(kEngineAutostartValue);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->dwType, REG_SZ);
  EXPECT_EQ(value->sData, std::string("/opt/harbix/harbixen", 21));  // with its NUL
  EXPECT_TRUE(ClearEngineAutostart());
  EXPECT_FALSE(EngineAutostartSet());
  EXPECT_FALSE(ClearEngineAutostart()) << "nothing left to delete";
}

TEST_F(AutostartTest, IconValueIsTheHostCommandOfTheCurrentUser) {
  ASSERT_TRUE(RegistryKey::Create(Hive::CurrentUser, kRunKey));
  ASSERT_TRUE(SetIconAutostart());
  EXPECT_TRUE(IconAutostartSet());
  const auto value = RegistryKey::Open(Hive::CurrentUser, kRunKey)->GetValue(kIconAutostartValue);
  ASSERT_TRUE(value);
  EXPECT_EQ(value->sData, std::string("RunDLL32.exe HARBIXMG.CPL,TaskBarIcon") + '\0');
  EXPECT_FALSE(RegistryKey::Open(Hive::LocalMachine, kRunKey)) << "the icon's value is per user";
  EXPECT_TRUE(ClearIconAutostart());
  EXPECT_FALSE(IconAutostartSet());
}

}  // namespace
}  // namespace harbix
