// The perceptual mode's part of the frame pipeline (kOptionPerceptual): from the filterbank's
// spectra to quantised, sectioned channels, in place of the default bandwidth, tools and rate
// control.
#pragma once

namespace varnel {

struct AacEncoder;

// Before the filterbank: the KBD window for every channel when any block of the frame has or
// borders short windows (start, short, stop). Long blocks get their shape from
// codePerceptualFrame, which compares both transforms.
void presetPerceptualWindowShape(AacEncoder& encoder);

// Per channel the psychoacoustic model; the coded bandwidth and the noise bands; with kOptionTns,
// TNS for the channels whose transient detector asks for it; for a pair the per-band mid/side
// decision; the frame's bits from its perceptual entropy through the reservoir (never more than
// it holds, and what it cannot hold spent), and each channel's quantisation to its share.
void codePerceptualFrame(AacEncoder& encoder);

}  // namespace varnel
