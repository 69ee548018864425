// Writer of the AAC raw data block syntax (ISO/IEC 14496-3, 4.4.2): one single channel element
// or one channel pair element per frame, then the END element. It writes the decisions the
// encoder's stages left in the channel records; it computes only the common window test, the
// pair's common max_sfb and the differential coding of scalefactors.
#pragma once

#include "encoder/aac_encoder.h"

namespace varnel {

// Syntax field widths, in bits.
inline constexpr int kIdSynEleBits = 3;
inline constexpr int kElementInstanceTagBits = 4;
inline constexpr int kGlobalGainBits = 8;
inline constexpr int kWindowSequenceBits = 2;
inline constexpr int kMaxSfbBitsLong = 6;
inline constexpr int kMaxSfbBitsShort = 4;
inline constexpr int kScaleFactorGroupingBits = 7;
inline constexpr int kMsMaskPresentBits = 2;

// id_syn_ele values.
inline constexpr uint32_t ID_SCE = 0;
inline constexpr uint32_t ID_CPE = 1;
inline constexpr uint32_t ID_END = 7;

// Writes the single channel element (isPair false) or the channel pair element (isPair true).
void writeElement(AacEncoder& encoder, bool isPair);
// Writes the END element.
void writeEnd(AacEncoder& encoder);

// ics_info of one channel.
void writeIcsInfo(BitWriter& writer, const IcsInfo& ics, int maxSfb);
// True when the two channels' window decisions allow one shared ics_info.
bool hasCommonWindow(const IcsInfo& a, const IcsInfo& b);

}  // namespace varnel
