#include "engine/http/MimeTypes.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/TempHome.h"

namespace harbix {
namespace {

TEST(MimeTypesTest, TypesByExtension) {
  test::TempHome home;
  const std::string sPath = home.Path() + "/mime.types";
  std::ofstream(sPath) << "# a comment\ntext/html\t\thtml htm\nimage/gif gif\napplication/x-first js\napplication/x-second js\nempty/type\n";
  const MimeTypes types(sPath);
  struct Case {
    const char* lpName;
    const char* lpType;
  } cases[] = {{"CCH1.HTML", "text/html"}, {"CCH1.htm", "text/html"}, {"CCH1.GIF", "image/gif"}, {"CCH1.JS", "application/x-first"},
               {"CCH1.TMP", "text/html"},  {"CCH1", "text/html"},      {"dir/x.gif", "image/gif"}};
  for (const Case& c : cases) EXPECT_EQ(types.TypeOf(c.lpName), c.lpType) << c.lpName;
  EXPECT_EQ(MimeTypes(home.Path() + "/missing").TypeOf("a.gif"), "text/html");
}

}  // namespace
}  // namespace harbix
