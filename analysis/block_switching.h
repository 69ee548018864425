// Transient detection and block switching: per channel and frame, the window sequence, shape,
// short-window grouping and band layout of the block about to be transformed.
//
// Three detectors look at the look-ahead signal A = timeSamples[1600 .. 2623] (the second
// halves of the next block's eight short windows): block energies against their running mean,
// the zero-crossing count against the previous frame's, and ten band powers of a 256-point
// FFT against their running means. A small state machine turns their verdict, weighed against
// the bit reservoir, into LONG_START -> EIGHT_SHORT ... -> LONG_STOP -> ONLY_LONG transitions.
#pragma once

#include "encoder/aac_encoder.h"

namespace varnel {

// Decides the channel's window for this frame; reads the encoder's sampleRateIndex, channels,
// bitReservoir and TNS option bit.
void decideWindowSequence(const ChannelBuffer& buffer, IcsInfo& ics, const AacEncoder& encoder);

// Makes a channel pair's window decisions equal: a short block in channel 0 (now or pending)
// is copied to channel 1, otherwise channel 1's decision is copied to channel 0. Shapes are
// not copied.
void synchroniseWindows(IcsInfo& channel0, IcsInfo& channel1);

// Window groups of an EIGHT_SHORT_SEQUENCE block from its attack marks: every marked window
// stands alone. Fills windowGroupLength and returns the number of groups.
int groupShortWindows(const int32_t marks[kShortWindows], int32_t groupLength[kShortWindows]);

// The periodic Hann window scaled to unit mean square, rounded to 6 decimals (256 values).
const double* hannAnalysisWindow();

}  // namespace varnel
