// Identity over a bundle whose warp prior is the HEVC member.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bundle/le_identity.h"
#include "driver/le_driver.h"
#include "driver/le_moviedec_ff.h"
#include "media.h"
#include "support/bundle_writer.h"

using le::test::media;
using le::test::StderrCapture;
using le::test::TempDir;
using ::testing::HasSubstr;

namespace {

const std::string kPriorBackend = "hevc444/libavcodec " + le::movieDecoderVersion() + " hevc";

struct HevcIdentityBundle {
  explicit HevcIdentityBundle(const char* stored = "P_hevc.mov") {
    le::test::BundleSpec s;
    s.NT = 12;
    s.crop = 32;
    s.extra = "  \"P_hevc\": \"P_hevc.mov\",\n";
    le::test::IdentityFiles files;
    files.P = false;
    le::test::writeBundle(t.path(), s, files);
    le::test::writeFile(t / stored, le::test::readWhole(media("prior444.mov")));
  }
  TempDir t;
};

bool holdsPrior(const uint16_t* row, int f) {
  const std::vector<uint16_t> want = le::test::expectedPrior(f);
  return std::memcmp(row, want.data(), want.size() * 2) == 0;
}

}  // namespace

TEST(IdentityPrior, RowsComeFromTheCursorCreatedOnFirstUse) {
  for (const char* stored : {"P_hevc.mov", "source_frames.hevc"}) {
    HevcIdentityBundle b(stored);
    StderrCapture err;
    {
      le::Identity id(le::loadManifest(b.t.path()));
      EXPECT_FALSE(id.hasMappedP());
      EXPECT_EQ(id.priorPath(), b.t / stored);
      EXPECT_EQ(id.priorSeeks(), 0u);
      EXPECT_EQ(id.priorResidentBytes(), 0u);  // nothing opened yet
      EXPECT_TRUE(holdsPrior(id.P(4), 4));
      EXPECT_EQ(id.priorBackend(), kPriorBackend);
      EXPECT_GT(id.priorResidentBytes(), 14u * 32 * 32 * 6);  // ring of 2 + 11 + 1 rows and more
      // Walking in order costs no seek; revisiting one of the last 11 neither.
      for (int i = 5; i < 12; ++i) id.walkP(i);
      EXPECT_TRUE(holdsPrior(id.P(6), 6));
      EXPECT_TRUE(holdsPrior(id.P(7), 7));
      const uint64_t seeksBefore = id.priorSeeks();
      EXPECT_TRUE(holdsPrior(id.P(2), 2));  // behind the history: one seek
      EXPECT_EQ(id.priorSeeks(), seeksBefore + 1);
      EXPECT_THAT(le::test::errorOf([&] { id.P(12); }), HasSubstr("row 12 outside [0,12)"));
    }
    const std::string log = err.text();
    EXPECT_THAT(log, HasSubstr("[le-prior] P_hevc.mov decoded IN PLACE (" + kPriorBackend +
                               ", 12 frames 32x32 f16 CHW, look-ahead 2, history 11)"));
    EXPECT_THAT(log, HasSubstr("[le-prior] closed: 2 source seek(s) over the session (" +
                               kPriorBackend + ")\n"));
  }
}

TEST(IdentityPrior, NoCloseLineWithoutACursor) {
  HevcIdentityBundle b;
  StderrCapture err;
  { le::Identity id(le::loadManifest(b.t.path())); }
  EXPECT_EQ(err.text().find("[le-prior]"), std::string::npos);
}

TEST(IdentityPrior, ConcurrentFirstUseCreatesOneCursor) {
  HevcIdentityBundle b;
  StderrCapture err;
  {
    le::Identity id(le::loadManifest(b.t.path()));
    std::vector<std::thread> threads;
    std::vector<le::DriverCursor*> seen(4, nullptr);
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        seen[t] = &id.prior();
        id.walkP(t);
      });
    for (auto& th : threads) th.join();
    for (le::DriverCursor* c : seen) EXPECT_EQ(c, seen[0]);
  }
  const std::string log = err.text();
  size_t opened = 0;
  for (size_t at = log.find("decoded IN PLACE"); at != std::string::npos;
       at = log.find("decoded IN PLACE", at + 1))
    ++opened;
  EXPECT_EQ(opened, 1u);
}
