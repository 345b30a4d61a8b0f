// Runs a fuzz target over files (or every file of directories) given on the command line: the
// checked-in corpus becomes a regression test in every build, fuzzer or not.
#include <dirent.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* lpData, size_t cbData);

namespace {

void RunFile(const std::string& sPath, size_t* pnRun) {
  std::ifstream file(sPath, std::ios::binary);
  const std::vector<char> vData((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(vData.data()), vData.size());
  ++*pnRun;
}

void Run(const std::string& sPath, size_t* pnRun) {
  struct stat st {};
  if (::stat(sPath.c_str(), &st) != 0) {
    std::fprintf(stderr, "replay: %s: not found\n", sPath.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    RunFile(sPath, pnRun);
    return;
  }
  DIR* lpDir = ::opendir(sPath.c_str());
  if (!lpDir) return;
  while (dirent* lpEntry = ::readdir(lpDir)) {
    if (lpEntry->d_name[0] != '.') Run(sPath + "/" + lpEntry->d_name, pnRun);
  }
  ::closedir(lpDir);
}

}  // namespace

int main(int argc, char** argv) {
  size_t nRun = 0;
  for (int i = 1; i < argc; ++i) Run(argv[i], &nRun);
  std::printf("replay: %zu inputs\n", nRun);
  return nRun > 0 ? 0 : 1;
}
