// Transient detection and block switching: per channel and frame, the window sequence, shape,
// short-window grouping and band layout of the block about to be transformed.
//
// Three detectors look at the look-ahead signal A = timeSamples[1600 .. 2623], the second
// halves of the next block's eight short windows: block energies against their running mean,
// the zero-crossing count against the previous frame's, and ten band powers of a 256-point
// FFT against their running means. A small state machine turns their verdict, weighed against
// the bit reservoir, into LONG_START -> EIGHT_SHORT ... -> LONG_STOP -> ONLY_LONG transitions.
// The detectors' memory lives in the channel's TransientDetector.
#pragma once

#include "records/channel_records.h"

namespace varnel {

// What the decision reads besides the channel's own records.
struct BlockSwitchingContext {
    int32_t sampleRateIndex;
    int32_t channels;
    int32_t bitReservoir;  // bits in the reservoir before this frame's allocation
    bool tnsOption;        // temporal noise shaping is on: weak attacks ask for it
};

// Initial detector memory: means that no first frame of ordinary level mistakes for an attack.
void initTransientDetector(TransientDetector& detector);

// Decides the channel's window for this frame (the shapes are decided later): windowSequence,
// nextWindowSequence, swbOffsets, numSwb, groupMarks, numWindowGroups, windowGroupLength,
// attackRatio, tnsWanted and the detector memory; the buffer is not written. The sequence
// always joins the one on entry (the previous block's; see fitWindowSequence).
void decideWindowSequence(const ChannelBuffer& buffer, IcsInfo& ics, TransientDetector& detector,
                          const BlockSwitchingContext& context);
// The same with the detectors' measurements in the baseline (vector = false) or the vector
// build; decideWindowSequence uses the one this CPU runs best. Both decide identically.
void decideWindowSequenceWith(bool vector, const ChannelBuffer& buffer, IcsInfo& ics, TransientDetector& detector,
                              const BlockSwitchingContext& context);

// Makes the coded sequence join the previous coded block, `previousSequence`: after
// ONLY_LONG or LONG_STOP only ONLY_LONG or LONG_START may follow, after LONG_START or
// EIGHT_SHORT only EIGHT_SHORT or LONG_STOP. A sequence that does not fit becomes the nearest
// that does (LONG_STOP -> ONLY_LONG, EIGHT_SHORT -> LONG_START with the short block pending,
// a long block after a short slope -> LONG_STOP), with the long band layout. A sequence that
// fits is left as it is. decideWindowSequence applies it to its own decision; the pipeline
// applies it again after synchroniseWindows.
void fitWindowSequence(IcsInfo& ics, int32_t previousSequence, int sampleRateIndex);

// Makes a channel pair's window decisions equal. The set windowSequence, nextWindowSequence,
// swbOffsets, numSwb, groupMarks, numWindowGroups and the used windowGroupLength entries is
// copied from channel 0 to channel 1 when channel 0 has a short block now or pending (and
// channel 1 then has one pending too), otherwise from channel 1 to channel 0. Shapes are not
// copied.
void synchroniseWindows(IcsInfo& channel0, IcsInfo& channel1);

// Window groups of an EIGHT_SHORT_SEQUENCE block from its attack marks: every marked window
// is a group of its own, unmarked runs between them form one group each. Fills groupLength
// and returns the number of groups.
int groupShortWindows(const int32_t marks[kShortWindows], int32_t groupLength[kShortWindows]);

// The periodic Hann window scaled to unit mean square, sqrt(8/3) (1 - cos(2 pi n / 256)) / 2,
// rounded to 6 decimals (256 values).
const double* hannAnalysisWindow();

}  // namespace varnel
