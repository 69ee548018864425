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

#include "encoder/aac_encoder.h"
#include "encoder/channel_records.h"

namespace varnel {

// Chooses codebooks and sections for bands 0 .. bandLimit - 1; sets codebook, sectionLength
// and maxSfb and returns the bits of section_data + spectral_data. Bands holding 14 or 15
// (intensity) are kept as they are.
int buildSections(const IcsInfo& ics, ChannelCoding& coding);

// The same over bands 0 .. pnsBandLimit - 1 for noise substitution: bands holding 13 (noise)
// are kept like intensity bands, and maxSfb is pnsBandLimit for long blocks as well.
int buildSectionsWithNoise(const IcsInfo& ics, ChannelCoding& coding);

// Bits of scale_factor_data of the channel as the writer codes it.
int countScalefactorBits(const AacEncoder& encoder, int channel);

// Sets every band's codebook (numSwb x numWindowGroups entries) to 0 except intensity bands
// (14, 15) and, when keepNoiseBands, noise bands (13): the state the sectioning starts from.
void resetCodebooks(const IcsInfo& ics, ChannelCoding& coding, bool keepNoiseBands);

}  // namespace varnel
