#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "tests/support/TempHome.h"

namespace harbix {
namespace {

constexpr const char* kKey = "Software\\Quillbay\\Harbix\\Manager\\HTTP";

class RegistryTest : public ::testing::Test {
 protected:
  test::TempHome m_home;
};

TEST_F(RegistryTest, OpenFailsOnMissingKeyAndCreateMakesEveryParent) {
  EXPECT_FALSE(RegistryKey::Open(Hive::LocalMachine, kKey));
  ASSERT_TRUE(RegistryKey::Create(Hive::LocalMachine, kKey));
  EXPECT_TRUE(RegistryKey::Open(Hive::LocalMachine, kKey));
  EXPECT_TRUE(RegistryKey::Open(Hive::LocalMachine, "Software\\Quillbay"));
  // Hives are separate trees.
  EXPECT_FALSE(RegistryKey::Open(Hive::CurrentUser, kKey));
  EXPECT_FALSE(RegistryKey::Open(Hive::LocalMachine, "Software\\\\Quillbay"));
}

TEST_F(RegistryTest, KeysAndValueNamesIgnoreCase) {
  auto key = RegistryKey::Create(Hive::LocalMachine, kKey);
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->SetDword("Bind IP", 7));
  auto other = RegistryKey::Open(Hive::LocalMachine, "SOFTWARE\\quillbay\\HARBIX\\manager\\http");
  ASSERT_TRUE(other);
  auto value = other->GetValue("bind ip");
  ASSERT_TRUE(value);
  EXPECT_EQ(value->dwType, REG_DWORD);
  EXPECT_EQ(value->sData, std::string("\x07\0\0\0", 4));
  // Writing under another spelling replaces the value instead of adding one.
  ASSERT_TRUE(other->SetDword("BIND IP", 9));
  EXPECT_EQ(key->Values().size(), 1u);
}

TEST_F(RegistryTest, ValuesKeepTheirTypeAndExactWidth) {
  auto key = RegistryKey::Create(Hive::LocalMachine, kKey);
  ASSERT_TRUE(key);
  const unsigned char port[2] = {0x90, 0x1F};
  ASSERT_TRUE(key->SetString("Cache Dir", "/var/cache"));
  ASSERT_TRUE(key->SetDword("No Cache", 1));
  ASSERT_TRUE(key->SetBinary("Bind Port", port, 2));
  ASSERT_TRUE(key->SetBinary("Empty", nullptr, 0));

  struct Case {
    const char* lpName;
    uint32_t dwType;
    std::string sData;
  } cases[] = {
      {"Cache Dir", REG_SZ, std::string("/var/cache\0", 11)},
      {"No Cache", REG_DWORD, std::string("\x01\0\0\0", 4)},
      {"Bind Port", REG_BINARY, std::string("\x90\x1F", 2)},
      {"Empty", REG_BINARY, std::string()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    auto value = key->GetValue(c.lpName);
    ASSERT_TRUE(value);
    EXPECT_EQ(value->dwType, c.dwType);
    EXPECT_EQ(value->sData, c.sData);
  }
}

TEST_F(RegistryTest, QueryFailsWhenTheStoredSizeDoesNotFitTheBuffer) {
  auto key = RegistryKey::Create(Hive::LocalMachine, kKey);
  ASSERT_TRUE(key);
  ASSERT_TRUE(key->SetDword("Bind Port", 8080));  // 4 bytes where a port has 2

  uint16_t wPort = 1234;
  uint32_t cbData = sizeof wPort;
  uint32_t dwType = 0;
  EXPECT_FALSE(key->QueryValue("Bind Port", &dwType, &wPort, &cbData));
  EXPECT_EQ(wPort, 1234) << "nothing may be copied on failure";
  EXPECT_EQ(cbData, 4u) << "the stored size is reported";

  // Asking for the size alone, and a buffer that fits, succeed.
  cbData = 0;
  EXPECT_TRUE(key->QueryValue("Bind Port", &dwType, nullptr, &cbData));
  EXPECT_EQ(cbData, 4u);
  uint32_t dwValue = 0;
  cbData = sizeof dwValue;
  EXPECT_TRUE(key->QueryValue("Bind Port", &dwType, &dwValue, &cbData));
  EXPECT_EQ(dwValue, 8080u);
  EXPECT_EQ(dwType, REG_DWORD);
  EXPECT_FALSE(key->QueryValue("Missing", &dwType, &dwValue, &cbData));
}

TEST_F(RegistryTest, DeleteAndEnumerate) {
  auto key = RegistryKey::Create(Hive::LocalMachine, "Software\\Quillbay\\Harbix\\Manager");
  ASSERT_TRUE(key);
  ASSERT_TRUE(RegistryKey::Create(Hive::LocalMachine, "Software\\Quillbay\\Harbix\\Manager\\TNET"));
  ASSERT_TRUE(RegistryKey::Create(Hive::LocalMachine, "Software\\Quillbay\\Harbix\\Manager\\#0.MAP"));
  ASSERT_TRUE(key->SetDword("b", 2));
  ASSERT_TRUE(key->SetDword("A", 1));
  ASSERT_TRUE(key->SetDword("c", 3));
  EXPECT_TRUE(key->DeleteValue("B"));
  EXPECT_FALSE(key->DeleteValue("B"));

  std::vector<std::string> vNames;
  for (const auto& value : key->Values()) vNames.push_back(value.sName);
  EXPECT_EQ(vNames, (std::vector<std::string>{"A", "c"}));
  EXPECT_EQ(key->SubKeys(), (std::vector<std::string>{"#0.MAP", "TNET"}));
}

TEST_F(RegistryTest, DatabaseIsPrivateToItsOwner) {
  ASSERT_TRUE(RegistryKey::Create(Hive::LocalMachine, kKey));
  struct stat st {};
  ASSERT_EQ(::stat((m_home.Path() + "/registry.db").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(RegistryPathTest, ParsesEveryHiveSpelling) {
  struct Case {
    const char* lpText;
    bool bOk;
    Hive hive;
    const char* lpPath;
  } cases[] = {
      {"HKLM\\Software\\Quillbay", true, Hive::LocalMachine, "Software\\Quillbay"},
      {"HKEY_LOCAL_MACHINE\\Software", true, Hive::LocalMachine, "Software"},
      {"hkcu\\Software\\Run\\", true, Hive::CurrentUser, "Software\\Run"},
      {"HKEY_CLASSES_ROOT\\.html", true, Hive::ClassesRoot, ".html"},
      {"HKCR", true, Hive::ClassesRoot, ""},
      {"HKXX\\Software", false, Hive::LocalMachine, ""},
      {"Software\\Quillbay", false, Hive::LocalMachine, ""},
      {"HKLM\\Software\\\\Quillbay", false, Hive::LocalMachine, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpText);
    Hive hive = Hive::LocalMachine;
    std::string sPath;
    ASSERT_EQ(ParseKeyPath(c.lpText, &hive, &sPath), c.bOk);
    if (!c.bOk) continue;
    EXPECT_EQ(hive, c.hive);
    EXPECT_EQ(sPath, c.lpPath);
  }
}

// One process writes while another reads: every value read is whole, and no write is lost.
TEST_F(RegistryTest, WriterAndReaderProcessesShareTheStore) {
  constexpr int kWrites = 400;
  constexpr size_t kBlockSize = 512;
  ASSERT_TRUE(RegistryKey::Create(Hive::LocalMachine, kKey));
  CloseRegistry();  // neither process may inherit an open connection

  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto key = RegistryKey::Open(Hive::LocalMachine, kKey);
    bool bOk = key.has_value();
    for (int i = 0; bOk && i < kWrites; ++i) {
      // A block whose every byte repeats the round makes a torn read visible.
      const std::string sBlock(kBlockSize, static_cast<char>(i & 0xFF));
      bOk = key->SetBinary("Block", sBlock.data(), static_cast<uint32_t>(sBlock.size())) &&
            key->SetDword("V" + std::to_string(i), static_cast<uint32_t>(i));
    }
    ::_exit(bOk ? 0 : 1);
  }

  auto key = RegistryKey::Open(Hive::LocalMachine, kKey);
  ASSERT_TRUE(key);
  int nReads = 0;
  int nStatus = 0;
  bool bDone = false;
  while (!bDone) {
    bDone = ::waitpid(pid, &nStatus, WNOHANG) == pid;
    if (auto value = key->GetValue("Block")) {
      ++nReads;
      ASSERT_EQ(value->sData.size(), kBlockSize);
      ASSERT_EQ(value->sData.find_first_not_of(value->sData[0]), std::string::npos) << "torn value";
    }
  }
  ASSERT_TRUE(WIFEXITED(nStatus));
  ASSERT_EQ(WEXITSTATUS(nStatus), 0) << "a write failed in the writer process";
  EXPECT_GT(nReads, 0);
  for (int i = 0; i < kWrites; ++i) {
    auto value = key->GetValue("V" + std::to_string(i));
    ASSERT_TRUE(value) << "write " << i << " lost";
    uint32_t dwValue;
    std::memcpy(&dwValue, value->sData.data(), 4);
    EXPECT_EQ(dwValue, static_cast<uint32_t>(i));
  }
  EXPECT_EQ(key->GetValue("Block")->sData[0], static_cast<char>((kWrites - 1) & 0xFF));
}

}  // namespace
}  // namespace harbix
