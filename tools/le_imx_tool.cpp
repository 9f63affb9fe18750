// le_imx: packs a bundle directory into an IMX v2 container, lists a
// container's table of contents, or unpacks one the way the library does.
//
//   le_imx pack <bundle-dir> <out.imx>
//   le_imx list <container>
//   le_imx unwrap <container>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "bundle/le_imx.h"

namespace {

// Regular files under `dir`, as "/"-separated names relative to it. Symbolic
// links are followed for files only; hidden files are packed too.
void collect(const std::string& dir, const std::string& rel, std::vector<le::ImxSource>& out) {
  DIR* d = ::opendir(dir.c_str());
  if (!d) throw std::runtime_error("cannot read directory " + dir);
  std::vector<std::string> names;
  while (struct dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
  }
  ::closedir(d);
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    const std::string path = dir + "/" + n;
    const std::string name = rel.empty() ? n : rel + "/" + n;
    struct stat lst;
    if (::lstat(path.c_str(), &lst) != 0) continue;
    if (S_ISDIR(lst.st_mode)) {
      collect(path, name, out);
    } else if (le::fs::isRegularFile(path)) {
      out.push_back({name, path});
    }
  }
}

int pack(const std::string& dir, const std::string& out) {
  if (!le::fs::isDirectory(dir)) throw std::runtime_error("not a directory: " + dir);
  std::vector<le::ImxSource> members;
  collect(le::fs::stripTrailingSlashes(dir), "", members);
  // manifest.json first, so a reader that stops early still sees it.
  std::stable_partition(members.begin(), members.end(),
                        [](const le::ImxSource& m) { return m.name == "manifest.json"; });
  le::writeImxContainer(out, members);
  std::printf("packed %zu members into %s\n", members.size(), out.c_str());
  return 0;
}

int list(const std::string& path) {
  le::fs::File f(path, "rb");
  if (!f) throw std::runtime_error("cannot open container " + path);
  const std::vector<le::ImxEntry> toc = le::readImxToc(f.get(), path);
  std::printf("%-12s %-12s %s\n", "offset", "size", "name");
  uint64_t total = 0;
  for (const le::ImxEntry& e : toc) {
    std::printf("%-12llu %-12llu %s\n", static_cast<unsigned long long>(e.offset),
                static_cast<unsigned long long>(e.size), e.name.c_str());
    total += e.size;
  }
  std::printf("%zu members, %llu payload bytes\n", toc.size(), static_cast<unsigned long long>(total));
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: le_imx pack <bundle-dir> <out.imx>\n"
               "       le_imx list <container>\n"
               "       le_imx unwrap <container>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string cmd = argv[1];
  try {
    if (cmd == "pack" && argc == 4) return pack(argv[2], argv[3]);
    if (cmd == "list" && argc == 3) return list(argv[2]);
    if (cmd == "unwrap" && argc == 3) {
      std::printf("%s\n", le::resolveBundlePath(argv[2]).c_str());
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "le_imx: %s\n", e.what());
    return 1;
  }
  return usage();
}
