#include "engine/http/HttpCache.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TempHome.h"

namespace harbix {
namespace {

HttpResponseWatcher::Response ResponseWith(std::initializer_list<std::pair<std::string, std::string>> headers) {
  HttpResponseWatcher::Response response;
  response.m_nStatus = 200;
  response.m_headers.assign(headers.begin(), headers.end());
  return response;
}

// What the cache would serve must be what the client would have got.
TEST(HttpCacheTest, ResponsesThatMustNotBeStored) {
  struct Case {
    const char* lpName;
    std::initializer_list<std::pair<std::string, std::string>> headers;
    const char* lpPath;
    bool bStored;
  } cases[] = {
      {"a page", {{"content-type", "text/html; charset=utf-8"}}, "/index.html", true},
      {"an image", {{"content-type", "image/gif"}}, "/logo.gif", true},
      {"a directory", {{"content-type", "text/html"}}, "/", true},
      {"no extension, served as text/html", {{"content-type", "text/html"}}, "/page", true},
      {"JSON without an extension", {{"content-type", "application/json"}}, "/data", false},
      {"PNG without an extension", {{"content-type", "image/png"}}, "/data", false},
      {"no content type", {}, "/index.html", false},
      {"a script under its older name", {{"content-type", "application/javascript"}}, "/app.js", true},
      {"a script under its current name", {{"content-type", "text/javascript; charset=utf-8"}}, "/app.js", true},
      {"a script where a page is served", {{"content-type", "application/javascript"}}, "/app", false},
      {"chunked", {{"content-type", "text/html"}, {"transfer-encoding", "chunked"}}, "/index.html", false},
      {"gzip", {{"content-type", "text/html"}, {"content-encoding", "gzip"}}, "/index.html", false},
      {"identity", {{"content-type", "text/html"}, {"content-encoding", "identity"}}, "/index.html", true},
      {"a cookie", {{"content-type", "text/html"}, {"set-cookie", "id=1"}}, "/index.html", false},
      {"private", {{"content-type", "text/html"}, {"cache-control", "max-age=60, Private"}}, "/index.html", false},
      {"no-store", {{"content-type", "text/html"}, {"cache-control", "no-store"}}, "/index.html", false},
      {"max-age only", {{"content-type", "text/html"}, {"cache-control", "max-age=60"}}, "/index.html", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    EXPECT_EQ(HttpCache::Refusal(ResponseWith(c.headers), c.lpPath) == nullptr, c.bStored);
  }
}


// A cache in a fresh directory, with its temp files on the same file system (so that a commit
// renames at once and the lookup after it sees the result).
class HttpCacheStoreTest : public ::testing::Test {
 protected:
  HttpCacheStoreTest() : m_sPreviousTemp(std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "") {
    ::setenv("TMPDIR", m_home.Path().c_str(), 1);
    m_cache = std::make_unique<HttpCache>(HttpCacheSettings{false, 60, 5120, m_home.Path() + "/cache"});
    std::filesystem::create_directory(m_home.Path() + "/cache");
  }
  ~HttpCacheStoreTest() override {
    m_cache.reset();
    if (m_sPreviousTemp.empty()) ::unsetenv("TMPDIR");
    else ::setenv("TMPDIR", m_sPreviousTemp.c_str(), 1);
  }

  static HttpRequest Get(const std::string& sUrl) {
    HttpRequest request;
    request.TakeLine("GET " + sUrl + " HTTP/1.1\r\n");
    request.TakeHeader("\r\n");
    return request;
  }

  test::TempHome m_home;
  std::string m_sPreviousTemp;
  std::unique_ptr<HttpCache> m_cache;
};

// Whether a relayed body is whole decides whether it is kept: with a Content-Length, by its
// size alone (a client that hangs up after the last byte breaks the exchange, not the body);
// without one, by a clean end of the server's stream.
TEST_F(HttpCacheStoreTest, ABodyIsKeptWhenItIsWhole) {
  constexpr uint32_t kUnknown = HttpResponseWatcher::kUnknownLength;
  struct Case {
    const char* lpName;
    uint32_t dwContentLength;
    size_t cbSent;
    bool bCleanEnd;
    bool bKept;
  } cases[] = {
      {"all of its length, clean end", 1000, 1000, true, true},
      {"all of its length, then broken off", 1000, 1000, false, true},
      {"one byte short, clean end", 1000, 999, true, false},
      {"one byte short, broken off", 1000, 999, false, false},
      {"more than its length", 1000, 1001, true, false},
      {"no length, clean end", kUnknown, 700, true, true},
      {"no length, broken off", kUnknown, 700, false, false},
      {"an empty body of length 0", 0, 0, false, true},
  };
  int nCase = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lpName);
    const std::string sPath = "/page" + std::to_string(nCase++) + ".html";
    const HttpRequest request = Get("http://origin.test" + sPath);
    HttpResponseWatcher::Response response;
    response.m_nStatus = 200;
    response.m_dwContentLength = c.dwContentLength;
    const std::string sBody(c.cbSent, 'b');
    std::unique_ptr<CacheWriter> lpWriter = m_cache->BeginStore(request, response, std::string_view(sBody).substr(0, c.cbSent / 2));
    ASSERT_TRUE(lpWriter);
    lpWriter->OnBytes(sBody.data() + c.cbSent / 2, c.cbSent - c.cbSent / 2);
    lpWriter->OnEnd(c.bCleanEnd);
    m_cache->Commit(std::move(lpWriter), 1000);
    const std::optional<HttpCache::Hit> hit = m_cache->Lookup("origin.test", 80, sPath, 1000);
    ASSERT_EQ(hit.has_value(), c.bKept);
    if (hit) {
      EXPECT_EQ(std::filesystem::file_size(hit->m_sFilePath), c.cbSent);
    }
  }
  // Nothing of the bodies thrown away is left behind.
  for (const auto& entry : std::filesystem::directory_iterator(m_home.Path())) {
    EXPECT_FALSE(entry.path().filename().string().starts_with("URL")) << entry.path();
  }
}

}  // namespace
}  // namespace harbix
