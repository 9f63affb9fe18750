// The le_prior_* C functions.
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "driver/le_moviedec_ff.h"
#include "le/le.h"
#include "media.h"
#include "support/bundle_writer.h"
#include "support/test_support.h"

using le::test::media;
using le::test::TempDir;
using ::testing::StartsWith;

namespace {

struct PriorBundle {
  PriorBundle() {
    le::test::BundleSpec s;
    s.NT = 12;
    s.crop = 32;
    le::test::writeFile(t / "manifest.json", le::test::manifestJson(s));
    le::test::writeFile(t / "P_hevc.mov", le::test::readWhole(media("prior444.mov")));
  }
  TempDir t;
};

constexpr size_t kRowBytes = 32 * 32 * 3 * 2;

}  // namespace

TEST(PriorCApi, RowsAreTheDecodedPrior) {
  PriorBundle b;
  le_prior* p = le_prior_open(b.t.path().c_str(), 0, -1);  // defaults: look-ahead 2, history 0
  ASSERT_NE(p, nullptr) << le_last_error();
  EXPECT_STREQ(le_last_error(), "");
  EXPECT_EQ(le_prior_row_bytes(p), kRowBytes);
  EXPECT_EQ(std::string(le_prior_backend(p)),
            "hevc444/libavcodec " + le::movieDecoderVersion() + " hevc");
  std::vector<uint8_t> row(kRowBytes + 16, 0xAB);
  for (int si : {0, 1, 7, 3, 11}) {
    ASSERT_EQ(le_prior_row(p, si, row.data(), row.size()), 1) << le_last_error();
    const std::vector<uint16_t> want = le::test::expectedPrior(si);
    EXPECT_EQ(std::memcmp(row.data(), want.data(), kRowBytes), 0) << si;
    EXPECT_EQ(row[kRowBytes], 0xAB);  // nothing written past the row
  }
  le_prior_close(p);
}

TEST(PriorCApi, ArgumentAndRangeErrors) {
  EXPECT_EQ(le_prior_open(nullptr, 2, 2), nullptr);
  EXPECT_STREQ(le_last_error(), "le_prior_open: NULL bundle_dir");
  TempDir empty;
  EXPECT_EQ(le_prior_open(empty.path().c_str(), 2, 2), nullptr);
  EXPECT_EQ(std::string(le_last_error()), "le_prior_open: cannot open " + (empty / "manifest.json"));

  PriorBundle b;
  le_prior* p = le_prior_open(b.t.path().c_str(), 2, 4);
  ASSERT_NE(p, nullptr);
  std::vector<uint8_t> row(kRowBytes);
  EXPECT_EQ(le_prior_row(p, 0, row.data(), kRowBytes - 1), 0);
  EXPECT_EQ(std::string(le_last_error()),
            "le_prior_row: cap " + std::to_string(kRowBytes - 1) + " < row bytes " + std::to_string(kRowBytes));
  EXPECT_EQ(le_prior_row(p, 0, nullptr, kRowBytes), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: NULL prior/out");
  EXPECT_EQ(le_prior_row(nullptr, 0, row.data(), kRowBytes), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: NULL prior/out");
  EXPECT_EQ(le_prior_row(p, 12, row.data(), kRowBytes), 0);
  EXPECT_STREQ(le_last_error(), "le_prior_row: le_driver: seek(12) outside [0,12)");
  // A success clears the message, and the handle is still healthy.
  EXPECT_EQ(le_prior_row(p, 4, row.data(), kRowBytes), 1);
  EXPECT_STREQ(le_last_error(), "");
  le_prior_close(p);

  EXPECT_EQ(le_prior_row_bytes(nullptr), 0u);
  EXPECT_STREQ(le_prior_backend(nullptr), "");
  le_prior_close(nullptr);
}

TEST(PriorCApi, LookAheadAndHistoryAreClampedToTheRows) {
  PriorBundle b;
  struct Case {
    int lookAhead, history;
    const char* ring;
  };
  for (const Case& c : {Case{5000, 5000, "look-ahead 11, history 0"},
                        Case{5, 100, "look-ahead 5, history 6"}, Case{0, 9, "look-ahead 2, history 9"}}) {
    le::test::StderrCapture err;
    le_prior* p = le_prior_open(b.t.path().c_str(), c.lookAhead, c.history);
    const std::string log = err.text();
    ASSERT_NE(p, nullptr) << le_last_error();
    EXPECT_NE(log.find(std::string("frames 32x32 f16 CHW, ") + c.ring + ")"), std::string::npos) << log;
    std::vector<uint8_t> row(kRowBytes);
    for (int si : {11, 0, 5, 5, 4}) {
      ASSERT_EQ(le_prior_row(p, si, row.data(), row.size()), 1) << le_last_error();
      EXPECT_EQ(std::memcmp(row.data(), le::test::expectedPrior(si).data(), kRowBytes), 0) << si;
    }
    le_prior_close(p);
  }
}

TEST(PriorCApi, BundleWithoutAPriorIsRefused) {
  PriorBundle b;
  std::remove((b.t / "P_hevc.mov").c_str());
  EXPECT_EQ(le_prior_open(b.t.path().c_str(), 2, 2), nullptr);
  EXPECT_THAT(le_last_error(), StartsWith("le_prior_open: this bundle carries neither a raw P.f16 nor P_hevc.mov"));
}

TEST(PriorCApi, SharedHandleAcrossThreads) {
  PriorBundle b;
  le_prior* p = le_prior_open(b.t.path().c_str(), 2, 3);
  ASSERT_NE(p, nullptr);
  std::vector<std::vector<uint16_t>> want;
  for (int si = 0; si < 12; ++si) want.push_back(le::test::expectedPrior(si));
  std::vector<int> bad(3, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t)
    threads.emplace_back([&, t] {
      std::vector<uint8_t> row(kRowBytes);
      for (int n = 0; n < 24; ++n) {
        const int si = (n * (t + 1) + t) % 12;
        if (le_prior_row(p, si, row.data(), row.size()) != 1 ||
            std::memcmp(row.data(), want[si].data(), kRowBytes) != 0)
          ++bad[t];
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, std::vector<int>(3, 0));
  le_prior_close(p);
}
