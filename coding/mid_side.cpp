// Mid/side stereo (ISO/IEC 14496-3, 4.6.8.1).
//
// Decision. With SL, SR, SM, SS the summed magnitudes of left, right, mid and side over the
// coded range, the pair is coded as mid/side only when it is roughly balanced
// (|SL / (SL + SR) - 0.5| <= 0.1) and mid and side differ clearly in size
// (|midShare - 0.5| >= 0.1 with midShare = SM / (SM + SS)). Far from balance one channel
// dominates and the conversion would spread its content over both coded channels.
//
// Bit share of a long block. Per band, r = BM / (BM + BS) marks the band as mid-dominated
// (r > 0.55) or side-dominated (r < 0.45). With W the converted width in lines,
//     d = (mid lines - side lines) / (3 W) + 0.5        (in [1/6, 5/6])
// and mRatio = TM / (TM + TS) over all converted bands. The share is d, pulled toward mRatio
// when the two disagree (first matching rule):
//     d > mRatio and d > 0.65      -> 0.2 d + 0.8 mRatio
//     mRatio > 0.6 and d < 0.55    -> (d + mRatio) / 2
//     mRatio > 0.88 and d > 0.8    -> mRatio
// then clamped into [0.1, 0.9] so that neither channel starves.
#include "coding/mid_side.h"

#include <cassert>
#include <cmath>


namespace varnel {
namespace {

constexpr double kBalanceLimit = 0.1;       // largest |leftShare - 0.5| coded as mid/side
constexpr double kModerateLimit = 0.1;      // smallest |midShare - 0.5| coded as mid/side
constexpr double kStrongLimit = 0.3;        // |midShare - 0.5| from which the result is strong
constexpr double kSilentShare = 0.5;        // channelShare when mid/side is not used

constexpr double kMidBand = 0.55;           // r above: band counts as mid-dominated
constexpr double kSideBand = 0.45;          // r below: band counts as side-dominated
constexpr double kLongShareMin = 0.1;
constexpr double kLongShareMax = 0.9;
constexpr double kShortShareMin = 0.3;
constexpr double kShortShareMax = 0.7;

// The share limits: "s or below becomes s", "s or above becomes s".
double clampShare(double share, double low, double high) {
    if (share <= low) return low;
    if (share >= high) return high;
    return share;
}

struct Magnitudes {
    double left = 0.0, right = 0.0, mid = 0.0, side = 0.0;

    void add(double l, double r) {
        left += std::fabs(l);
        right += std::fabs(r);
        mid += 0.5 * std::fabs(l + r);
        side += 0.5 * std::fabs(l - r);
    }
};

// Long blocks: lines [0, swbOffsets[bandLimit]). Short blocks: per group, per band below
// bandLimit, per window of the group, the band's lines in that window.
Magnitudes measure(const IcsInfo& ics, int32_t bandLimit, std::span<const double> left,
                   std::span<const double> right) {
    Magnitudes sums;
    if (!isShort(ics)) {
        for (int k = 0; k < ics.swbOffsets[bandLimit]; ++k) sums.add(left[k], right[k]);
        return sums;
    }
    int firstWindow = 0;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        const int windows = ics.windowGroupLength[g];
        for (int b = 0; b < bandLimit; ++b) {
            for (int w = firstWindow; w < firstWindow + windows; ++w) {
                const int base = w * kShortWindowLength;
                for (int k = base + ics.swbOffsets[b]; k < base + ics.swbOffsets[b + 1]; ++k) {
                    sums.add(left[k], right[k]);
                }
            }
        }
        firstWindow += windows;
    }
    return sums;
}

// Replaces lines [first, end) by mid and side; returns the band's summed magnitudes of M and S.
void convertLines(std::span<double> left, std::span<double> right, int first, int end,
                  double& midSum, double& sideSum) {
    for (int k = first; k < end; ++k) {
        const double l = left[k];
        const double r = right[k];
        left[k] = (l + r) * 0.5;
        right[k] = (l - r) * 0.5;
        midSum += std::fabs(left[k]);
        sideSum += std::fabs(right[k]);
    }
}

double longBlockShare(const IcsInfo& ics, int32_t bandCount, std::span<double> left,
                      std::span<double> right, const uint8_t* keepLeftRight, ElementInfo& element) {
    double totalMid = 0.0, totalSide = 0.0;
    int midWidth = 0, sideWidth = 0;
    for (int b = 0; b < bandCount; ++b) {
        if (keepLeftRight && keepLeftRight[b]) {
            element.msMask[b] = 0;
            continue;
        }
        element.msMask[b] = 1;
        double bandMid = 0.0, bandSide = 0.0;
        convertLines(left, right, ics.swbOffsets[b], ics.swbOffsets[b + 1], bandMid, bandSide);
        totalMid += bandMid;
        totalSide += bandSide;
        // An all-zero band (r undefined) counts toward neither side.
        if (bandMid + bandSide == 0.0) continue;
        const double r = bandMid / (bandMid + bandSide);
        const int width = ics.swbOffsets[b + 1] - ics.swbOffsets[b];
        if (r > kMidBand) {
            midWidth += width;
        } else if (r < kSideBand) {
            sideWidth += width;
        }
    }
    // Nothing converted, or nothing but zeros: no preference (the rules below then keep 0.5).
    const int lines = ics.swbOffsets[bandCount] - ics.swbOffsets[0];
    if (lines == 0 || totalMid + totalSide == 0.0) return kSilentShare;

    const double mRatio = totalMid / (totalMid + totalSide);
    const double d = static_cast<double>(midWidth - sideWidth) / (3.0 * lines) + 0.5;
    double share = d;
    if (d > mRatio && d > 0.65) {
        share = 0.2 * d + 0.8 * mRatio;
    } else if (mRatio > 0.6 && d < 0.55) {
        share = (d + mRatio) * 0.5;
    } else if (mRatio > 0.88 && d > 0.8) {
        share = mRatio;
    }
    return clampShare(share, kLongShareMin, kLongShareMax);
}

void convertShortBlock(const IcsInfo& ics, std::span<double> left, std::span<double> right,
                       const uint8_t* keepLeftRight, ElementInfo& element) {
    int firstWindow = 0;
    for (int g = 0; g < ics.numWindowGroups; ++g) {
        const int windows = ics.windowGroupLength[g];
        for (int b = 0; b < ics.numSwb; ++b) {
            const int i = g * ics.numSwb + b;
            if (keepLeftRight && keepLeftRight[i]) {
                element.msMask[i] = 0;
                continue;
            }
            element.msMask[i] = 1;
            for (int w = firstWindow; w < firstWindow + windows; ++w) {
                const int base = w * kShortWindowLength;
                double unusedMid = 0.0, unusedSide = 0.0;
                convertLines(left, right, base + ics.swbOffsets[b], base + ics.swbOffsets[b + 1],
                             unusedMid, unusedSide);
            }
        }
        firstWindow += windows;
    }
}

}  // namespace

MidSideDecision decideMidSide(const IcsInfo& ics, int32_t bandLimit, std::span<const double> left,
                              std::span<const double> right, double& channelShare) {
    assert(left.size() == kFrameLength && right.size() == kFrameLength);
    assert(bandLimit >= 0 && bandLimit <= ics.numSwb);
    const Magnitudes sums = measure(ics, bandLimit, left, right);
    if (sums.left == 0.0 && sums.right == 0.0) {
        channelShare = kSilentShare;
        return {kMidSideSilent, 0.0};
    }
    const double leftShare = sums.left / (sums.left + sums.right);
    const double midShare = sums.mid / (sums.mid + sums.side);
    const double midDistance = std::fabs(midShare - 0.5);
    if (std::fabs(leftShare - 0.5) > kBalanceLimit || midDistance < kModerateLimit) {
        channelShare = kSilentShare;
        return {kMidSideUnused, midShare};
    }
    return {midDistance >= kStrongLimit ? kMidSideStrong : kMidSideModerate, midShare};
}

void applyMidSide(const IcsInfo& ics, int32_t bandCount, std::span<double> left, std::span<double> right,
                  double midShare, ElementInfo& element, double& channelShare, const uint8_t* keepLeftRight) {
    assert(left.size() == kFrameLength && right.size() == kFrameLength);
    element.msUsed = 1;
    if (isShort(ics)) {
        convertShortBlock(ics, left, right, keepLeftRight, element);
        channelShare = clampShare(0.5 * channelShare + 0.5 * midShare, kShortShareMin, kShortShareMax);
    } else {
        assert(bandCount >= 0 && bandCount <= ics.numSwb);
        channelShare = longBlockShare(ics, bandCount, left, right, keepLeftRight, element);
    }
}

int32_t midSideBandCount(const IcsInfo& ics, int32_t bandLimit, int32_t options) {
    return (options & kOptionPns) ? static_cast<int32_t>(ics.numSwb) : bandLimit;
}

void noiseMismatch(const ChannelCoding& first, const ChannelCoding& second, const IcsInfo& ics,
                   uint8_t* mismatch) {
    const int entries = ics.numSwb * groupCount(ics);
    assert(entries <= kMaxBandEntries);
    for (int i = 0; i < entries; ++i) mismatch[i] = (first.noiseFlag[i] != 0) != (second.noiseFlag[i] != 0);
}

}  // namespace varnel
