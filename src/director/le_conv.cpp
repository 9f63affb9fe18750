#include "director/le_conv.h"

namespace le {

bool ConvBackend::available() { return false; }

bool ConvBackend::graphSupported(const std::string&) { return false; }

}  // namespace le
