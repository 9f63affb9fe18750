#include "director/le_director_options.h"

#include "core/le_env.h"

namespace le {

DirectorOptions DirectorOptions::fromEnvironment() {
  DirectorOptions o;
  o.convBackendNeon = envText("LE_CONV_BACKEND") == "neon";
  o.ortSpin = envStartsWith1("LE_ORT_SPIN");
  o.ortProfile = envText("LE_ORT_PROFILE");
  // CORVANE_VELLUM2_GRIDSAMPLE_FAST is the older name; LE_GS_FAST, when set
  // at all (even empty), wins.
  o.gridSampleFast = !envStartsWith0(envIsSet("LE_GS_FAST") ? "LE_GS_FAST" : "CORVANE_VELLUM2_GRIDSAMPLE_FAST");
  o.gridSampleRewrite = !envStartsWith0("LE_GS_REWRITE");
  o.warpNode = envSetNotEmptyNot0("LE_WARP_NODE");
  return o;
}

}  // namespace le
