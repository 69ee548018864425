// Sample entries of the stsd box (ISO/IEC 14496-12, 8.5.2 and 12; ISO/IEC 14496-14, 3.1.3):
// "mp4a"/"samr" (AudioSampleEntry), "mp4v" (VisualSampleEntry) and "mp4s" (MpegSampleEntry)
// wrapping the esds box, and "rtp " (RTP hint sample entry, ISO/IEC 14496-12, 9.1.2) with its
// optional timescale and offset boxes. Each entry is held as its 16-byte header and its body.

#include "mp4/mp4_file.h"

namespace varnel {
namespace {

using mp4::ByteBuffer;
using mp4::fourcc;

constexpr uint16_t kAudioSampleSize = 16;       // bits per sample
constexpr uint32_t kResolution72Dpi = 0x00480000;  // 16.16 fixed point
constexpr uint16_t kFrameCount = 1;
constexpr size_t kCompressorNameBytes = 32;
constexpr uint16_t kVideoDepth = 0x0018;        // colour, no alpha
constexpr uint16_t kPreDefinedMinusOne = 0xFFFF;
constexpr uint16_t kHintTrackVersion = 1;
constexpr uint16_t kHighestCompatibleVersion = 1;
constexpr uint32_t kHintInfoBoxSize = 12;       // size, type, 32-bit value

void audioBody(ByteBuffer& body, const mp4::TrackBoxes& t, const Mp4SampleDescription& d) {
    body.zeros(2 * 4);                                  // reserved[2]
    body.u16(d.channel_count);                          // channelcount
    body.u16(kAudioSampleSize);                         // samplesize
    body.u16(0);                                        // pre_defined
    body.u16(0);                                        // reserved
    // samplerate, integer part (16.16): a rate above 65535 Hz keeps only its low 16 bits; MPEG-4
    // audio readers take the rate from the AudioSpecificConfig in the esds.
    body.u16(static_cast<uint16_t>(t.time_scale));
    body.u16(0);                                        // samplerate, fraction
    body.bytes(d.es_box, d.es_box_size);                // esds
}

void visualBody(ByteBuffer& body, const Mp4SampleDescription& d) {
    body.zeros(16);                     // pre_defined, reserved, pre_defined[3]
    body.u16(d.width);                  // width
    body.u16(d.height);                 // height
    body.u32(kResolution72Dpi);         // horizresolution
    body.u32(kResolution72Dpi);         // vertresolution
    body.u32(0);                        // reserved
    body.u16(kFrameCount);              // frame_count
    body.zeros(kCompressorNameBytes);   // compressorname
    body.u16(kVideoDepth);              // depth
    body.u16(kPreDefinedMinusOne);      // pre_defined
    body.bytes(d.es_box, d.es_box_size);  // esds
}

void hintInfoBox(ByteBuffer& body, mp4::FourCC type, uint32_t value) {
    if (value == 0) return;
    body.u32(kHintInfoBoxSize);  // size
    body.type(type);             // type
    body.u32(value);             // timescale / offset
}

void rtpBody(ByteBuffer& body, const mp4::TrackBoxes& t, const Mp4SampleDescription& d) {
    body.u16(kHintTrackVersion);          // hinttrackversion
    body.u16(kHighestCompatibleVersion);  // highestcompatibleversion
    body.u32(t.max_packet_size);          // maxpacketsize
    hintInfoBox(body, fourcc("tims"), d.time_scale);   // timescaleentry
    hintInfoBox(body, fourcc("tsro"), d.tsro_offset);  // timeoffset
    hintInfoBox(body, fourcc("snro"), d.snro_offset);  // sequenceoffset
}

}  // namespace

int mp4_set_sample_description(Mp4Track* track, const Mp4SampleDescription* description) {
    if (!mp4::usable(track) || !description) return -1;
    const Mp4SampleDescription& d = *description;
    mp4::TrackBoxes& t = *track->boxes;
    if (d.index >= t.sample_entries.size()) return -1;
    if (d.es_box_size > 0 && !d.es_box) return -1;
    return mp4::guarded(track->file, [&] {
        ByteBuffer body;
        mp4::FourCC type = 0;
        switch (t.kind) {
        case MP4_TRACK_AUDIO:
            type = fourcc("mp4a");
            audioBody(body, t, d);
            break;
        case MP4_TRACK_AMR:
            type = fourcc("samr");
            audioBody(body, t, d);
            break;
        case MP4_TRACK_VIDEO:
            type = fourcc("mp4v");
            visualBody(body, d);
            break;
        case MP4_TRACK_SCENE:
        case MP4_TRACK_OD:
            type = fourcc("mp4s");
            body.bytes(d.es_box, d.es_box_size);  // esds
            break;
        case MP4_TRACK_HINT:
            type = fourcc("rtp ");
            rtpBody(body, t, d);
            break;
        default:
            track->file->media_files->markFailed();
            return -1;
        }
        if (body.size() > UINT32_MAX - mp4::kSampleEntryHeaderSize) return -1;
        // Setting an entry again replaces it: stsd's size is the sum of its entries' sizes.
        mp4::SampleEntry& entry = t.sample_entries[d.index];
        entry.type = type;
        entry.size = mp4::kSampleEntryHeaderSize + static_cast<uint32_t>(body.size());
        entry.body = std::move(body).take();
        entry.filled = true;
        return 0;
    });
}

}  // namespace varnel
