#include "mp4/descriptors.h"

#include <cassert>
#include <cstring>
#include <memory>

#include "mp4/byte_order.h"
#include "mp4/mp4_file.h"

namespace varnel {
namespace mp4 {
namespace {

// InitialObjectDescriptor header word: ObjectDescriptorID (10 bits), URL_Flag (1),
// includeInlineProfileLevelFlag (1), reserved (4, all ones).
constexpr uint16_t kIodObjectDescriptorId = 1;
constexpr int kObjectDescriptorIdShift = 6;
constexpr uint16_t kIodReservedBits = 0x000F;
constexpr uint32_t kIodHeaderPayload = 2 + MP4_PROFILE_LEVEL_COUNT;  // header word + profile levels
constexpr uint32_t kEsIdIncPayload = 4;                               // Track_ID

// ES_Descriptor flags byte: streamDependenceFlag, URL_Flag, OCRstreamFlag (1 bit each) and
// streamPriority (5 bits), all 0.
constexpr uint8_t kEsFlags = 0x00;
// DecoderConfigDescriptor: streamType (6 bits), upStream (1 bit), reserved (1 bit, 1).
constexpr int kStreamTypeShift = 2;
constexpr uint8_t kDecoderConfigReservedBit = 0x01;
constexpr uint32_t kStreamTypeMask = 0x3F;
constexpr uint32_t kBufferSizeDbMask = 0xFFFFFF;  // 24 bits
// Fixed payload lengths: ES_ID + flags; objectTypeIndication .. avgBitrate.
constexpr uint32_t kEsFixedPayload = 3;
constexpr uint32_t kDecoderConfigFixedPayload = 13;
constexpr uint32_t kDescriptorHeader = 1 + kSizeFieldBytes;  // tag + size field

void descriptorHeader(ByteBuffer& out, uint8_t tag, uint32_t payload) {
    out.u8(tag);
    out.u32(mp4_descriptor_size_field(payload));
}

// Hands a built byte vector to the caller as a buffer released by mp4_free_buffer.
int handOut(const std::vector<uint8_t>& built, uint8_t** bytes, uint32_t* size) {
    auto buffer = std::make_unique<uint8_t[]>(built.size());
    std::memcpy(buffer.get(), built.data(), built.size());
    *size = static_cast<uint32_t>(built.size());
    *bytes = buffer.release();
    return 0;
}

}  // namespace

std::vector<uint8_t> buildIod(const Mp4IodParams& params) {
    assert(params.es_id_count <= MP4_MAX_IOD_ES_IDS);
    const uint32_t n = params.es_id_count;
    ByteBuffer out;
    descriptorHeader(out, MP4_IOD, kIodHeaderPayload + n * (kDescriptorHeader + kEsIdIncPayload));
    out.u16(static_cast<uint16_t>(kIodObjectDescriptorId << kObjectDescriptorIdShift | kIodReservedBits));
    out.bytes(params.profile_levels, MP4_PROFILE_LEVEL_COUNT);  // OD, scene, audio, visual, graphics
    for (uint32_t i = 0; i < n; ++i) {
        descriptorHeader(out, ES_ID_IncTag, kEsIdIncPayload);
        out.u32(params.es_ids[i]);  // Track_ID
    }
    return std::move(out).take();
}

std::vector<uint8_t> buildEsBox(const Mp4EsParams& params) {
    const uint64_t d = params.decoder_specific_info_size;
    const uint64_t s = params.sl_config_size;
    const uint64_t decoder_config = kDecoderConfigFixedPayload + (d > 0 ? kDescriptorHeader + d : 0);
    const uint64_t es = kEsFixedPayload + kDescriptorHeader + decoder_config + kDescriptorHeader + s;
    if (es > kMaxDescriptorPayload) return {};

    ByteBuffer out;
    const auto box_size = static_cast<uint32_t>(kFullBoxHeaderSize + kDescriptorHeader + es);
    out.u32(box_size);         // size
    out.type(fourcc("esds"));  // type
    out.u32(0);                // version, flags
    descriptorHeader(out, ES_DescrTag, static_cast<uint32_t>(es));
    out.u16(params.es_id);  // ES_ID
    out.u8(kEsFlags);       // streamDependenceFlag, URL_Flag, OCRstreamFlag, streamPriority
    descriptorHeader(out, DecoderConfigDescrTag, static_cast<uint32_t>(decoder_config));
    out.u8(static_cast<uint8_t>(params.object_type));  // objectTypeIndication
    out.u8(static_cast<uint8_t>((params.stream_type & kStreamTypeMask) << kStreamTypeShift |
                                kDecoderConfigReservedBit));  // streamType, upStream 0, reserved 1
    out.u24(params.buffer_size_db & kBufferSizeDbMask);      // bufferSizeDB
    out.u32(params.max_bitrate);                             // maxBitrate
    out.u32(params.avg_bitrate);                             // avgBitrate
    if (d > 0) {
        descriptorHeader(out, DecSpecificInfoTag, static_cast<uint32_t>(d));
        out.bytes(params.decoder_specific_info, static_cast<size_t>(d));
    }
    descriptorHeader(out, SLConfigDescrTag, static_cast<uint32_t>(s));
    out.bytes(params.sl_config, static_cast<size_t>(s));
    assert(out.size() == box_size);
    return std::move(out).take();
}

}  // namespace mp4

uint32_t mp4_descriptor_size_field(uint32_t n) {
    return (uint32_t{0x80 | ((n >> 21) & 0x7F)} << 24) | (uint32_t{0x80 | ((n >> 14) & 0x7F)} << 16) |
           (uint32_t{0x80 | ((n >> 7) & 0x7F)} << 8) | (n & 0x7F);
}

int mp4_build_iod(uint8_t** bytes, uint32_t* size, const Mp4IodParams* params) {
    if (bytes) *bytes = nullptr;
    if (size) *size = 0;
    if (!bytes || !size || !params || params->es_id_count > MP4_MAX_IOD_ES_IDS) return -1;
    return mp4::guarded(nullptr, [&] { return mp4::handOut(mp4::buildIod(*params), bytes, size); });
}

int mp4_build_es_box(uint8_t** bytes, uint32_t* size, const Mp4EsParams* params) {
    if (bytes) *bytes = nullptr;
    if (size) *size = 0;
    if (!bytes || !size || !params) return -1;
    if ((params->decoder_specific_info_size > 0 && !params->decoder_specific_info) ||
        (params->sl_config_size > 0 && !params->sl_config))
        return -1;
    return mp4::guarded(nullptr, [&] {
        const std::vector<uint8_t> box = mp4::buildEsBox(*params);
        if (box.empty()) return -1;
        return mp4::handOut(box, bytes, size);
    });
}

void mp4_free_buffer(uint8_t* bytes) { std::unique_ptr<uint8_t[]> release(bytes); }

}  // namespace varnel
