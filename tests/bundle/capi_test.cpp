// The bundle entry points of the C interface.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "core/le_error.h"
#include "imx_fixture.h"
#include "le/le.h"
#include "support/test_support.h"

using le::test::imxBytes;
using le::test::StderrCapture;
using le::test::TempDir;
using le::test::writeFile;

TEST(ResolveHandleC, CopiesThePathOrFailsCleanly) {
  TempDir t;
  writeFile(t / "x.imx", imxBytes({{"manifest.json", "{}"}}));
  const std::string want = t / "x.lebundle";
  char out[4096];
  StderrCapture err;
  le::capi::setError(le::capi::Family::Core, "stale");
  ASSERT_EQ(le_bundle_resolve_handle((t / "x").c_str(), out, sizeof out), 1);
  EXPECT_EQ(std::string(out), want);
  EXPECT_STREQ(le_last_error(), "");

  // No room for the terminating zero.
  std::string small(want.size(), 'z');
  EXPECT_EQ(le_bundle_resolve_handle((t / "x").c_str(), &small[0], want.size()), -1);
  EXPECT_EQ(small[0], '\0');
  EXPECT_STREQ(le_last_error(), "le_bundle_resolve_handle: buffer too small");
  char exact[4096];
  EXPECT_EQ(le_bundle_resolve_handle((t / "x").c_str(), exact, want.size() + 1), 1);

  // Bad arguments: -1, nothing written, and the cleared message stays empty.
  out[0] = 'q';
  EXPECT_EQ(le_bundle_resolve_handle(nullptr, out, sizeof out), -1);
  EXPECT_EQ(le_bundle_resolve_handle("x", nullptr, 10), -1);
  EXPECT_EQ(le_bundle_resolve_handle("x", out, 0), -1);
  EXPECT_EQ(out[0], 'q');
  EXPECT_STREQ(le_last_error(), "");
}

TEST(ResolveHandleC, BrokenContainerReportsTheUnwrapMessage) {
  TempDir t;
  writeFile(t / "b.imx", imxBytes({{"../escape", "x"}}));
  char out[4096] = "junk";
  EXPECT_EQ(le_bundle_resolve_handle((t / "b.imx").c_str(), out, sizeof out), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(std::string(le_last_error()),
            "le_bundle_resolve_handle: " + (t / "b.imx") + ": refusing unsafe member name '../escape'");
}

TEST(ResolveMemberC, ReportsPresenceAndNeverTouchesTheMessage) {
  TempDir t;
  writeFile(t / "source_frames.f16", "P");
  char out[4096];
  le::capi::setError(le::capi::Family::Core, "keep me");
  EXPECT_EQ(le_bundle_resolve_member(t.path().c_str(), "P.f16", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), t / "source_frames.f16");
  EXPECT_EQ(le_bundle_resolve_member(t.path().c_str(), "M.f32", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), t / "M.f32");
  EXPECT_EQ(le_bundle_resolve_member(t.path().c_str(), "M.f32", out, 3), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(le_bundle_resolve_member(nullptr, "M.f32", out, sizeof out), -1);
  EXPECT_EQ(le_bundle_resolve_member(t.path().c_str(), nullptr, out, sizeof out), -1);

  // Member names stay inside the bundle, whatever exists outside it.
  writeFile(t / "a/x.bin", "x");
  for (const char* outside : {"../../../../../etc/passwd", "/etc/passwd", "a/../../x", "..", ""}) {
    std::strcpy(out, "junk");
    EXPECT_EQ(le_bundle_resolve_member((t / "a").c_str(), outside, out, sizeof out), -1) << outside;
    EXPECT_EQ(out[0], '\0') << outside;
  }
  EXPECT_EQ(le_bundle_resolve_member(t.path().c_str(), "a/./x.bin", out, sizeof out), 1);
  EXPECT_EQ(le_bundle_resolve_member(t.path().c_str(), "a/..x.bin", out, sizeof out), 0);

  writeFile(t / "bad.imx", imxBytes({{"/abs", "x"}}));
  std::strcpy(out, "junk");
  EXPECT_EQ(le_bundle_resolve_member((t / "bad.imx").c_str(), "P.f16", out, sizeof out), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_STREQ(le_last_error(), "keep me");
  le::capi::clearError(le::capi::Family::Core);
}
