// The analysis filterbank: windows one channel's block according to its window sequence and
// shapes and transforms it into 1024 MDCT coefficients. Long sequences give one 2048-point
// transform; EIGHT_SHORT_SEQUENCE gives eight 256-point transforms whose 128 coefficients lie
// window after window (window w at 128 w .. 128 w + 127). Stateless: the overlap comes from the
// sample history that the pipeline shifts by one frame per call.
#pragma once

#include "encoder/channel_records.h"

namespace varnel {

// Reads timeSamples[0 .. 2047] and the window fields of `ics`; overwrites spectrum.
void analysisFilterbank(ChannelBuffer& buffer, const IcsInfo& ics);

}  // namespace varnel
