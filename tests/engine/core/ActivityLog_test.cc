#include "engine/core/ActivityLog.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/TempHome.h"

namespace harbix {
namespace {

// 2026-12-07 14:03:59 UTC, a Monday.
constexpr std::time_t kWhen = 1796652239;

class LogFormatTest : public ::testing::Test {
 protected:
  LogFormatTest() {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
  }
};

TEST_F(LogFormatTest, HeaderAndEventLines) {
  EXPECT_EQ(ActivityLog::FormatHeader(kWhen),
            std::string(100, '/') + "\n// Session of: Monday, December 07 2026 at 14:03:59\n\n");
  struct Case {
    const char* lpTemplate;
    std::initializer_list<LogInsert> inserts;
    const char* lpLine;
  } cases[] = {
      {"Accepted Connection From IP %1:%2!u!", {std::string("192.168.1.20"), uint64_t{1043}},
       "26'12-07, 14:03:59: Accepted Connection From IP 192.168.1.20:1043\n"},
      {"--- CLOSING LOG ---\n", {}, "26'12-07, 14:03:59: --- CLOSING LOG ---\n\n"},
      {"%2!u! before %1", {std::string("text"), uint64_t{7}}, "26'12-07, 14:03:59: 7 before text\n"},
      {"100%% sure%n", {}, "26'12-07, 14:03:59: 100% sure\n\n"},
      {"hex %1!04x!", {uint64_t{255}}, "26'12-07, 14:03:59: hex 00ff\n"},
      {"missing %3 insert", {std::string("a")}, "26'12-07, 14:03:59: missing  insert\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpTemplate);
    EXPECT_EQ(ActivityLog::FormatEvent(kWhen, c.lpTemplate, c.inserts), c.lpLine);
  }
}

// An insert's format is one plain conversion or nothing: a format that would make printf read
// arguments that are not there (found by fuzzing: "%1!s%2020%8~%x!") prints the insert plainly.
TEST_F(LogFormatTest, InsertFormatsThatPrintfWouldMisreadPrintTheInsertPlainly) {
  struct Case {
    const char* lpTemplate;
    const char* lpExpanded;
  } cases[] = {
      {"%1!s%2020%8~%x!", "host"},
      {"%1!*s!", "host"},
      {"%1!1$s!", "host"},
      {"%1!-8s!|", "host    |"},
      {"%2!s%n!", "40000"},
      {"%2!*u!", "40000"},
      {"%2!08lu!", "00040000"},
      {"%2!99999999u!", "40000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpTemplate);
    EXPECT_EQ(ActivityLog::ExpandInserts(c.lpTemplate, {std::string("host"), uint64_t{40000}}), c.lpExpanded);
  }
}

TEST_F(LogFormatTest, InsertedTextIsNotExpandedAgain) {
  EXPECT_EQ(ActivityLog::ExpandInserts("user %1 said", {std::string("%2 and %%")}), "user %2 and %% said");
}

TEST(ActivityLogFileTest, OpenWriteCloseAppend) {
  test::TempHome home;
  ActivityLog log("TNET.LOG");
  auto read = [&] {
    std::ifstream file(log.Path());
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
  };
  log.SetEnabled(true);
  log.Write("before open");  // nothing: the file is not open
  log.Open();
  log.Open();  // no second header
  log.Write("Closing IP %1:%2!u!", {std::string("10.0.0.1"), uint64_t{23}});
  log.Close();
  std::string sText = read();
  EXPECT_EQ(sText.find("before open"), std::string::npos);
  EXPECT_EQ(sText.find("// Session of: "), sText.rfind("// Session of: "));
  EXPECT_NE(sText.find(": Closing IP 10.0.0.1:23\n"), std::string::npos);
  EXPECT_NE(sText.find(": --- CLOSING LOG ---\n\n"), std::string::npos);

  // Disabled: closing writes no closing line; reopening appends a new header.
  log.Open();
  log.SetEnabled(false);
  log.Write("not written");
  log.Close();
  sText = read();
  EXPECT_EQ(sText.find("not written"), std::string::npos);
  EXPECT_NE(sText.find("// Session of: "), sText.rfind("// Session of: "));
  EXPECT_EQ(sText.find("--- CLOSING LOG ---"), sText.rfind("--- CLOSING LOG ---"));
}

TEST(ActivityLogFileTest, AFileThatCannotBeCreatedLeavesTheLogClosed) {
  test::TempHome home;
  // A directory where the file should be.
  ASSERT_EQ(::mkdir((home.Path() + "/log").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir((home.Path() + "/log/TNET.LOG").c_str(), 0700), 0);
  ActivityLog log("TNET.LOG");
  log.SetEnabled(true);
  log.Open();
  EXPECT_FALSE(log.IsOpen());
  log.Write("into nothing");
  log.Close();
}

}  // namespace
}  // namespace harbix
