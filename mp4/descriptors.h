// MPEG-4 systems descriptors (ISO/IEC 14496-1, 7.2.6) in their MP4 file forms (ISO/IEC
// 14496-14, 3.1): the InitialObjectDescriptor of the iods box and the ES_Descriptor of an esds
// box. Every descriptor length is written in the 4-byte expandable form, never shorter.
#pragma once

#include <cstdint>
#include <vector>

#include "mp4/mp4_writer.h"

namespace varnel::mp4 {

// Descriptor tags (ISO/IEC 14496-1, 7.2.2.1 Table 1; ISO/IEC 14496-14, 3.1.2).
inline constexpr uint8_t ES_DescrTag = 0x03;
inline constexpr uint8_t DecoderConfigDescrTag = 0x04;
inline constexpr uint8_t DecSpecificInfoTag = 0x05;
inline constexpr uint8_t SLConfigDescrTag = 0x06;
inline constexpr uint8_t ES_ID_IncTag = 0x0E;
inline constexpr uint8_t ES_ID_RefTag = 0x0F;

inline constexpr uint32_t kSizeFieldBytes = 4;
inline constexpr uint32_t kMaxDescriptorPayload = (uint32_t{1} << 28) - 1;  // 4 x 7 bits

// The InitialObjectDescriptor: 9 * es_id_count + 12 bytes. es_id_count must be at most 30.
std::vector<uint8_t> buildIod(const Mp4IodParams& params);

// The esds box, or an empty vector when a payload is too long for the 28-bit size field.
std::vector<uint8_t> buildEsBox(const Mp4EsParams& params);

}  // namespace varnel::mp4
