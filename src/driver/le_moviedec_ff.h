// Which FFmpeg the movie decoders were built against.
#pragma once

#include <string>

#include "le/le.h"

namespace le {

// "libavcodec <major.minor.micro> / <avcodec_configuration()>", the version
// being that of the headers the library was compiled with. Exported from the
// shared library (its one C++ symbol) so a host can log which FFmpeg build
// decodes its driver videos; nothing inside the library calls it.
LE_API std::string movieDecoderBuild();

// "<major.minor.micro>" of the libavcodec headers the library was compiled with.
std::string movieDecoderVersion();

}  // namespace le
