#include "engine/http/HttpCache.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace harbix
