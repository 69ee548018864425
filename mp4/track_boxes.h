// The in-memory box tree of one track (trak: tkhd, tref, edts, mdia: mdhd, hdlr, minf: media
// header, dinf/dref, stbl with its sample tables). Leaf boxes keep their size current as they
// grow; container sizes are computed from them when the file is closed.
//
// Sample tables (ISO/IEC 14496-12, 8.6 and 8.7) are version 0 full boxes with 32-bit fields,
// their entries held as file bytes in block lists; chunk offsets become the 64-bit co64 table
// once an offset passes 32 bits. The header boxes (tkhd, mdhd, elst) are written as version 1,
// with 64-bit durations, only when a value does not fit their version 0 fields. Block sizes follow how fast a table grows:
// the per-sample tables (stsz, stss) take 50 entries a block, the run-length tables only grow
// when the timing or the chunking changes and take a few.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "mp4/block_list.h"
#include "mp4/byte_order.h"

namespace varnel::mp4 {

inline constexpr uint32_t kBoxHeaderSize = 8;       // size, type
inline constexpr uint32_t kFullBoxHeaderSize = 12;  // size, type, version, flags
inline constexpr uint32_t kTableBoxSize = 16;       // full box header + entry_count
inline constexpr uint32_t kStszBoxSize = 20;        // full box header + sample_size + sample_count
inline constexpr uint32_t kSampleEntryHeaderSize = 16;  // size, type, reserved[6], data_reference_index
inline constexpr uint32_t kTrefEntryHeaderSize = 8;     // size, reference type

// A table box (stts, ctts, stsc, stco, stss): size and entry_count kept current.
struct TableBox {
    TableBox(uint32_t entry_size, uint32_t per_block) : entries(entry_size, per_block) {}
    uint32_t size = kTableBoxSize;
    uint32_t entry_count = 0;
    BlockList entries;
};

struct TimeToSampleBox : TableBox {  // stts
    TimeToSampleBox() : TableBox(8, 5) {}
    uint32_t run_count = 0;     // gaps counted in the open run
    uint32_t run_delta = 0;     // the open run's sample_delta
    bool have_delta = false;
    uint32_t last_decoding_time = 0;
};

struct CompositionOffsetBox : TableBox {  // ctts
    CompositionOffsetBox() : TableBox(8, 5) {}
    uint32_t run_count = 0;
    uint32_t run_offset = 0;
    bool started = false;  // a sample has been recorded
};

struct SampleToChunkBox : TableBox {  // stsc
    SampleToChunkBox() : TableBox(12, 3) {}
    uint32_t samples_in_chunk = 0;
    bool chunk_open = false;  // the current chunk holds samples
};

struct ChunkOffsetBox : TableBox {  // stco, or co64 once `large` is set
    ChunkOffsetBox() : TableBox(4, 10), large_entries(8, 10) {}
    uint32_t chunk_number = 1;              // 1-based number of the current chunk
    uint32_t sample_description_index = 1;  // carried by every stsc entry
    bool large = false;                     // offsets are 64-bit: entries moved to large_entries
    BlockList large_entries;
};

struct SyncSampleBox : TableBox {  // stss
    SyncSampleBox() : TableBox(4, 50) {}
};

struct SampleSizeBox {  // stsz; sample_size is always 0, one entry per sample
    SampleSizeBox() : entries(4, 50) {}
    uint32_t size = kStszBoxSize;
    uint32_t sample_size = 0;
    uint32_t sample_count = 0;
    BlockList entries;
};

// One stsd entry: the 16-byte header fields and the body (everything after the header).
struct SampleEntry {
    bool filled = false;  // set by mp4_set_sample_description
    uint32_t size = 0;
    FourCC type = 0;
    uint16_t data_reference_index = 0;
    std::vector<uint8_t> body;
};

// One dref entry: "url " (media in the output file, flags 1) or "urn " with the name.
struct DataEntry {
    uint32_t size = 0;
    FourCC type = 0;
    uint32_t flags = 0;
    std::string name;  // written with its terminating zero byte; empty for "url "
};

// One tref entry: a reference type and its track IDs in the order added.
struct TrackReferenceType {
    FourCC type = 0;
    std::vector<uint32_t> track_ids;
    uint32_t size() const { return kTrefEntryHeaderSize + 4 * static_cast<uint32_t>(track_ids.size()); }
};

struct TrackBoxes {
    int32_t kind = 0;

    // tkhd
    uint32_t track_id = 0;
    uint32_t tkhd_flags = 0x000001;  // track_enabled
    uint64_t track_duration = 0;     // movie time scale
    uint16_t volume = 0;             // 8.8 fixed point
    uint32_t width = 0;              // 16.16 fixed point
    uint32_t height = 0;             // 16.16 fixed point

    // tref; absent while references is empty
    std::vector<TrackReferenceType> references;

    // edts/elst with one edit; absent unless has_edit_list
    bool has_edit_list = false;
    uint64_t segment_duration = 0;  // movie time scale
    uint64_t media_time = 0;        // media time scale

    // mdhd
    uint32_t time_scale = 0;
    uint64_t media_duration = 0;
    uint16_t language = 0;

    // hdlr
    FourCC handler_type = 0;
    std::string handler_name;

    // hmhd (hint tracks)
    uint16_t max_pdu_size = 0;
    uint16_t avg_pdu_size = 0;
    uint32_t max_bitrate = 0;
    uint32_t avg_bitrate = 0;
    uint32_t max_packet_size = 0;  // maxpacketsize of the "rtp " entry; no operation sets it

    // dinf/dref
    std::vector<DataEntry> data_entries;
    uint32_t next_data_reference_index = 1;

    // stsd
    std::vector<SampleEntry> sample_entries;

    // stbl
    TimeToSampleBox stts;
    CompositionOffsetBox ctts;
    SampleToChunkBox stsc;
    SampleSizeBox stsz;
    ChunkOffsetBox stco;
    SyncSampleBox stss;
    uint32_t next_sample_number = 1;
    bool ctts_needed = false;
    uint32_t last_stsc_samples = 0;
    uint32_t last_stsc_description = 0;

    bool finished = false;

    // Running sizes of the leaf boxes that vary.
    uint32_t trefSize() const;
    uint32_t hdlrSize() const;
    uint32_t drefSize() const;
    uint32_t stsdSize() const;
};

}  // namespace varnel::mp4
