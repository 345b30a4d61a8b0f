#include "engine/http/UrlTable.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TempHome.h"

namespace harbix {
namespace {

namespace fs = std::filesystem;

TEST(UrlTableTest, TheExtensionAFileIsStoredUnder) {
  struct Case {
    const char* lpPath;
    const char* lpExtension;
  } cases[] = {
      {"/", ".HTML"}, {"/dir/", ".HTML"}, {"/page.html", ".HTML"}, {"/logo.gif", ".GIF"}, {"/a.b.js", ".JS"},
      {"/cgi/run", ".TMP"}, {"/a.b/c", ".TMP"}, {"/x/../..", ".TMP"}, {"/a.%2f", ".TMP"}, {"/long.extension", ".TMP"},
      {"/x.", ".TMP"}, {"", ".TMP"},
  };
  for (const Case& c : cases) EXPECT_EQ(UrlTable::ExtensionFor(c.lpPath), c.lpExtension) << c.lpPath;
}

TEST(UrlTableTest, OnlyNamesOfTheCachesOwnForm) {
  for (const char* lpName : {"CCH1A2B.HTML", "CCH0.TMP", "CCHFFFFFFFF.GIF"}) EXPECT_TRUE(UrlTable::IsCacheFileName(lpName)) << lpName;
  for (const char* lpName : {"Cache.dat", "CCH.TMP", "CCHxyz.TMP", "CCH12", "CCH12.", "CCH12.A/B", "notes.txt", "cch12.TMP", "URL12.TMP"}) {
    EXPECT_FALSE(UrlTable::IsCacheFileName(lpName)) << lpName;
  }
}

TEST(UrlTableTest, IndexRecordsRoundTripAndStopAtDamage) {
  std::vector<CacheEntry> vEntries = {{"example.test", 80, "/a", 1, -1, "CCH1.HTML", 0},
                                      {"example.test", 8080, "/b?c", 2, 3, "CCH2.TMP", 0},
                                      {"other.test", 80, "/", -1, 5, "CCH3.HTML", 0}};
  const std::string sData = UrlTable::SerializeIndex(vEntries);
  const std::vector<CacheEntry> vRead = UrlTable::ParseIndex(sData);
  ASSERT_EQ(vRead.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(vRead[i].m_sHost, vEntries[i].m_sHost);
    EXPECT_EQ(vRead[i].m_wPort, vEntries[i].m_wPort);
    EXPECT_EQ(vRead[i].m_sPath, vEntries[i].m_sPath);
    EXPECT_EQ(vRead[i].m_nLastModified, vEntries[i].m_nLastModified);
    EXPECT_EQ(vRead[i].m_nExpires, vEntries[i].m_nExpires);
    EXPECT_EQ(vRead[i].m_sFileName, vEntries[i].m_sFileName);
  }
  // A record of 22 + 12 + 2 + 9 bytes: cut in the second one, only the first survives.
  EXPECT_EQ(UrlTable::ParseIndex(sData.substr(0, 45 + 10)).size(), 1u);
  // A field of 256 bytes or more would end the reading there: such entries are not written.
  vEntries.insert(vEntries.begin() + 1, CacheEntry{"h", 80, "/" + std::string(300, 'p'), 1, -1, "CCH4.TMP", 0});
  EXPECT_EQ(UrlTable::ParseIndex(UrlTable::SerializeIndex(vEntries)).size(), 3u);
  std::string sLong = sData;
  sLong[0] = static_cast<char>(0x00);
  sLong[1] = static_cast<char>(0x01);  // a host length of 256
  EXPECT_TRUE(UrlTable::ParseIndex(sLong).empty());
}

class UrlTableDirTest : public ::testing::Test {
 protected:
  UrlTableDirTest() : m_sDir(m_home.Path() + "/cache") { fs::create_directory(m_sDir); }

  // A file as the cache keeps one (or, bReadOnly false, as anybody else might).
  void Put(const std::string& sName, size_t cbSize, bool bReadOnly = true) {
    std::ofstream(m_sDir + "/" + sName) << std::string(cbSize, 'x');
    ::chmod((m_sDir + "/" + sName).c_str(), bReadOnly ? 0444 : 0644);
  }
  bool Exists(const std::string& sName) const { return fs::exists(m_sDir + "/" + sName); }

  test::TempHome m_home;
  std::string m_sDir;
};

TEST_F(UrlTableDirTest, LoadingKeepsTheIndexedAndClearsOnlyTheCachesOwnStrays) {
  Put("CCH1.HTML", 10);
  Put("CCH2.GIF", 20);
  Put("CCH3.TMP", 30);           // not in the index: a stray of the cache's
  Put("CCH4.TMP", 40, false);    // writable: not the cache's
  Put("notes.txt", 50);          // somebody else's read-only file
  Put("CCHnothex.TMP", 60);      // not the cache's form
  const std::string sIndex = UrlTable::SerializeIndex({{"h", 80, "/1", 1, -1, "CCH1.HTML", 0},
                                                      {"h", 80, "/2", 2, -1, "CCH2.GIF", 0},
                                                      {"h", 80, "/gone", 3, -1, "CCH9.TMP", 0},
                                                      {"h", 80, "/foreign", 4, -1, "notes.txt", 0}});
  std::ofstream(m_sDir + "/Cache.dat", std::ios::binary) << sIndex;
  UrlTable table(m_sDir);
  table.Load();
  EXPECT_EQ(table.Size(), 2u);
  EXPECT_TRUE(table.GetUrlFile("h", 80, "/1"));
  EXPECT_TRUE(table.GetUrlFile("h", 80, "/2"));
  EXPECT_FALSE(table.GetUrlFile("h", 80, "/foreign"));
  EXPECT_FALSE(Exists("CCH3.TMP"));
  for (const char* lpName : {"CCH1.HTML", "CCH2.GIF", "CCH4.TMP", "notes.txt", "CCHnothex.TMP", "Cache.dat"}) EXPECT_TRUE(Exists(lpName)) << lpName;
}

TEST_F(UrlTableDirTest, LookupsFindIntactEntriesOnly) {
  Put("CCH1.HTML", 10);
  UrlTable table(m_sDir);
  ASSERT_TRUE(table.SetUrlFile("CCH1.HTML", "Host", 80, "/Page", 5, -1));
  EXPECT_TRUE(table.GetUrlFile("Host", 80, "/Page"));
  EXPECT_FALSE(table.GetUrlFile("Host", 80, "/page")) << "paths compare exactly: another document";
  EXPECT_FALSE(table.GetUrlFile("host", 80, "/Page")) << "hosts compare exactly";
  EXPECT_FALSE(table.GetUrlFile("Host", 81, "/Page"));
  ::chmod((m_sDir + "/CCH1.HTML").c_str(), 0644);
  std::ofstream(m_sDir + "/CCH1.HTML", std::ios::app) << "more";
  EXPECT_FALSE(table.GetUrlFile("Host", 80, "/Page")) << "a file of another size is stale";
  // A new file for the same URL replaces the old one.
  Put("CCH2.HTML", 7);
  ASSERT_TRUE(table.SetUrlFile("CCH2.HTML", "Host", 80, "/Page", 6, -1));
  EXPECT_FALSE(Exists("CCH1.HTML"));
  EXPECT_EQ(table.GetUrlFile("Host", 80, "/Page")->m_sFileName, "CCH2.HTML");
  EXPECT_EQ(table.Size(), 1u);
}

TEST_F(UrlTableDirTest, MaintenanceDropsTheExpiredTheChangedAndWhatDoesNotFit) {
  const int32_t kNow = 1000000;
  struct Entry {
    const char* lpName;
    size_t cbSize;
    int32_t nExpires;
    bool bKept;
  } entries[] = {
      {"CCH1.TMP", 1000, -1, true},        // fits
      {"CCH2.TMP", 1000, kNow - 1, false},  // expired
      {"CCH3.TMP", 1500, kNow, true},       // fits (expires now: not yet earlier)
      {"CCH4.TMP", 1000, -1, false},        // 3500 would exceed the 3 KB limit
      {"CCH5.TMP", 500, -1, true},          // still fits behind it
  };
  UrlTable table(m_sDir);
  for (const Entry& e : entries) {
    Put(e.lpName, e.cbSize);
    ASSERT_TRUE(table.SetUrlFile(e.lpName, "h", 80, std::string("/") + e.lpName, 1, e.nExpires));
  }
  ASSERT_TRUE(table.Maintain(3 * 1024, kNow));
  for (const Entry& e : entries) {
    EXPECT_EQ(Exists(e.lpName), e.bKept) << e.lpName;
    EXPECT_EQ(table.GetUrlFile("h", 80, std::string("/") + e.lpName).has_value(), e.bKept) << e.lpName;
  }
  table.Save();
  std::ifstream index(m_sDir + "/Cache.dat", std::ios::binary);
  const std::string sData((std::istreambuf_iterator<char>(index)), std::istreambuf_iterator<char>());
  EXPECT_EQ(UrlTable::ParseIndex(sData).size(), 3u);
}

}  // namespace
}  // namespace harbix
