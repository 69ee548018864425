#include "mp4/box_writer.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>

#include "mp4/mp4_file.h"

namespace varnel::mp4 {
namespace {

constexpr uint32_t kFixedOne = 0x00010000;  // 1.0 in 16.16 fixed point
constexpr uint32_t kMatrixW = 0x40000000;   // 1.0 in 2.30 fixed point
constexpr uint16_t kFullVolume = 0x0100;    // 1.0 in 8.8 fixed point

constexpr uint32_t kVmhdSize = 20;
constexpr uint32_t kSmhdSize = 16;
constexpr uint32_t kHmhdSize = 28;
constexpr uint32_t kNmhdSize = 12;

// Debug-build check that a box's declared size matches what was written.
void checkBoxSize([[maybe_unused]] FourCC type, [[maybe_unused]] uint32_t declared,
                  [[maybe_unused]] size_t written) {
#ifndef NDEBUG
    if (written != declared) {
        std::fprintf(stderr, "mp4 box '%c%c%c%c' declares %u bytes but %zu were written\n",
                     static_cast<char>(type >> 24), static_cast<char>(type >> 16), static_cast<char>(type >> 8),
                     static_cast<char>(type), declared, written);
        std::abort();
    }
#endif
}

// ---------------------------------------------------------------- sizes, bottom-up

uint32_t mediaHeaderSize(int32_t kind) {
    switch (kind) {
    case MP4_TRACK_VIDEO: return kVmhdSize;
    case MP4_TRACK_AUDIO:
    case MP4_TRACK_AMR: return kSmhdSize;
    case MP4_TRACK_HINT: return kHmhdSize;
    default: return kNmhdSize;
    }
}

constexpr uint64_t kMax32 = 0xFFFFFFFFu;
constexpr uint64_t kMaxInt32 = 0x7FFFFFFFu;

// Version 1 is chosen per box, only when a value does not fit version 0.
uint8_t mvhdVersion(const MovieHeader& mvhd) { return mvhd.duration > kMax32 ? 1 : 0; }
uint8_t tkhdVersion(const TrackBoxes& t) { return t.track_duration > kMax32 ? 1 : 0; }
uint8_t mdhdVersion(const TrackBoxes& t) { return t.media_duration > kMax32 ? 1 : 0; }
// A version 0 media_time is signed 32-bit (-1 marks an empty edit).
uint8_t elstVersion(const TrackBoxes& t) { return t.segment_duration > kMax32 || t.media_time > kMaxInt32 ? 1 : 0; }

uint32_t mvhdSize(const MovieHeader& mvhd) { return kMvhdSize + (mvhdVersion(mvhd) ? kVersion1Extra : 0); }
uint32_t tkhdSize(const TrackBoxes& t) { return kTkhdSize + (tkhdVersion(t) ? kVersion1Extra : 0); }
uint32_t mdhdSize(const TrackBoxes& t) { return kMdhdSize + (mdhdVersion(t) ? kVersion1Extra : 0); }
uint32_t elstSize(const TrackBoxes& t) { return kElstSize + (elstVersion(t) ? kElstVersion1Extra : 0); }
uint32_t edtsSize(const TrackBoxes& t) { return kBoxHeaderSize + elstSize(t); }

uint64_t dinfSize(const TrackBoxes& t) { return kBoxHeaderSize + uint64_t{t.drefSize()}; }

uint64_t stblSize(const TrackBoxes& t) {
    return uint64_t{kBoxHeaderSize} + t.stsdSize() + t.stts.size + (t.ctts.entry_count > 0 ? t.ctts.size : 0) +
           t.stsc.size + t.stsz.size + t.stco.size + (t.stss.entry_count > 0 ? t.stss.size : 0);
}

uint64_t minfSize(const TrackBoxes& t) {
    return kBoxHeaderSize + mediaHeaderSize(t.kind) + dinfSize(t) + stblSize(t);
}

uint64_t mdiaSize(const TrackBoxes& t) { return kBoxHeaderSize + mdhdSize(t) + uint64_t{t.hdlrSize()} + minfSize(t); }

uint64_t trakSize(const TrackBoxes& t) {
    return kBoxHeaderSize + tkhdSize(t) + uint64_t{t.references.empty() ? 0 : t.trefSize()} +
           (t.has_edit_list ? edtsSize(t) : 0) + mdiaSize(t);
}

// A container's size for its header: the caller has checked that the moov, which holds every
// container, fits 32 bits.
uint32_t boxSize(uint64_t size) {
    assert(size <= kMax32);
    return static_cast<uint32_t>(size);
}

// A field of 32 bits in version 0, 64 bits in version 1.
void timeField(ByteBuffer& out, uint8_t version, uint64_t v) {
    if (version == 1) {
        out.u32(static_cast<uint32_t>(v >> 32));
    }
    out.u32(static_cast<uint32_t>(v));
}

// ---------------------------------------------------------------- boxes

void writeMatrix(ByteBuffer& out) {
    // unity transformation {a, b, u, c, d, v, x, y, w}
    const uint32_t matrix[9] = {kFixedOne, 0, 0, 0, kFixedOne, 0, 0, 0, kMatrixW};
    for (uint32_t v : matrix) out.u32(v);
}

void writeMvhd(ByteBuffer& out, const MovieHeader& mvhd) {
    const uint8_t v = mvhdVersion(mvhd);
    BoxScope box(out, fourcc("mvhd"), mvhdSize(mvhd), v, 0);
    timeField(out, v, 0);              // creation_time
    timeField(out, v, 0);              // modification_time
    out.u32(mvhd.time_scale);          // timescale
    timeField(out, v, mvhd.duration);  // duration
    out.u32(kFixedOne);           // rate
    out.u16(kFullVolume);         // volume
    out.u16(0);                   // reserved
    out.u32(0);                   // reserved[0]
    out.u32(0);                   // reserved[1]
    writeMatrix(out);             // matrix
    out.zeros(6 * 4);             // pre_defined[6]
    out.u32(mvhd.next_track_id);  // next_track_ID
}

void writeIods(ByteBuffer& out, const std::vector<uint8_t>& iod) {
    BoxScope box(out, fourcc("iods"), kFullBoxHeaderSize + static_cast<uint32_t>(iod.size()), 0, 0);
    out.bytes(iod.data(), iod.size());  // InitialObjectDescriptor
}

void writeTkhd(ByteBuffer& out, const TrackBoxes& t) {
    const uint8_t v = tkhdVersion(t);
    BoxScope box(out, fourcc("tkhd"), tkhdSize(t), v, t.tkhd_flags);
    timeField(out, v, 0);                 // creation_time
    timeField(out, v, 0);                 // modification_time
    out.u32(t.track_id);                  // track_ID
    out.u32(0);                           // reserved
    timeField(out, v, t.track_duration);  // duration
    out.u32(0);                 // reserved[0]
    out.u32(0);                 // reserved[1]
    out.u16(0);                 // layer
    out.u16(0);                 // alternate_group
    out.u16(t.volume);          // volume
    out.u16(0);                 // reserved
    writeMatrix(out);           // matrix
    out.u32(t.width);           // width
    out.u32(t.height);          // height
}

void writeTref(ByteBuffer& out, const TrackBoxes& t) {
    BoxScope box(out, fourcc("tref"), t.trefSize());
    for (const TrackReferenceType& reference : t.references) {
        BoxScope entry(out, reference.type, reference.size());
        for (uint32_t id : reference.track_ids) out.u32(id);  // track_IDs
    }
}

void writeEdts(ByteBuffer& out, const TrackBoxes& t) {
    const uint8_t v = elstVersion(t);
    BoxScope edts(out, fourcc("edts"), edtsSize(t));
    BoxScope elst(out, fourcc("elst"), elstSize(t), v, 0);
    out.u32(1);                             // entry_count
    timeField(out, v, t.segment_duration);  // segment_duration
    timeField(out, v, t.media_time);        // media_time
    out.u16(1);                   // media_rate_integer
    out.u16(0);                   // media_rate_fraction
}

void writeMdhd(ByteBuffer& out, const TrackBoxes& t) {
    const uint8_t v = mdhdVersion(t);
    BoxScope box(out, fourcc("mdhd"), mdhdSize(t), v, 0);
    timeField(out, v, 0);                 // creation_time
    timeField(out, v, 0);                 // modification_time
    out.u32(t.time_scale);                // timescale
    timeField(out, v, t.media_duration);  // duration
    out.u16(t.language);        // pad, language
    out.u16(0);                 // pre_defined
}

void writeHdlr(ByteBuffer& out, const TrackBoxes& t) {
    BoxScope box(out, fourcc("hdlr"), t.hdlrSize(), 0, 0);
    out.u32(0);               // pre_defined
    out.type(t.handler_type); // handler_type
    out.zeros(3 * 4);         // reserved[3]
    out.bytes(reinterpret_cast<const uint8_t*>(t.handler_name.c_str()), t.handler_name.size() + 1);  // name
}

void writeMediaHeader(ByteBuffer& out, const TrackBoxes& t) {
    switch (t.kind) {
    case MP4_TRACK_VIDEO: {
        // flags 1: the box carries no composition information (ISO/IEC 14496-12, 12.1.2)
        BoxScope box(out, fourcc("vmhd"), kVmhdSize, 0, 1);
        out.u16(0);      // graphicsmode
        out.zeros(3 * 2); // opcolor[3]
        break;
    }
    case MP4_TRACK_AUDIO:
    case MP4_TRACK_AMR: {
        BoxScope box(out, fourcc("smhd"), kSmhdSize, 0, 0);
        out.u16(0);  // balance
        out.u16(0);  // reserved
        break;
    }
    case MP4_TRACK_HINT: {
        BoxScope box(out, fourcc("hmhd"), kHmhdSize, 0, 0);
        out.u16(t.max_pdu_size);  // maxPDUsize
        out.u16(t.avg_pdu_size);  // avgPDUsize
        out.u32(t.max_bitrate);   // maxbitrate
        out.u32(t.avg_bitrate);   // avgbitrate
        out.u32(0);               // reserved
        break;
    }
    default: {
        BoxScope box(out, fourcc("nmhd"), kNmhdSize, 0, 0);
        break;
    }
    }
}

void writeDinf(ByteBuffer& out, const TrackBoxes& t) {
    BoxScope dinf(out, fourcc("dinf"), boxSize(dinfSize(t)));
    BoxScope dref(out, fourcc("dref"), t.drefSize(), 0, 0);
    out.u32(static_cast<uint32_t>(t.data_entries.size()));  // entry_count
    for (const DataEntry& e : t.data_entries) {
        BoxScope entry(out, e.type, e.size, 0, e.flags);
        if (!e.name.empty()) out.bytes(reinterpret_cast<const uint8_t*>(e.name.c_str()), e.name.size() + 1);  // name
    }
}

void writeStsd(ByteBuffer& out, const TrackBoxes& t) {
    BoxScope stsd(out, fourcc("stsd"), t.stsdSize(), 0, 0);
    out.u32(static_cast<uint32_t>(t.sample_entries.size()));  // entry_count
    for (const SampleEntry& e : t.sample_entries) {
        assert(e.filled);
        BoxScope entry(out, e.type, e.size);
        out.zeros(6);                     // reserved[6]
        out.u16(e.data_reference_index);  // data_reference_index
        out.bytes(e.body.data(), e.body.size());
    }
}

// Copies a block list's entries out block by block through a buffer that holds any one block.
void copyEntries(ByteBuffer& out, BlockList& list, std::vector<uint8_t>& scratch, [[maybe_unused]] uint32_t count) {
    const auto block_bytes = static_cast<size_t>(list.blockBytes(BlockList::kLargestBlock));
    if (scratch.size() < block_bytes) scratch.resize(block_bytes);
    [[maybe_unused]] const size_t start = out.size();
    uint32_t bytes = 0;
    while (list.nextBlock(scratch.data(), &bytes) == 0) out.bytes(scratch.data(), bytes);
    list.rewind();
    assert(out.size() - start == size_t{count} * list.entrySize());
}

void writeTable(ByteBuffer& out, FourCC type, TableBox& table, std::vector<uint8_t>& scratch) {
    BoxScope box(out, type, table.size, 0, 0);
    out.u32(table.entry_count);  // entry_count
    copyEntries(out, table.entries, scratch, table.entry_count);
}

void writeStsz(ByteBuffer& out, SampleSizeBox& stsz, std::vector<uint8_t>& scratch) {
    BoxScope box(out, fourcc("stsz"), stsz.size, 0, 0);
    out.u32(stsz.sample_size);   // sample_size
    out.u32(stsz.sample_count);  // sample_count
    copyEntries(out, stsz.entries, scratch, stsz.sample_count);  // entry_size[sample_count]
}

void writeStbl(ByteBuffer& out, TrackBoxes& t, std::vector<uint8_t>& scratch) {
    BoxScope stbl(out, fourcc("stbl"), boxSize(stblSize(t)));
    writeStsd(out, t);
    writeTable(out, fourcc("stts"), t.stts, scratch);
    if (t.ctts.entry_count > 0) writeTable(out, fourcc("ctts"), t.ctts, scratch);
    writeTable(out, fourcc("stsc"), t.stsc, scratch);
    writeStsz(out, t.stsz, scratch);
    if (t.stco.large) {
        BoxScope box(out, fourcc("co64"), t.stco.size, 0, 0);
        out.u32(t.stco.entry_count);  // entry_count
        copyEntries(out, t.stco.large_entries, scratch, t.stco.entry_count);
    } else {
        writeTable(out, fourcc("stco"), t.stco, scratch);
    }
    if (t.stss.entry_count > 0) writeTable(out, fourcc("stss"), t.stss, scratch);
}

void writeTrak(ByteBuffer& out, TrackBoxes& t, std::vector<uint8_t>& scratch) {
    BoxScope trak(out, fourcc("trak"), boxSize(trakSize(t)));
    writeTkhd(out, t);
    if (!t.references.empty()) writeTref(out, t);
    if (t.has_edit_list) writeEdts(out, t);
    BoxScope mdia(out, fourcc("mdia"), boxSize(mdiaSize(t)));
    writeMdhd(out, t);
    writeHdlr(out, t);
    BoxScope minf(out, fourcc("minf"), boxSize(minfSize(t)));
    writeMediaHeader(out, t);
    writeDinf(out, t);
    writeStbl(out, t, scratch);
}

// ---------------------------------------------------------------- metadata: udta/meta/ilst

// The metadata handler: handler_type "mdir" with "appl" in the first reserved word, as the
// players that read this list write it, and an empty name.
constexpr uint32_t kMetaHdlrSize = kFullBoxHeaderSize + 4 + 4 + 3 * 4 + 1;
constexpr uint32_t kDataBoxFixed = kFullBoxHeaderSize + 4;  // data: type (version, flags), locale

// The mean of free-form items.
constexpr char kFreeformMean[] = "com.apple.iTunes";
constexpr uint32_t kFreeformMeanSize = kFullBoxHeaderSize + sizeof kFreeformMean - 1;

uint32_t freeformNameSize(const TagItem& item) {
    return kFullBoxHeaderSize + static_cast<uint32_t>(item.name.size());
}

uint32_t tagItemSize(const TagItem& item) {
    const uint32_t freeform = item.type == fourcc("----") ? kFreeformMeanSize + freeformNameSize(item) : 0;
    return kBoxHeaderSize + freeform + kDataBoxFixed + static_cast<uint32_t>(item.value.size());
}

uint32_t ilstSize(const Mp4File& file) {
    uint32_t size = kBoxHeaderSize;
    for (const TagItem& item : file.tags) size += tagItemSize(item);
    return size;
}

uint32_t metaSize(const Mp4File& file) { return kFullBoxHeaderSize + kMetaHdlrSize + ilstSize(file); }
uint32_t assetSize(const AssetBox& box) { return kFullBoxHeaderSize + static_cast<uint32_t>(box.body.size()); }

uint32_t udtaSize(const Mp4File& file) {
    if (file.tags.empty()) return 0;
    uint32_t size = kBoxHeaderSize + metaSize(file);
    for (const AssetBox& box : file.assets) size += assetSize(box);
    return size;
}

void writeUdta(ByteBuffer& out, const Mp4File& file) {
    BoxScope udta(out, fourcc("udta"), udtaSize(file));
    for (const AssetBox& box : file.assets) {
        BoxScope asset(out, box.type, assetSize(box), 0, 0);
        out.bytes(box.body.data(), box.body.size());
    }
    BoxScope meta(out, fourcc("meta"), metaSize(file), 0, 0);
    {
        BoxScope hdlr(out, fourcc("hdlr"), kMetaHdlrSize, 0, 0);
        out.u32(0);                // pre_defined
        out.type(fourcc("mdir"));  // handler_type
        out.type(fourcc("appl"));  // reserved[0]
        out.zeros(2 * 4);          // reserved[1..2]
        out.u8(0);                 // name: empty
    }
    BoxScope ilst(out, fourcc("ilst"), ilstSize(file));
    for (const TagItem& item : file.tags) {
        BoxScope entry(out, item.type, tagItemSize(item));
        if (item.type == fourcc("----")) {
            {
                BoxScope mean(out, fourcc("mean"), kFreeformMeanSize, 0, 0);
                out.bytes(reinterpret_cast<const uint8_t*>(kFreeformMean), sizeof kFreeformMean - 1);
            }
            BoxScope name(out, fourcc("name"), freeformNameSize(item), 0, 0);
            out.bytes(reinterpret_cast<const uint8_t*>(item.name.data()), item.name.size());
        }
        BoxScope data(out, fourcc("data"), kDataBoxFixed + static_cast<uint32_t>(item.value.size()), 0,
                      item.data_type);  // version 0, flags: the well-known type
        out.u32(0);  // locale
        out.bytes(item.value.data(), item.value.size());
    }
}

}  // namespace

BoxScope::BoxScope(ByteBuffer& out, FourCC type, uint32_t size)
    : out_(out), type_(type), size_(size), start_(out.size()) {
    out_.u32(size);  // size
    out_.type(type); // type
}

BoxScope::BoxScope(ByteBuffer& out, FourCC type, uint32_t size, uint8_t version, uint32_t flags)
    : BoxScope(out, type, size) {
    out_.u8(version);  // version
    out_.u24(flags);   // flags
}

BoxScope::~BoxScope() { checkBoxSize(type_, size_, out_.size() - start_); }

std::vector<uint8_t> serialiseFtyp(int32_t brands) {
    ByteBuffer out;
    {
        const bool m4a = brands == MP4_BRANDS_M4A;
        BoxScope box(out, fourcc("ftyp"), kFtypSize);
        out.type(fourcc(m4a ? "M4A " : "3gp5"));  // major_brand
        out.u32(m4a ? 0 : kMinorVersion);         // minor_version
        out.type(fourcc(m4a ? "M4A " : "3gp5"));  // compatible_brands[0]
        out.type(fourcc(m4a ? "mp42" : "3gp4"));  // compatible_brands[1]
        out.type(fourcc(m4a ? "isom" : "mp41"));  // compatible_brands[2]
    }
    return std::move(out).take();
}

uint64_t moovSize(const Mp4File& file) {
    uint64_t size = kBoxHeaderSize + mvhdSize(file.mvhd);
    if (file.has_iods) size += kFullBoxHeaderSize + file.iod.size();
    for (const auto& t : file.tracks) size += trakSize(*t);
    return size + udtaSize(file);
}

bool writeMoov(Mp4File& file, std::FILE* sink) {
    ByteBuffer out(sink);
    std::vector<uint8_t> scratch;  // one block of the table being copied, grown as needed
    {
        BoxScope moov(out, fourcc("moov"), boxSize(moovSize(file)));
        writeMvhd(out, file.mvhd);
        if (file.has_iods) writeIods(out, file.iod);
        for (const auto& t : file.tracks) writeTrak(out, *t, scratch);
        if (!file.tags.empty()) writeUdta(out, file);
    }
    return out.flush();
}

}  // namespace varnel::mp4
