// Drives the harbix-reg program as scripts do.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/ServiceConfig.h"
#include "platform/Registry.h"
#include "tests/support/TempHome.h"

namespace harbix {
namespace {

struct Result {
  int nStatus = -1;
  std::string sOut;
  std::string sErr;
};

std::string ReadAll(int hFd) {
  std::string sText;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(hFd, buffer, sizeof buffer)) > 0) sText.append(buffer, static_cast<size_t>(n));
  ::close(hFd);
  return sText;
}

Result RunTool(const std::vector<std::string>& vArgs) {
  int outPipe[2], errPipe[2];
  if (::pipe(outPipe) != 0 || ::pipe(errPipe) != 0) return {};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(outPipe[1], 1);
    ::dup2(errPipe[1], 2);
    ::close(outPipe[0]);
    ::close(errPipe[0]);
    std::vector<char*> vArgv;
    std::string sProgram = HARBIX_REG_PATH;
    vArgv.push_back(sProgram.data());
    std::vector<std::string> vCopy = vArgs;
    for (std::string& sArg : vCopy) vArgv.push_back(sArg.data());
    vArgv.push_back(nullptr);
    ::execv(sProgram.c_str(), vArgv.data());
    ::_exit(127);
  }
  ::close(outPipe[1]);
  ::close(errPipe[1]);
  Result result;
  // Small outputs: reading one pipe to its end before the other cannot dead-lock here.
  result.sOut = ReadAll(outPipe[0]);
  result.sErr = ReadAll(errPipe[0]);
  int nStatus = 0;
  ::waitpid(pid, &nStatus, 0);
  result.nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
  return result;
}

constexpr const char* kTnet = "HKLM\\Software\\Quillbay\\Harbix\\Manager\\TNET";

class HarbixRegTest : public ::testing::Test {
 protected:
  test::TempHome m_home;
};

TEST_F(HarbixRegTest, EveryTypeRoundTrips) {
  struct Case {
    const char* lpName;
    const char* lpType;
    const char* lpData;
    const char* lpPrinted;
  } cases[] = {
      {"Bind Port", "binary", "1309", "1309"},
      {"Blob", "binary", "00FFab", "00ffab"},
      {"Nothing", "binary", "", ""},
      {"Run Service", "dword", "0", "0"},
      {"Max", "dword", "4294967295", "4294967295"},
      {"Minus", "dword", "-1", "4294967295"},
      {"Hex", "dword", "0x1F90", "8080"},
      {"Dest Host", "sz", "example.test", "example.test"},
      {"", "sz", "/usr/sbin/harbixen", "/usr/sbin/harbixen"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    EXPECT_EQ(RunTool({"set", kTnet, c.lpName, c.lpType, c.lpData}).nStatus, 0);
    const Result get = RunTool({"get", kTnet, c.lpName});
    EXPECT_EQ(get.nStatus, 0);
    EXPECT_EQ(get.sOut, std::string(c.lpPrinted) + "\n");
    // What get prints, set takes back unchanged.
    EXPECT_EQ(RunTool({"set", kTnet, c.lpName, c.lpType, c.lpPrinted}).nStatus, 0);
    EXPECT_EQ(RunTool({"get", kTnet, c.lpName}).sOut, get.sOut);
  }
  // The engine reads what the tool wrote: 13 09 is port 2323, little-endian.
  CloseRegistry();
  EXPECT_EQ(ReadServiceConfig(ServiceId::Telnet).m_wBindPort, 2323);
  EXPECT_FALSE(ReadServiceConfig(ServiceId::Telnet).m_bRunService);
}

TEST_F(HarbixRegTest, ListShowsValuesAndSubkeys) {
  ASSERT_EQ(RunTool({"set", "HKEY_LOCAL_MACHINE\\Software\\Quillbay\\Harbix\\Manager", "Top", "dword", "5"}).nStatus, 0);
  ASSERT_EQ(RunTool({"set", kTnet, "Bind Port", "binary", "1700"}).nStatus, 0);
  ASSERT_EQ(RunTool({"set", kTnet, "LOG Activity", "dword", "1"}).nStatus, 0);
  const Result list = RunTool({"list", "hklm\\software\\quillbay\\harbix\\manager"});
  EXPECT_EQ(list.nStatus, 0);
  EXPECT_EQ(list.sOut, "Top\tdword\t5\nTNET\\\n");
  EXPECT_EQ(RunTool({"list", kTnet}).sOut, "Bind Port\tbinary\t1700\nLOG Activity\tdword\t1\n");
  EXPECT_EQ(RunTool({"list", "HKCU\\Nowhere"}).nStatus, 1);
}

TEST_F(HarbixRegTest, MissingKeysAndValuesAndDelete) {
  EXPECT_EQ(RunTool({"get", kTnet, "Bind Port"}).nStatus, 1);
  ASSERT_EQ(RunTool({"set", kTnet, "Bind Port", "binary", "1700"}).nStatus, 0);
  EXPECT_EQ(RunTool({"get", kTnet, "Bind IP"}).nStatus, 1);
  EXPECT_EQ(RunTool({"delete", kTnet, "bind port"}).nStatus, 0);
  EXPECT_EQ(RunTool({"get", kTnet, "Bind Port"}).nStatus, 1);
  EXPECT_EQ(RunTool({"delete", kTnet, "Bind Port"}).nStatus, 1);
}

TEST_F(HarbixRegTest, BadInputIsRefusedAndWritesNothing) {
  const std::vector<std::vector<std::string>> cases = {
      {"set", kTnet, "X", "qword", "1"},
      {"set", kTnet, "X", "dword", "12a"},
      {"set", kTnet, "X", "dword", ""},
      {"set", kTnet, "X", "dword", "4294967296"},
      {"set", kTnet, "X", "dword", "-2147483649"},
      {"set", kTnet, "X", "dword", "0x"},
      {"set", kTnet, "X", "binary", "xyz0"},
      {"set", kTnet, "X", "binary", "123"},
      {"set", "HKXX\\Software\\Quillbay", "X", "sz", "a"},
      {"set", "Software\\Quillbay", "X", "sz", "a"},
      {"get", "HKQQ\\Software", "X"},
      {"set", kTnet, "X", "sz"},
      {"frobnicate", kTnet},
      {},
  };
  for (const auto& vArgs : cases) {
    SCOPED_TRACE(vArgs.size() > 4 ? vArgs[3] + " " + vArgs[4] : (vArgs.empty() ? "" : vArgs[0]));
    const Result result = RunTool(vArgs);
    EXPECT_EQ(result.nStatus, 2);
    EXPECT_FALSE(result.sErr.empty());
  }
  CloseRegistry();
  EXPECT_FALSE(RegistryKey::Open(Hive::LocalMachine, "Software\\Quillbay\\Harbix\\Manager\\TNET"));
}

}  // namespace
}  // namespace harbix
