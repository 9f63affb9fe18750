// Runs a fuzzer's entry point over every file of a corpus directory, so the
// stored inputs replay as an ordinary test without libFuzzer.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  int files = 0;
  for (int a = 1; a < argc; ++a) {
    DIR* d = opendir(argv[a]);
    if (!d) {
      std::fprintf(stderr, "replay: cannot open corpus %s\n", argv[a]);
      return 1;
    }
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream f(std::string(argv[a]) + "/" + e->d_name, std::ios::binary);
      std::vector<char> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
      ++files;
    }
    closedir(d);
  }
  std::printf("replayed %d inputs\n", files);
  return files > 0 ? 0 : 1;
}
