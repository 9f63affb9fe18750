#include "driver/le_moviedec_ff.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/version.h>
}

namespace le {

std::string movieDecoderVersion() {
  return std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." + std::to_string(LIBAVCODEC_VERSION_MINOR) +
         "." + std::to_string(LIBAVCODEC_VERSION_MICRO);
}

std::string movieDecoderBuild() {
  const char* conf = avcodec_configuration();
  return "libavcodec " + movieDecoderVersion() + " / " + (conf ? conf : "");
}

}  // namespace le
