// The analysis filterbank: windows one channel's block according to its window sequence and
// shapes and transforms it into 1024 MDCT coefficients. Long sequences give one 2048-point
// transform; EIGHT_SHORT_SEQUENCE gives eight 256-point transforms whose 128 coefficients lie
// window after window (window w at 128 w .. 128 w + 127), neither interleaved nor grouped.
// Stateless: the overlap comes from the sample history that the pipeline shifts by one frame
// per call, so consecutive blocks reconstruct exactly wherever their touching window halves
// match.
#pragma once

#include "records/channel_records.h"

namespace varnel {

// Reads timeSamples[0 .. 2047] (only 448 .. 1599 for eight short windows) and windowSequence,
// previousWindowShape and windowShape of `ics`;
// overwrites all of spectrum. timeSamples are left unchanged.
void analysisFilterbank(ChannelBuffer& buffer, const IcsInfo& ics);
// The same in the baseline (vector = false) or the vector build; analysisFilterbank uses the one
// this CPU runs best. Both give identical spectra.
void analysisFilterbankWith(bool vector, ChannelBuffer& buffer, const IcsInfo& ics);

}  // namespace varnel
