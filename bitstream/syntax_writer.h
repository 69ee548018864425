// Writer of the AAC raw data block syntax (ISO/IEC 14496-3, 4.4.2): one single channel element
// or one channel pair element per frame, then the END element. It writes the decisions the
// encoder's stages left in the channel records; it computes only the common window test, the
// pair's common max_sfb and the differential coding of scalefactors.
#pragma once

#include <span>

#include "bitstream/bit_writer.h"
#include "records/channel_records.h"

namespace varnel {

// Writes one single channel element (one channel; the LFE element when the element info says
// so) or one channel pair element (two channels).
// With a common window both channels' maxSfb are raised to the pair's common max_sfb, and the
// bands a channel gains are rewritten as one zero section per window group.
void writeElement(BitWriter& writer, std::span<const IcsInfo> ics, std::span<ChannelCoding> coding,
                  const ElementInfo& element, bool noiseSubstitution);
// Writes the END element.
void writeEnd(BitWriter& writer);

// ics_info of one channel.
void writeIcsInfo(BitWriter& writer, const IcsInfo& ics, int maxSfb);
// True when the two channels' window decisions allow one shared ics_info.
bool hasCommonWindow(const IcsInfo& a, const IcsInfo& b);

// The element writers below are used by writeElement; they are exposed so that the tests can
// hold the written bits against the sectioning's counts.

// individual_channel_stream of one channel.
void writeIndividualChannelStream(BitWriter& writer, const IcsInfo& ics,
                                  const ChannelCoding& coding, const ChannelSideInfo& side,
                                  bool commonWindow, bool noiseSubstitution);
// section_data: sect_cb and escaped section lengths of every group up to maxSfb.
void writeSectionData(BitWriter& writer, const IcsInfo& ics, const ChannelCoding& coding);
// scale_factor_data of every coded band below maxSfb.
void writeScaleFactorData(BitWriter& writer, const IcsInfo& ics, const ChannelCoding& coding,
                          bool noiseSubstitution);
// tns_data, written when side.tnsDataPresent is set.
void writeTnsData(BitWriter& writer, const IcsInfo& ics, const ChannelSideInfo& side);
// spectral_data of every band below maxSfb coded with codebook 1..11.
void writeSpectralData(BitWriter& writer, const IcsInfo& ics, const ChannelCoding& coding);

// Raises the channel's maxSfb to `maxSfb`: bands from its own maxSfb up become one zero section
// in every window group, whatever codebook and sectionLength held there.
void extendWithZeroSections(const IcsInfo& ics, ChannelCoding& coding, int maxSfb);

}  // namespace varnel
