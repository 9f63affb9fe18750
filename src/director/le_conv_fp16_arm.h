// The direct convolution kernel with fp16 multiplies on 64-bit Arm processors
// that have FMLAL / FMLAL2 (fp16 x fp16 products added to fp32 accumulators).
#pragma once

#include "director/le_conv_kernels.h"

namespace le::conv::arm {

// Whether this processor has FMLAL (HWCAP_ASIMDFHM); false off 64-bit Arm.
bool fmlalAvailable();

// Output rows [rowBegin, rowEnd) of a kDirect layer packed for 4 lanes, with
// the 4-lane kernel's blocking and summation order. The product of two fp16
// values is exact in fp32 and FMLAL rounds once per sum, so the outputs are
// bit-identical to widening both operands and using fp32 FMA. scratch holds
// scratchFloats(kDirect, ...) floats (the fp16 rows need half of it).
void directRows(const ConvArgs& a, int rowBegin, int rowEnd, float* scratch);

}  // namespace le::conv::arm
