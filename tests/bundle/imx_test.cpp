// IMX containers: where they unpack, the marker protocol, broken input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "bundle/le_imx.h"
#include "imx_fixture.h"
#include "support/error_text.h"
#include "support/test_support.h"

using le::test::imxBytes;
using le::test::RawMember;
using le::test::readWhole;
using le::test::ScopedEnv;
using le::test::StderrCapture;
using le::test::TempDir;
using le::test::writeFile;

namespace {

const std::vector<RawMember> kSmall = {
    {"manifest.json", "{\"format\":\"le-bundle-v0\"}"},
    {"a/b/c.bin", "abc"},
    {"empty.bin", ""},
};

std::string unwrapError(const std::string& container) {
  return le::test::errorOf([&] { le::unwrapOnce(container); });
}

}  // namespace

TEST(ImxDetect, OnlyVersionTwoRegularFilesCount) {
  TempDir t;
  writeFile(t / "v2.imx", imxBytes(kSmall));
  writeFile(t / "v1.imx", imxBytes(kSmall, 1));
  writeFile(t / "short.imx", std::string("IMX\0\2\0", 6));
  writeFile(t / "text.imx", "hello world, not a container");
  le::fs::mkdirs(t / "dir.imx");
  EXPECT_TRUE(le::isImxV2File(t / "v2.imx"));
  EXPECT_FALSE(le::isImxV2File(t / "v1.imx"));
  EXPECT_FALSE(le::isImxV2File(t / "short.imx"));
  EXPECT_FALSE(le::isImxV2File(t / "text.imx"));
  EXPECT_FALSE(le::isImxV2File(t / "dir.imx"));
  EXPECT_FALSE(le::isImxV2File(t / "missing.imx"));
}

TEST(ImxResolve, SuffixRulesAndUnwrapRoot) {
  TempDir t;
  writeFile(t / "x.imx", imxBytes(kSmall));
  writeFile(t / "y.lebundle.imx", imxBytes(kSmall));
  writeFile(t / "blob", imxBytes(kSmall));
  writeFile(t / "z.imx", imxBytes(kSmall));

  EXPECT_EQ(le::resolveBundlePath(t / "x.imx"), t / "x.lebundle");
  EXPECT_EQ(le::resolveBundlePath(t / "y.lebundle.imx"), t / "y.lebundle");
  // A container without the suffix is still recognised by its header.
  EXPECT_EQ(le::resolveBundlePath(t / "blob"), t / "blob.lebundle");
  // "z" and "z/" find z.imx beside them.
  EXPECT_EQ(le::resolveBundlePath(t / "z"), t / "z.lebundle");
  EXPECT_EQ(le::resolveBundlePath(t / "z/"), t / "z.lebundle");

  TempDir root;
  ScopedEnv env("LE_IMX_UNWRAP_ROOT", (root.path() + "/u///").c_str());
  EXPECT_EQ(le::resolveBundlePath(t / "x.imx"), root.path() + "/u/x.lebundle");
  EXPECT_EQ(readWhole(root.path() + "/u/x.lebundle/a/b/c.bin"), "abc");
  ScopedEnv empty("LE_IMX_UNWRAP_ROOT", "");
  EXPECT_EQ(le::imxUnwrapDir(t / "x.imx"), t / "x.lebundle");
}

TEST(ImxResolve, NonContainersAreReturnedUnchanged) {
  TempDir t;
  le::fs::mkdirs(t / "agent");
  writeFile(t / "agent.imx", imxBytes(kSmall));
  // A directory wins even when a container of the same name sits beside it.
  EXPECT_EQ(le::resolveBundlePath(t / "agent"), t / "agent");
  EXPECT_FALSE(le::fs::exists(t / "agent.lebundle"));
  EXPECT_EQ(le::resolveBundlePath(t / "missing"), t / "missing");
  EXPECT_EQ(le::resolveBundlePath(""), "");
  writeFile(t / "text", "IMX but no magic");
  EXPECT_EQ(le::resolveBundlePath(t / "text"), t / "text");
}

TEST(ImxResolve, FilesWithTheMagicGetTheContainersMessages) {
  TempDir t;
  auto resolveError = [](const std::string& handle) -> std::string {
    try {
      return "(resolved to " + le::resolveBundlePath(handle) + ")";
    } catch (const std::runtime_error& e) {
      return e.what();
    }
  };
  writeFile(t / "v1.imx", imxBytes(kSmall, 1));
  writeFile(t / "v3", imxBytes(kSmall, 3));
  writeFile(t / "agent.imx", imxBytes(kSmall, 3));
  writeFile(t / "four.imx", std::string("IMX\0", 4));
  EXPECT_EQ(resolveError(t / "v1.imx"), (t / "v1.imx") + ": unsupported IMX container version 1");
  EXPECT_EQ(resolveError(t / "v3"), (t / "v3") + ": unsupported IMX container version 3");
  EXPECT_EQ(resolveError(t / "agent"), (t / "agent.imx") + ": unsupported IMX container version 3");
  EXPECT_EQ(resolveError(t / "four.imx"), (t / "four.imx") + ": not an IMX\\0 container");
  // Refused before anything is unpacked.
  for (const char* dir : {"v1.lebundle", "v3.lebundle", "agent.lebundle", "four.lebundle"})
    EXPECT_FALSE(le::fs::exists(t / dir)) << dir;
}

TEST(ImxResolve, TheUnwrapNeverRemovesWhatItDidNotCreate) {
  TempDir t;
  const std::string bytes = imxBytes(kSmall);
  auto refusal = [](const std::string& c, const std::string& dir, const std::string& what) {
    return c + ": REFUSING to unwrap into " + dir + ", which " + what +
           ": unwrapping would delete it. Give the container the .imx suffix or set "
           "LE_IMX_UNWRAP_ROOT to another directory";
  };
  // A container named like its own bundle directory, however it is spelled.
  writeFile(t / "anna.lebundle", bytes);
  EXPECT_EQ(unwrapError(t / "anna.lebundle"),
            refusal(t / "anna.lebundle", t / "anna.lebundle", "is the container itself"));
  EXPECT_EQ(unwrapError(t / "./anna.lebundle"),
            refusal(t / "./anna.lebundle", t / "./anna.lebundle", "is the container itself"));
  EXPECT_EQ(readWhole(t / "anna.lebundle"), bytes);
  EXPECT_FALSE(le::fs::exists(t / "anna.lebundle.imx_unwrapped"));

  // Another file where the directory would go, or a link.
  TempDir root;
  ScopedEnv env("LE_IMX_UNWRAP_ROOT", root.path().c_str());
  writeFile(root / "carl.lebundle", "someone's file");
  writeFile(t / "carl.imx", bytes);
  EXPECT_EQ(unwrapError(t / "carl.imx"),
            refusal(t / "carl.imx", root / "carl.lebundle", "exists and is not a directory"));
  EXPECT_EQ(readWhole(root / "carl.lebundle"), "someone's file");

  // The unwrap root holds a directory that holds the container.
  writeFile(root / "bob.lebundle/bob.imx", bytes);
  EXPECT_EQ(unwrapError(root / "bob.lebundle/bob.imx"),
            refusal(root / "bob.lebundle/bob.imx", root / "bob.lebundle", "holds the container"));
  EXPECT_EQ(readWhole(root / "bob.lebundle/bob.imx"), bytes);
}

TEST(ImxUnwrap, WritesMembersMarkerAndLogLine) {
  TempDir t;
  writeFile(t / "x.imx", imxBytes(kSmall));
  StderrCapture err;
  const std::string dir = le::resolveBundlePath(t / "x.imx");
  const std::string log = err.text();
  EXPECT_EQ(readWhole(dir + "/manifest.json"), "{\"format\":\"le-bundle-v0\"}");
  EXPECT_EQ(readWhole(dir + "/a/b/c.bin"), "abc");
  EXPECT_TRUE(le::fs::isRegularFile(dir + "/empty.bin"));
  EXPECT_EQ(readWhole(dir + "/empty.bin"), "");
  // The marker's first line is the container's file name; the lines after it
  // record which container, as it was, the unpack came from.
  const std::string marker = readWhole(dir + ".imx_unwrapped");
  EXPECT_EQ(marker.substr(0, marker.find('\n')), "x.imx");
  EXPECT_NE(marker.find("\npath=" + (t / "x.imx") + "\nsize=" +
                        std::to_string(imxBytes(kSmall).size()) + "\nmtime="),
            std::string::npos)
      << marker;
  EXPECT_EQ(log, "[le] unwrapped " + (t / "x.imx") + " -> " + dir + "\n");
  EXPECT_FALSE(le::fs::exists(dir + "/a/b/c.bin.part"));
}

TEST(ImxUnwrap, MarkerMeansTheContainerIsNotReopened) {
  TempDir t;
  writeFile(t / "x.imx", imxBytes(kSmall));
  const std::string dir = le::resolveBundlePath(t / "x.imx");
  // Damage both the container's contents (keeping its size and time, as the
  // marker records them) and the unpacked tree: a marked bundle is reused as
  // it stands, and nothing is written.
  struct stat before;
  ASSERT_EQ(::stat((t / "x.imx").c_str(), &before), 0);
  std::string bytes = imxBytes(kSmall);
  bytes[7] = 9;  // member count no longer matches the table
  writeFile(t / "x.imx", bytes);
  const struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (t / "x.imx").c_str(), times, 0), 0);
  std::remove((dir + "/a/b/c.bin").c_str());
  StderrCapture err;
  EXPECT_EQ(le::resolveBundlePath(t / "x.imx"), dir);
  EXPECT_EQ(err.text(), "");
  EXPECT_FALSE(le::fs::exists(dir + "/a/b/c.bin"));
  // Deleting the marker forces a fresh unwrap of the (now broken) container.
  std::remove((dir + ".imx_unwrapped").c_str());
  EXPECT_THROW(le::resolveBundlePath(t / "x.imx"), std::runtime_error);
}

TEST(ImxUnwrap, FailedRedoAfterDeletingTheDirectoryLeavesNoMarker) {
  TempDir t;
  const std::string good = imxBytes({{"m0.bin", "0123456789"}, {"m1.bin", "abcdef"}});
  writeFile(t / "x.imx", good);
  const std::string dir = le::resolveBundlePath(t / "x.imx");
  ASSERT_TRUE(le::fs::exists(dir + ".imx_unwrapped"));
  // The directory goes, the marker stays; the container is now cut short in
  // its second payload, so the redo fails after writing the first member.
  le::fs::rmTree(dir);
  writeFile(t / "x.imx", good.substr(0, good.size() - 2));
  EXPECT_EQ(unwrapError(t / "x.imx"), (t / "x.imx") + ": truncated payload for member m1.bin");
  EXPECT_FALSE(le::fs::exists(dir + ".imx_unwrapped"));
  // So the next open tries again instead of handing out the partial tree.
  EXPECT_THROW(le::resolveBundlePath(t / "x.imx"), std::runtime_error);
}

TEST(ImxUnwrap, InterruptedUnwrapIsRedoneFromScratch) {
  TempDir t;
  writeFile(t / "x.imx", imxBytes(kSmall));
  writeFile(t / "x.lebundle/stale.bin", "left over");
  writeFile(t / "x.lebundle/a/b/c.bin.part", "half");
  const std::string dir = le::resolveBundlePath(t / "x.imx");
  EXPECT_FALSE(le::fs::exists(dir + "/stale.bin"));
  EXPECT_FALSE(le::fs::exists(dir + "/a/b/c.bin.part"));
  EXPECT_EQ(readWhole(dir + "/a/b/c.bin"), "abc");
}

TEST(ImxUnwrap, PlaceholderManifestIsSkippedOnlyInItsSizeRange) {
  TempDir t;
  writeFile(t / "p.imx", imxBytes({{"manifest.json", "{\"_imx_synthetic_manifest\":1}"},
                                    {"x.bin", "x"}}));
  const std::string p = le::resolveBundlePath(t / "p.imx");
  EXPECT_FALSE(le::fs::exists(p + "/manifest.json"));
  EXPECT_EQ(readWhole(p + "/x.bin"), "x");

  // The tag elsewhere, or in a member of another name, is ordinary data.
  writeFile(t / "q.imx", imxBytes({{"notes/manifest.json", "_imx_synthetic_manifest"}}));
  EXPECT_EQ(readWhole(le::resolveBundlePath(t / "q.imx") + "/notes/manifest.json"),
            "_imx_synthetic_manifest");

  // Above 4 MiB the payload is not inspected, so it is written.
  std::string big(size_t{4} << 20, ' ');
  big += "_imx_synthetic_manifest";
  writeFile(t / "r.imx", imxBytes({{"manifest.json", big}}));
  EXPECT_EQ(readWhole(le::resolveBundlePath(t / "r.imx") + "/manifest.json").size(), big.size());

  // Exactly 4 MiB is still a placeholder candidate.
  std::string edge(size_t{4} << 20, ' ');
  edge.replace(0, 23, "_imx_synthetic_manifest");
  writeFile(t / "s.imx", imxBytes({{"manifest.json", edge}}));
  EXPECT_FALSE(le::fs::exists(le::resolveBundlePath(t / "s.imx") + "/manifest.json"));
}

TEST(ImxUnwrap, EmptyContainerAndLargeMembers) {
  TempDir t;
  writeFile(t / "e.imx", imxBytes({}));
  const std::string e = le::resolveBundlePath(t / "e.imx");
  EXPECT_TRUE(le::fs::isDirectory(e));
  EXPECT_TRUE(le::fs::exists(e + ".imx_unwrapped"));

  // Larger than the copy buffer: the payload crosses chunk boundaries.
  std::string big((size_t{8} << 20) * 2 + 12345, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) >> 3);
  writeFile(t / "b.imx", imxBytes({{"big.bin", big}, {"after.bin", "tail"}}));
  const std::string b = le::resolveBundlePath(t / "b.imx");
  EXPECT_TRUE(readWhole(b + "/big.bin") == big);
  EXPECT_EQ(readWhole(b + "/after.bin"), "tail");
}

TEST(ImxUnwrap, UnsafeMemberNamesAreRefused) {
  const std::vector<std::string> unsafe = {"../a", "/a", "a\\b", "\\a", "a/../b", "..",
                                           std::string("a\0b", 3), "x/..hidden"};
  for (const std::string& name : unsafe) {
    TempDir t;
    writeFile(t / "u.imx", imxBytes({{name, "evil"}}));
    std::string shown = name;
    if (shown.find('\0') != std::string::npos) shown = "a\\0b";
    EXPECT_EQ(unwrapError(t / "u.imx"),
              (t / "u.imx") + ": refusing unsafe member name '" + shown + "'");
    EXPECT_FALSE(le::fs::exists(t / "u.lebundle.imx_unwrapped"));
    EXPECT_FALSE(le::fs::exists(t / "a"));
  }
  // Dots inside a component are fine.
  TempDir t;
  writeFile(t / "ok.imx", imxBytes({{"a.b/c.d.bin", "fine"}}));
  EXPECT_EQ(readWhole(le::resolveBundlePath(t / "ok.imx") + "/a.b/c.d.bin"), "fine");
  // A member named like another member's staging file survives it.
  writeFile(t / "p.imx", imxBytes({{"a.part.part", "2"}, {"a.part", "1"}, {"a", "0"}}));
  const std::string p = le::resolveBundlePath(t / "p.imx");
  EXPECT_EQ(readWhole(p + "/a"), "0");
  EXPECT_EQ(readWhole(p + "/a.part"), "1");
  EXPECT_EQ(readWhole(p + "/a.part.part"), "2");
  EXPECT_FALSE(le::fs::exists(p + "/a.part.part.part"));
}

TEST(ImxUnwrap, BrokenContainersNameWhatIsWrongAndLeaveNoMarker) {
  TempDir t;
  const std::string good = imxBytes({{"m0.bin", "0123456789"}, {"m1.bin", "abcdef"}});
  const size_t tocEnd = 8 + (2 + 6 + 16) * 2;
  struct Case {
    std::string bytes;
    std::string message;
  };
  std::string badMagic = good;
  badMagic[0] = 'J';
  std::string v3 = good;
  v3[4] = 3;
  std::string v1 = good;
  v1[4] = 1;
  const std::string c = t / "c.imx";
  const std::vector<Case> cases = {
      {good.substr(0, 5), c + ": not an IMX\\0 container"},
      {badMagic, c + ": not an IMX\\0 container"},
      {v1, c + ": unsupported IMX container version 1"},
      {v3, c + ": unsupported IMX container version 3"},
      {good.substr(0, 8), c + ": truncated TOC at member 0"},
      {good.substr(0, 8 + 24 + 1), c + ": truncated TOC at member 1"},
      {good.substr(0, 8 + 24 + 2 + 3), c + ": truncated member name at 1"},
      {good.substr(0, 8 + 24 + 2 + 6 + 15), c + ": truncated TOC offsets at member m1.bin"},
      {good.substr(0, tocEnd + 13), c + ": truncated payload for member m1.bin"},
  };
  for (const Case& k : cases) {
    writeFile(c, k.bytes);
    EXPECT_EQ(unwrapError(c), k.message);
    EXPECT_FALSE(le::fs::exists(t / "c.lebundle.imx_unwrapped")) << k.message;
  }
  // The next open after a repair starts from scratch and succeeds.
  writeFile(c, good);
  const std::string dir = le::resolveBundlePath(c);
  EXPECT_EQ(readWhole(dir + "/m0.bin"), "0123456789");
  EXPECT_EQ(readWhole(dir + "/m1.bin"), "abcdef");
}

TEST(ImxUnwrap, OffsetsPastTheEndAreTruncatedPayloads) {
  TempDir t;
  std::string bytes = imxBytes({{"m.bin", "data"}});
  // Point the payload far past the end of the file.
  const size_t offsetAt = 8 + 2 + 5;
  for (int i = 0; i < 8; ++i) bytes[offsetAt + i] = static_cast<char>(i == 4 ? 1 : 0);
  writeFile(t / "o.imx", bytes);
  EXPECT_EQ(unwrapError(t / "o.imx"), (t / "o.imx") + ": truncated payload for member m.bin");
}

TEST(ImxUnwrap, UnwritableTargetsFailWithTheirMessages) {
  TempDir t;
  // "a" as a file, then "a/b" needs "a" as a directory.
  writeFile(t / "c.imx", imxBytes({{"a", "file"}, {"a/b", "x"}}));
  EXPECT_EQ(unwrapError(t / "c.imx"), "cannot create " + (t / "c.lebundle/a"));
  // A member named like an existing directory cannot be placed.
  writeFile(t / "d.imx", imxBytes({{"a/b", "x"}, {"a", "file"}}));
  EXPECT_EQ(unwrapError(t / "d.imx"), "cannot place member " + (t / "d.lebundle/a"));
  EXPECT_FALSE(le::fs::exists(t / "d.lebundle/a.part"));
}

TEST(ImxUnwrap, ConcurrentOpensUnwrapOnce) {
  TempDir t;
  writeFile(t / "x.imx", imxBytes(kSmall));
  StderrCapture err;
  std::vector<std::thread> ts;
  std::atomic<int> ok{0};
  for (int i = 0; i < 6; ++i)
    ts.emplace_back([&] {
      if (le::resolveBundlePath(t / "x.imx") == t / "x.lebundle") ++ok;
    });
  for (auto& th : ts) th.join();
  const std::string log = err.text();
  EXPECT_EQ(ok.load(), 6);
  EXPECT_EQ(log.find("[le] unwrapped"), log.rfind("[le] unwrapped"));
}

TEST(ImxUnwrap, ProcessesUnwrappingAtOnceEachGetTheWholeBundle) {
  std::vector<RawMember> members = {{"manifest.json", "{\"format\":\"le-bundle-v0\"}"}};
  for (int i = 0; i < 4; ++i) {
    std::string payload(size_t{1} << 20, '\0');
    for (size_t j = 0; j < payload.size(); ++j) payload[j] = static_cast<char>(j * (i + 3) >> 7);
    members.push_back({"m" + std::to_string(i) + "/pad.bin", payload});
  }
  TempDir t;
  for (int round = 0; round < 3; ++round) {
    writeFile(t / "x.imx", imxBytes(members));
    le::fs::rmTree(t / "x.lebundle");
    le::fs::rmTree(t / "x.lebundle.imx_unwrapped");
    int gate[2];
    ASSERT_EQ(::pipe(gate), 0);
    StderrCapture err;
    std::vector<pid_t> kids;
    for (int k = 0; k < 4; ++k) {
      const pid_t pid = ::fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        ::close(gate[1]);
        char c;
        (void)!::read(gate[0], &c, 1);  // all start together when the gate closes
        int code = 0;
        try {
          const std::string dir = le::resolveBundlePath(t / "x.imx");
          if (dir != t / "x.lebundle") code = 2;
          for (const RawMember& m : members)
            if (code == 0 && readWhole(dir + "/" + m.name) != m.payload) code = 3;
        } catch (const std::exception& e) {
          std::fprintf(stderr, "child: %s\n", e.what());
          code = 4;
        }
        ::_exit(code);
      }
      kids.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t pid : kids) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid, &status, 0), pid);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "round " << round;
    }
    const std::string log = err.text();
    EXPECT_EQ(log.find("child:"), std::string::npos) << log;
    // Exactly one process unpacked; the others found its marker.
    EXPECT_NE(log.find("[le] unwrapped"), std::string::npos) << log;
    EXPECT_EQ(log.find("[le] unwrapped"), log.rfind("[le] unwrapped")) << log;
  }
}

TEST(ImxUnwrap, AnUnpackBelongsToTheContainerItsMarkerRecords) {
  TempDir t;
  TempDir root;
  ScopedEnv env("LE_IMX_UNWRAP_ROOT", root.path().c_str());
  writeFile(t / "a/anna.imx", imxBytes({{"who.txt", "anna from a"}}));
  writeFile(t / "b/anna.imx", imxBytes({{"who.txt", "anna from b"}}));
  const std::string dir = root / "anna.lebundle";
  ASSERT_EQ(le::resolveBundlePath(t / "a/anna.imx"), dir);

  // Another container of the same name, while the first one exists: refused.
  EXPECT_EQ(unwrapError(t / "b/anna.imx"),
            (t / "b/anna.imx") + ": REFUSING to unwrap into " + dir +
                ", which holds the unpacked container " + (t / "a/anna.imx") + " (recorded in " +
                dir + ".imx_unwrapped); a host opening either would render the other's avatar. "
                "Set LE_IMX_UNWRAP_ROOT to a directory of its own, or rename one of them");
  EXPECT_EQ(readWhole(dir + "/who.txt"), "anna from a");
  EXPECT_EQ(le::resolveBundlePath(t / "a/anna.imx"), dir);

  // The first container replaced by a different one: its unpack is redone.
  writeFile(t / "a/anna.imx", imxBytes({{"who.txt", "anna, second take"}}));
  EXPECT_EQ(le::resolveBundlePath(t / "a/anna.imx"), dir);
  EXPECT_EQ(readWhole(dir + "/who.txt"), "anna, second take");

  // Once the recorded container is gone, its unpack is out of date.
  std::remove((t / "a/anna.imx").c_str());
  EXPECT_EQ(le::resolveBundlePath(t / "b/anna.imx"), dir);
  EXPECT_EQ(readWhole(dir + "/who.txt"), "anna from b");

  // A marker from before markers recorded their container holds the file
  // name alone: trusted for that name, out of date for any other.
  writeFile(dir + ".imx_unwrapped", "anna.imx");
  writeFile(dir + "/who.txt", "kept");
  EXPECT_EQ(le::resolveBundlePath(t / "b/anna.imx"), dir);
  EXPECT_EQ(readWhole(dir + "/who.txt"), "kept");
  writeFile(t / "b/anna.lebundle.imx", imxBytes({{"who.txt", "renamed"}}));
  EXPECT_EQ(le::resolveBundlePath(t / "b/anna.lebundle.imx"), dir);
  EXPECT_EQ(readWhole(dir + "/who.txt"), "renamed");
}

TEST(ImxWrite, PackedContainersRoundTrip) {
  TempDir t;
  writeFile(t / "src/manifest.json", "{}");
  writeFile(t / "src/drive/xs.f32", std::string(100, '\x01'));
  le::writeImxContainer(t / "out.imx", {{"manifest.json", t / "src/manifest.json"},
                                        {"drive/xs.f32", t / "src/drive/xs.f32"}});
  le::fs::File f(t / "out.imx", "rb");
  const auto toc = le::readImxToc(f.get(), t / "out.imx");
  ASSERT_EQ(toc.size(), 2u);
  EXPECT_EQ(toc[1].name, "drive/xs.f32");
  EXPECT_EQ(toc[1].size, 100u);
  const std::string dir = le::resolveBundlePath(t / "out.imx");
  EXPECT_EQ(readWhole(dir + "/drive/xs.f32"), std::string(100, '\x01'));

  EXPECT_THROW(le::writeImxContainer(t / "bad.imx", {{"../x", t / "src/manifest.json"}}),
               std::runtime_error);
  EXPECT_THROW(le::writeImxContainer(t / "bad.imx", {{"x", t / "src/missing"}}),
               std::runtime_error);
  EXPECT_FALSE(le::fs::exists(t / "bad.imx"));
  EXPECT_FALSE(le::fs::exists(t / "bad.imx.part"));
}
