// Window shapes and the transform of every channel's block with them.
//
// Each block rises with the shape the block before it fell with (previousWindowShape), so that
// the two halves that overlap match and the boundary reconstructs. The shape a block falls with
// (windowShape) is decided here, once per frame, and travels in the channel's IcsInfo to the
// filterbank, the coding stages and the bitstream:
// - without the model's thresholds (the default mode) every block falls with the sine shape;
// - with them (the perceptual mode) a frame of or around short windows (start, short, stop) takes
//   KBD for every channel, whose far side lobes keep a short block's energy in its bands; a
//   frame of long blocks takes, for all its channels alike (a pair keeps its common window), the
//   shape whose transform costs less perceptual entropy against kWindowChoiceThresholdShare of
//   the thresholds. Leakage just under a threshold is still heard, so the choice counts it: the
//   KBD window leaks a tone's energy under the thresholds within a few lines of it, the sine
//   window leaks noise-level energy into every band the coder must reproduce or lose, while its
//   narrower main lobe codes dense spectra (voices, full mixes) cheaper.
#pragma once

#include <span>

#include "records/channel_records.h"
#include "records/masking_records.h"

namespace varnel {

inline constexpr double kWindowChoiceThresholdShare = 0.25;  // 6 dB under the thresholds

// Decides each channel's window shape for the frame and transforms its block with it into
// spectrum (analysisFilterbank). `masking` holds the model's result per channel, or is empty
// for the sine shape throughout.
void shapeAndTransformBlocks(std::span<ChannelBuffer> buffers, std::span<IcsInfo> ics,
                             std::span<const MaskingResult> masking);

}  // namespace varnel
