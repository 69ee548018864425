// Sectioning and bit counting of a channel's coded bands (ISO/IEC 14496-3, 4.6.3; the
// section_data, scale_factor_data and spectral_data syntax of 4.4.2.7).
//
// Rate control calls these for every trial quantisation: resetCodebooks clears the previous
// choice, buildSections (or buildSectionsWithNoise with noise substitution) chooses one
// spectral codebook per section with a greedy merge and returns the bits of section_data plus
// spectral_data, and countScalefactorBits adds the bits of scale_factor_data. The syntax
// writer then writes exactly the codebooks, sections and maxSfb left in ChannelCoding, so the
// counts equal the bits written.
#pragma once

#include <climits>

#include "records/channel_records.h"

namespace varnel {

// A section length is written as floor(L / esc) escape values esc = 2^width - 1 followed by
// L mod esc, so its header grows by one length field each time L reaches a multiple of esc
// (31 long, 7 short).
constexpr int sectionLengthBits(bool shortBlock) {
    return shortBlock ? kSectLenBitsShort : kSectLenBitsLong;
}
constexpr int sectionLengthEscape(bool shortBlock) {
    return (1 << sectionLengthBits(shortBlock)) - 1;
}
// Bits of sect_cb and the length fields of a section of `length` bands.
constexpr int sectionHeaderBits(int length, bool shortBlock) {
    return kSectCbBits + sectionLengthBits(shortBlock) * (length / sectionLengthEscape(shortBlock) + 1);
}

// True for a band whose codebook the sectioning keeps (intensity 14, 15; noise 13 when noise
// bands are kept): such bands are not coded spectrally and their scaleOffset is not an
// ordinary scalefactor.
constexpr bool isPreservedBand(int codebook, bool noiseBandsKept) {
    return codebook == INTENSITY_HCB || codebook == INTENSITY_HCB2 || (noiseBandsKept && codebook == NOISE_HCB);
}

// Chooses codebooks and sections for bands 0 .. bandLimit - 1; sets codebook, sectionLength
// and maxSfb and returns the bits of section_data + spectral_data. Bands holding 14 or 15
// (intensity) are kept as they are.
// `bandLargest`, when given, holds each sectioned band's largest |quantSpectrum| (index
// group * numSwb + band), as the quantiser knows it; otherwise the lines are searched.
// With `stopAbove`, the count may end as soon as it is sure to exceed stopAbove: it then
// returns some value above stopAbove, and codebook, sectionLength and maxSfb are unfinished
// (good only for being overwritten by the next sectioning). A count that does not exceed
// stopAbove is always complete.
int buildSections(const IcsInfo& ics, ChannelCoding& coding, const int32_t* bandLargest = nullptr,
                  int stopAbove = INT_MAX);

// The same over bands 0 .. pnsBandLimit - 1 for noise substitution: bands holding 13 (noise)
// are kept like intensity bands, and maxSfb is pnsBandLimit for long blocks as well.
int buildSectionsWithNoise(const IcsInfo& ics, ChannelCoding& coding,
                           const int32_t* bandLargest = nullptr, int stopAbove = INT_MAX);

// Bits of scale_factor_data of the channel as the writer codes it.
int countScalefactorBits(const IcsInfo& ics, const ChannelCoding& coding, bool noiseSubstitution);

// Sets every band's codebook (numSwb x numWindowGroups entries) to 0 except intensity bands
// (14, 15) and, when keepNoiseBands, noise bands (13): the state the sectioning starts from.
void resetCodebooks(const IcsInfo& ics, ChannelCoding& coding, bool keepNoiseBands);

}  // namespace varnel
