// Bundles changed under the library by someone else: an unwrap killed part
// way, a container replaced while its old unpack is mapped.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_fs.h"
#include "bundle/le_identity.h"
#include "bundle/le_imx.h"
#include "imx_fixture.h"
#include "support/error_text.h"
#include "support/test_support.h"

using le::test::imxBytes;
using le::test::RawMember;
using le::test::readWhole;
using le::test::StderrCapture;
using le::test::TempDir;
using le::test::writeFile;

namespace {

// A manifest and eight half-megabyte members whose bytes depend on `seed`.
std::vector<RawMember> members(int seed) {
  std::vector<RawMember> m = {{"manifest.json", "{\"format\":\"le-bundle-v0\",\"seed\":" + std::to_string(seed) + "}"}};
  for (int i = 0; i < 8; ++i) {
    std::string payload(size_t{512} << 10, '\0');
    for (size_t j = 0; j < payload.size(); ++j) payload[j] = static_cast<char>((j * (i + 3) >> 5) + seed);
    m.push_back({"m" + std::to_string(i) + "/pad.bin", payload});
  }
  return m;
}

// Any "*.part" file left in the tree.
bool holdsStagingFiles(const std::string& dir) {
  const std::string listing = [&] {
    std::string cmd = "find '" + dir + "' -name '*.part' 2>/dev/null";
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
      char buf[512];
      while (std::fgets(buf, sizeof buf, p)) out += buf;
      ::pclose(p);
    }
    return out;
  }();
  return !listing.empty();
}

}  // namespace

// The process unpacking is killed at a random moment, over a fresh directory
// or over the unpack of an older container. The next open either finds the
// finished unpack or redoes it: every member it serves is whole and current.
TEST(HostileBundle, UnwrapKilledAtAnyPointIsRedoneOrWhole) {
  TempDir t;
  const std::string container = t / "x.imx";
  const std::string dir = t / "x.lebundle";
  writeFile(container, imxBytes(members(0)));
  StderrCapture quiet;
  const auto t0 = std::chrono::steady_clock::now();
  le::resolveBundlePath(container);
  const auto unwrapUs = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0);

  std::mt19937 rng(3);
  int finished = 0, cut = 0;
  for (int round = 1; round <= 16; ++round) {
    const std::vector<RawMember> want = members(round);
    // Even rounds start from nothing, odd ones replace the previous unpack.
    if (round % 2 == 0) {
      le::fs::rmTree(dir);
      le::fs::rmTree(dir + ".imx_unwrapped");
    }
    writeFile(container, imxBytes(want));
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      try {
        le::resolveBundlePath(container);
      } catch (...) {
        ::_exit(3);
      }
      ::_exit(0);
    }
    ::usleep(std::uniform_int_distribution<unsigned>(0, static_cast<unsigned>(unwrapUs.count() * 3 / 2) + 1)(rng));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_FALSE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << "round " << round;
    (WIFSIGNALED(status) ? cut : finished)++;

    ASSERT_EQ(le::resolveBundlePath(container), dir) << "round " << round;
    for (const RawMember& m : want) ASSERT_EQ(readWhole(dir + "/" + m.name), m.payload) << m.name << ", round " << round;
    EXPECT_FALSE(holdsStagingFiles(dir)) << "round " << round;
  }
  // Both outcomes came up; the kill landed inside unwraps, not only around them.
  EXPECT_GT(cut, 0);
  quiet.text();
  std::printf("unwrap %lld us; killed part way %d times, finished first %d times\n",
              static_cast<long long>(unwrapUs.count()), cut, finished);
}

// In a root others can write to: a link planted at the marker's staging name
// is not written through, and a bundle directory (with or without a marker
// naming this container) that another user owns is refused, never used.
TEST(HostileBundle, WhatOthersPlantInASharedRootIsNeverUsed) {
  TempDir t;
  const std::string container = t / "x.imx";
  writeFile(container, imxBytes(members(1)));
  writeFile(t / "victim", "not yours");
  ASSERT_EQ(::symlink((t / "victim").c_str(), (t / "x.lebundle.imx_unwrapped.part").c_str()), 0);
  StderrCapture quiet;
  EXPECT_EQ(le::resolveBundlePath(container), t / "x.lebundle");
  EXPECT_EQ(readWhole(t / "victim"), "not yours");
  EXPECT_EQ(readWhole(t / "x.lebundle.imx_unwrapped").rfind("x.imx\n", 0), 0u);

  if (::geteuid() != 0) GTEST_SKIP() << "planting another user's files needs root";
  const uid_t other = 65534;
  const std::string refusal = container + ": REFUSING to use " + (t / "x.lebundle") +
                              ", which belongs to another user (uid 65534): whoever owns it can change the "
                              "bundle under this process. Set LE_IMX_UNWRAP_ROOT to a directory of its own";
  // The finished unpack handed over, marker and all.
  ASSERT_EQ(::chown((t / "x.lebundle").c_str(), other, other), 0);
  EXPECT_EQ(le::test::errorOf([&] { le::unwrapOnce(container); }), refusal);
  // Without a marker: not emptied and filled either.
  le::fs::rmTree(t / "x.lebundle.imx_unwrapped");
  EXPECT_EQ(le::test::errorOf([&] { le::unwrapOnce(container); }), refusal);
  EXPECT_TRUE(le::fs::exists(t / "x.lebundle/manifest.json"));
}

// A container replaced and unpacked again while a member of its old unpack is
// mapped: the unwrap places new files by rename, so the mapping keeps reading
// the old bytes whole, and new opens read the new ones.
TEST(HostileBundle, ReunwrapLeavesMappedMembersIntact) {
  TempDir t;
  const std::string container = t / "x.imx";
  StderrCapture quiet;
  writeFile(container, imxBytes(members(1)));
  const std::string dir = le::resolveBundlePath(container);
  const std::string old = members(1)[1].payload;
  le::Mapping mapped = le::mapFile(dir + "/m0/pad.bin", old.size());
  ASSERT_TRUE(mapped);

  ::usleep(20000);  // a later modification time, whatever the file system's granularity
  writeFile(container, imxBytes(members(2)));
  ASSERT_EQ(le::resolveBundlePath(container), dir);
  EXPECT_EQ(readWhole(dir + "/m0/pad.bin"), members(2)[1].payload);
  ASSERT_EQ(mapped.length(), old.size());
  EXPECT_EQ(std::memcmp(mapped.base(), old.data(), old.size()), 0);

  // Grown in place: the old mapping is unaffected, and a new one is refused,
  // its size no longer the one the manifest gives.
  {
    FILE* f = std::fopen((dir + "/m0/pad.bin").c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fputs("grown", f);
    std::fclose(f);
  }
  EXPECT_THROW(le::mapFile(dir + "/m0/pad.bin", old.size()), std::runtime_error);  // size checked at open
}
