// Mid/side stereo for a channel pair (ISO/IEC 14496-3, 4.6.8.1): the pair is sent as
// M = (L + R) / 2 and S = (L - R) / 2, which a decoder turns back into L = M + S, R = M - S.
//
// The decision is made once per frame over the coded range: every band inside it is coded as
// mid/side or none is. The one exception is a band that only one channel sends as noise: a
// decoder leaves mid/side undone there, or (some decoders) undoes it with noise for one of the
// operands, so such a band stays left/right in both channels. The same step also sets how the frame's bits are
// shared between the two coded channels (channelShare, the share of channel 0, which carries
// mid after the conversion).
//
// The pair's window sequence, grouping and band table are equal (the encoder synchronises the
// two channels' window decisions first), so channel 0's IcsInfo describes both spectra.
#pragma once

#include <cstdint>
#include <span>

#include "records/channel_records.h"

namespace varnel {

// Results of decideMidSide.
inline constexpr int kMidSideUnused = -1;    // unbalanced pair, or mid and side alike in size
inline constexpr int kMidSideSilent = 0;     // both channels silent in the coded range
inline constexpr int kMidSideStrong = 1;     // |midShare - 0.5| >= 0.3
inline constexpr int kMidSideModerate = 2;   // 0.1 <= |midShare - 0.5| < 0.3

struct MidSideDecision {
    int result;       // one of the kMidSide* values
    double midShare;  // sum|M| / (sum|M| + sum|S|) over the coded range; 0 for a silent pair
};

// Measures the magnitudes of left, right, mid and side over the lines of the first bandLimit
// bands (in every window for short blocks) and classifies the pair. Sets channelShare to 0.5
// when the result is kMidSideSilent or kMidSideUnused and leaves it alone otherwise.
MidSideDecision decideMidSide(const IcsInfo& ics, int32_t bandLimit, std::span<const double> left,
                              std::span<const double> right, double& channelShare);

// Converts left/right into mid (left) and side (right) in place: the first bandCount bands of a
// long block, all numSwb bands of every group of a short block. Marks those bands in msMask,
// sets msUsed, and sets channelShare from the balance of mid and side: for long blocks from
// how many lines lie in mid- or side-dominated bands and the overall mid ratio, within
// [0.1, 0.9]; for short blocks as the mean of channelShare on entry and the decision's
// midShare, within [0.3, 0.7].
//
// Entries (group * numSwb + band) set in keepLeftRight, when given, are left as they are, get
// msMask 0 and count toward neither mid nor side.
void applyMidSide(const IcsInfo& ics, int32_t bandCount, std::span<double> left, std::span<double> right,
                  double midShare, ElementInfo& element, double& channelShare,
                  const uint8_t* keepLeftRight = nullptr);

// Marks the band entries where exactly one of the two channels is a noise band.
void noiseMismatch(const ChannelCoding& first, const ChannelCoding& second, const IcsInfo& ics,
                   uint8_t* mismatch);

// Bands a long block converts: all numSwb with noise substitution, whose noise bands may lie
// above the coded bandwidth, else bandLimit.
int32_t midSideBandCount(const IcsInfo& ics, int32_t bandLimit, int32_t options);

}  // namespace varnel
