// Greedy sectioning (the section_data of ISO/IEC 14496-3, 4.4.2.7): each band first takes the
// cheapest codebook that can code it, then neighbouring bands are merged into one section
// while the merged spectral bits stay below the separate bits plus the header bits a merge
// saves. Costs are computed once per band and codebook; the merge is a single pass.
//
// Header bits are those the writer emits: sect_cb plus one length field per escape step (see
// sectionHeaderBits), so a section's header grows when its length reaches 31 (long) or 7 and
// 14 (short). A merge saves the new band's own header but pays for such growth, which is what
// the merge allowance below accounts for; it makes every merge strictly cheaper than keeping
// bands apart, so a channel never costs more than its bands coded one section each.
#include "bitstream/sectioning.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "bitstream/codebooks.h"
#include "bitstream/scalefactor_coding.h"
#include "bitstream/band_costs.h"
#include "bitstream/spectral_huffman.h"

namespace varnel {
namespace {

constexpr int kMaxSectionBands = 51;  // the largest band count of any long-block row

struct SectionRules {
    bool shortBlock;
    bool keepNoiseBands;     // codebook 13 is kept like 14 and 15
    bool trimTrailingZeros;  // long blocks without noise substitution end at the last coded band
    const int32_t* bandLargest;  // largest magnitude per band entry, or null: search the lines
    int stopAbove;               // the count may end once it is sure to exceed this
};

// Per band of one group: the smallest usable codebook (or the kept codebook 0, 13, 14, 15)
// and, for a coded band, the spectral bits in each codebook 1..11, kUnusableCost in those that
// cannot code it.
struct BandCosts {
    int smallest[kMaxSectionBands];
    int cost[kMaxSectionBands][kNumCodebooks];
};

// The cost of a codebook that cannot code a band. It lies above every real sum (a section holds
// at most 1024 values, which cost less than 2^16 bits in any codebook), so that the choices over
// all codebooks 1..11 never take it, and 51 of them with the codebook in the low 4 bits stay
// within an int.
constexpr int kUnusableCost = 1 << 17;
static_assert(int64_t{kMaxSectionBands} * kUnusableCost * 16 < INT_MAX);

// The first codebook of least cost among first .. last, without a branch on the costs: each
// key carries its codebook in its low 4 bits, so the least key is the first of least cost.
inline int leastCostKey(const int* cost, int first, int last) {
    int least = INT_MAX;
    for (int k = first; k <= last; ++k) least = std::min(least, cost[k] << 4 | k);
    return least;
}

constexpr bool isUnescapedSpectral(int codebook) {
    return codebook >= 1 && codebook <= kLastUnescapedCodebook;
}

// Header bits a band saves by joining a section that holds n bands instead of opening its own.
constexpr int mergeAllowance(int n, bool shortBlock) {
    return sectionHeaderBits(1, shortBlock) -
           (sectionHeaderBits(n + 1, shortBlock) - sectionHeaderBits(n, shortBlock));
}
static_assert(mergeAllowance(1, false) == 9 && mergeAllowance(30, false) == 4);
static_assert(mergeAllowance(1, true) == 7 && mergeAllowance(6, true) == 4 &&
              mergeAllowance(13, true) == 4);

// The costs and own codebooks of listed bands of one group, whose first window's values start
// at `values`, class by class: adds each band's cheapest cost to `floor` and tells false as
// soon as that exceeds `stopAbove`.
struct ClassCount {
    const IcsInfo& ics;
    const int32_t* values;
    int windows;
    int32_t* codebook;
    BandCosts& costs;
    int& floor;
    int stopAbove;

    // Bands list[0 .. listed - 1], all of smallest codebook Smallest.
    template <int Smallest>
    bool run(const uint8_t* list, int listed) {
        for (int j = 0; j < listed; ++j) {
            const int b = list[j];
            const int start = ics.swbOffsets[b];
            int* cost = costs.cost[b];
            // Codebooks that cannot code the band (below Smallest, and the escape codebook
            // beside the others) take kUnusableCost, so that every choice runs over all of 1..11.
            bandCostsOf<Smallest>(values + start, ics.swbOffsets[b + 1] - start, windows, kShortWindowLength,
                                  kUnusableCost, cost);
            const int best = leastCostKey(cost, 1, ESC_HCB);
            codebook[b] = best & 15;
            floor += best >> 4;
            if (floor > stopAbove) return false;
        }
        return true;
    }
};

// Chooses each band's own codebook and fills its costs. The group's windows are
// firstWindow .. firstWindow + windows - 1 (one window at line 0 for long blocks).
// `floor` accumulates the bands' own cheapest costs, which no sectioning can undercut: a merged
// section codes each band in a codebook at or above the band's smallest, which costs at least
// the band's best. Returns false, with some bands left unset, as soon as `floor` exceeds
// `stopAbove`. The bands are counted class by class (all those of smallest codebook 1, then
// 3, ...), so that the kind of count changes five times per group rather than at nearly every
// band; the floor and the choices do not depend on the order.
bool chooseBandCodebooks(const IcsInfo& ics, const ChannelCoding& coding, int firstWindow,
                         int windows, int bandCount, bool keepNoiseBands, const int32_t* known,
                         int32_t* codebook, BandCosts& costs, int& floor, int stopAbove) {
    const std::span<const int32_t> spectrum(coding.quantSpectrum);
    uint8_t list[kNumCodebooks][kMaxSectionBands];
    int listed[kNumCodebooks] = {};
    for (int b = 0; b < bandCount; ++b) {
        if (isPreservedBand(codebook[b], keepNoiseBands)) {
            costs.smallest[b] = codebook[b];
            continue;
        }
        const int start = ics.swbOffsets[b];
        const int width = ics.swbOffsets[b + 1] - start;
        auto searchLines = [&] {
            int m = 0;
            for (int w = firstWindow; w < firstWindow + windows; ++w)
                for (int32_t q : spectrum.subspan(kShortWindowLength * w + start, width))
                    m = std::max(m, std::abs(q));
            return m;
        };
        const int largest = known ? known[b] : searchLines();
        assert(!known || largest == searchLines());
        const int smallest = largest == 0 ? ZERO_HCB : smallestUsableCodebook(largest);
        codebook[b] = costs.smallest[b] = smallest;
        costs.cost[b][ZERO_HCB] = 0;
        list[smallest][listed[smallest]++] = static_cast<uint8_t>(b);
    }
    ClassCount count{ics, coding.quantSpectrum + kShortWindowLength * firstWindow, windows, codebook, costs, floor,
                     stopAbove};
    return count.run<1>(list[1], listed[1]) && count.run<3>(list[3], listed[3]) && count.run<5>(list[5], listed[5]) &&
           count.run<7>(list[7], listed[7]) && count.run<9>(list[9], listed[9]) &&
           count.run<ESC_HCB>(list[ESC_HCB], listed[ESC_HCB]);
}

// Forms the sections of bands 0 .. maxSfb - 1 of one group, sets the codebook of every band
// of a merged section and the section lengths, and returns spectral plus header bits.
int mergeSections(BandCosts& costs, int maxSfb, bool shortBlock, int32_t* codebook,
                  uint8_t* sectionLength) {
    int bits = 0;
    for (int e = 0; e < maxSfb;) {
        const int first = costs.smallest[e];
        int end = e + 1;
        int spectralBits = 0;
        if (first == ESC_HCB) {
            spectralBits = costs.cost[e][ESC_HCB];
            for (; end < maxSfb && costs.smallest[end] == ESC_HCB; ++end)
                spectralBits += costs.cost[end][ESC_HCB];
        } else if (!isUnescapedSpectral(first)) {
            // Zero, noise and intensity runs carry no spectral bits.
            while (end < maxSfb && costs.smallest[end] == first) ++end;
        } else {
            // sums accumulates the section's bits per codebook in the first band's row.
            int* sums = costs.cost[e];
            int chosen = codebook[e];
            int total = sums[chosen];
            for (; end < maxSfb && isUnescapedSpectral(costs.smallest[end]); ++end) {
                const int* next = costs.cost[end];
                const int threshold = total + next[codebook[end]] + mergeAllowance(end - e, shortBlock);
                // The first codebook with the least sum, if that lies below the threshold. A
                // codebook that cannot code some band of the section sums kUnusableCost or more.
                for (int k = 1; k <= kLastUnescapedCodebook; ++k) sums[k] += next[k];
                const int least = leastCostKey(sums, 1, kLastUnescapedCodebook);
                if (least >> 4 >= threshold) break;  // the section ends before this band
                chosen = least & 15;
                total = least >> 4;
            }
            spectralBits = total;
            if (end - e > 1) std::fill(codebook + e, codebook + end, chosen);
        }
        sectionLength[e] = static_cast<uint8_t>(end - e);
        bits += spectralBits + sectionHeaderBits(end - e, shortBlock);
        e = end;
    }
    return bits;
}

// The count exceeded the cost of coding every band as its own section: an internal fault.
void reportSectioningFault() {
    std::fputs("bug in sectioning\n", stdout);
    std::fflush(stdout);
    std::getchar();
}

int sectionChannel(const IcsInfo& ics, ChannelCoding& coding, int bandCount,
                   const SectionRules& rules) {
    assert(bandCount >= 0 && bandCount <= ics.numSwb && bandCount <= kMaxSectionBands);
    assert(ics.numWindowGroups * ics.numSwb <= kMaxBandEntries);
    BandCosts costs;
    int floor = 0;
    if (rules.shortBlock) {
        int bits = 0;
        int firstWindow = 0;
        for (int g = 0; g < ics.numWindowGroups; ++g) {
            int32_t* codebook = coding.codebook + g * ics.numSwb;
            const int windows = ics.windowGroupLength[g];
            // floor carries the bits of the earlier groups, whose sections cost at least that.
            floor = bits;
            if (!chooseBandCodebooks(ics, coding, firstWindow, windows, bandCount,
                                     rules.keepNoiseBands,
                                     rules.bandLargest ? rules.bandLargest + g * ics.numSwb : nullptr,
                                     codebook, costs, floor, rules.stopAbove)) {
                coding.maxSfb = bandCount;
                return floor;
            }
            bits += mergeSections(costs, bandCount, true, codebook,
                                  coding.sectionLength + g * ics.numSwb);
            firstWindow += windows;
        }
        assert(firstWindow == kShortWindows);
        coding.maxSfb = bandCount;
        return bits;
    }

    if (!chooseBandCodebooks(ics, coding, 0, 1, bandCount, rules.keepNoiseBands,
                             rules.bandLargest, coding.codebook, costs, floor, rules.stopAbove)) {
        coding.maxSfb = bandCount;
        return floor;
    }
    int maxSfb = bandCount;
    if (rules.trimTrailingZeros)
        while (maxSfb > 0 && coding.codebook[maxSfb - 1] == ZERO_HCB) --maxSfb;
    int upperBound = sectionHeaderBits(1, false) * maxSfb;
    for (int b = 0; b < bandCount; ++b)
        if (costs.smallest[b] >= 1 && costs.smallest[b] <= ESC_HCB)
            upperBound += costs.cost[b][coding.codebook[b]];
    const int bits = mergeSections(costs, maxSfb, false, coding.codebook, coding.sectionLength);
    coding.maxSfb = maxSfb;
    if (bits > upperBound) reportSectioningFault();
    return bits;
}

}  // namespace

int buildSections(const IcsInfo& ics, ChannelCoding& coding, const int32_t* bandLargest,
                  int stopAbove) {
    const bool shortBlock = isShort(ics);
    return sectionChannel(ics, coding, coding.bandLimit,
                          {shortBlock, false, !shortBlock, bandLargest, stopAbove});
}

int buildSectionsWithNoise(const IcsInfo& ics, ChannelCoding& coding, const int32_t* bandLargest,
                           int stopAbove) {
    const bool shortBlock = isShort(ics);
    return sectionChannel(ics, coding, coding.pnsBandLimit,
                          {shortBlock, true, false, bandLargest, stopAbove});
}

int countScalefactorBits(const IcsInfo& ics, const ChannelCoding& coding, bool noiseSubstitution) {
    int bits = 0;
    codeScaleFactors<ScalefactorRange::Clip>(ics, coding, noiseSubstitution,
                                             [&bits](int n, uint32_t) { bits += n; });
    return bits;
}

void resetCodebooks(const IcsInfo& ics, ChannelCoding& coding, bool keepNoiseBands) {
    const int entries = ics.numSwb * ics.numWindowGroups;
    assert(entries <= kMaxBandEntries);
    // A select rather than a branch per entry, so that the loop vectorises.
    for (int i = 0; i < entries; ++i) {
        const int32_t codebook = coding.codebook[i];
        coding.codebook[i] = isPreservedBand(codebook, keepNoiseBands) ? codebook : ZERO_HCB;
    }
}

}  // namespace varnel
