// Which FFmpeg the movie decoders were built against.
#pragma once

#include <string>

namespace le {

// "libavcodec <major.minor.micro> / <avcodec_configuration()>", the version
// being that of the headers the library was compiled with.
std::string movieDecoderBuild();

// "<major.minor.micro>" of the libavcodec headers the library was compiled with.
std::string movieDecoderVersion();

}  // namespace le
