// Files past the 32-bit limits: durations beyond 2^32 ticks take version 1 header boxes, media
// data beyond 4 GiB continues in a 64-bit mdat and chunk offsets beyond 32 bits a co64 table.
// The 4 GiB cases reserve their samples' bytes without writing them (a sparse file), so the
// layout and every offset are real while the test writes only headers and the moov.

#include <gtest/gtest.h>

#include <fstream>

#include "mp4/mp4_file.h"
#include "tests/mp4/mp4_test_support.h"

namespace varnel::mp4_test {
namespace {

class LongFiles : public Mp4WriterTest {};

constexpr uint64_t k32 = uint64_t{1} << 32;

uint64_t be64(const Bytes& d, size_t at) { return uint64_t{be32(d, at)} << 32 | be32(d, at + 4); }

// A full box's version and its duration field (at `v0` in version 0, `v1` in version 1).
std::pair<int, uint64_t> versionAndDuration(const Box& box, size_t v0, size_t v1) {
    const int version = box.data->at(box.offset + 8);
    return {version, version == 1 ? be64(*box.data, box.offset + 8 + v1) : box.u32(v0)};
}

struct DurationCase {
    const char* name;
    std::vector<uint32_t> times;  // decoding times, wrapping past 2^32 as a 32-bit clock does
    uint64_t segment;             // edit list segment_duration, 0: no edit list
    uint64_t media_duration;
    uint64_t track_duration;
};

TEST_F(LongFiles, DurationsPast32BitsTakeVersion1Boxes) {
    const DurationCase cases[] = {
        {"fits", {0, 0x7FFFFFFF}, 0, 0xFFFFFFFE, 0xFFFFFFFE},
        {"just past", {0, 0x80000000}, 0, k32, k32},
        {"clock wraps", {0, 0x80000000, 0, 0x80000000}, 0, 2 * k32, 2 * k32},
        {"edit fits", {0, 0x80000000, 0}, 0xFFFFFFFF, 3 * (k32 / 2), 0xFFFFFFFF},
        {"edit past", {0, 1024}, k32 + 5, 2048, k32 + 5},
    };
    for (const DurationCase& c : cases) {
        SCOPED_TRACE(c.name);
        Mp4File* file = create(48000);
        Mp4Track* t = addTrack(file, MP4_TRACK_AUDIO, 48000, 1);
        describe(t);
        for (uint32_t time : c.times) ASSERT_EQ(write(t, {1, 2}, time), 0);
        if (c.segment) {
            ASSERT_EQ(mp4_set_edit_list(t, c.segment, 2048), 0);
        }
        ASSERT_EQ(mp4_finish_track(t), 0);
        ASSERT_EQ(mp4_close_file(file), 0);
        const ParsedFile f(out_);
        const auto v = [](uint64_t value) { return value >= k32 ? 1 : 0; };
        EXPECT_EQ(versionAndDuration(*f.trak(0).find("mdia/mdhd"), 16, 24),
                  std::make_pair(v(c.media_duration), c.media_duration));
        EXPECT_EQ(versionAndDuration(*f.trak(0).find("tkhd"), 20, 28),
                  std::make_pair(v(c.track_duration), c.track_duration));
        EXPECT_EQ(versionAndDuration(*f.moov().find("mvhd"), 16, 24),
                  std::make_pair(v(c.track_duration), c.track_duration));
        EXPECT_EQ(f.trak(0).find("mdia/mdhd")->size, v(c.media_duration) ? 44u : 32u);
        if (c.segment) {
            const Box& elst = *f.trak(0).find("edts/elst");
            const uint64_t seg = v(c.segment) ? be64(f.data, elst.offset + 16) : elst.u32(8);
            const uint64_t media_time = v(c.segment) ? be64(f.data, elst.offset + 24) : elst.u32(12);
            EXPECT_EQ(elst.size, v(c.segment) ? 36u : 28u);
            EXPECT_EQ(std::make_pair(seg, media_time), std::make_pair(c.segment, uint64_t{2048}));
        }
    }
}

// The top-level boxes and the moov of a file too large to read whole.
struct LargeFile {
    struct Top {
        std::string type;
        uint64_t offset, size;
        int header;
    };
    std::vector<Top> top;
    Bytes moov;  // the moov box alone, parsed from offset 0

    explicit LargeFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        in.seekg(0, std::ios::end);
        const uint64_t end = static_cast<uint64_t>(in.tellg());
        for (uint64_t pos = 0; pos < end;) {
            Bytes h(16);
            in.seekg(static_cast<std::streamoff>(pos));
            in.read(reinterpret_cast<char*>(h.data()), 16);
            const uint32_t size = be32(h, 0);
            Top box{std::string(h.begin() + 4, h.begin() + 8), pos, size == 1 ? be64(h, 8) : size, size == 1 ? 16 : 8};
            if (box.size < 8 || pos + box.size > end) throw std::runtime_error("bad top-level size of " + box.type);
            if (box.type == "moov") {
                moov.resize(box.size);
                in.seekg(static_cast<std::streamoff>(pos));
                in.read(reinterpret_cast<char*>(moov.data()), static_cast<std::streamsize>(box.size));
            }
            top.push_back(box);
            pos += box.size;
        }
    }
};

// Chunk offsets of a track from its stco or co64 table.
std::vector<uint64_t> chunkOffsets(const Box& stbl) {
    std::vector<uint64_t> offsets;
    if (const Box* stco = stbl.find("stco")) {
        for (const auto& e : tableEntries(*stco, 1)) offsets.push_back(e[0]);
    } else if (const Box* co64 = stbl.find("co64")) {
        const uint32_t count = co64->u32(4);
        EXPECT_EQ(co64->size, 16 + 8 * count);
        for (uint32_t i = 0; i < count; ++i) offsets.push_back(be64(*co64->data, co64->offset + 16 + 8 * i));
    }
    return offsets;
}

struct SizeCase {
    const char* name;
    std::vector<std::pair<int, uint32_t>> samples;  // (track 0 or 1, size) in writing order
    std::vector<uint64_t> mdat_sizes;
    std::vector<std::vector<uint64_t>> chunk_offsets;  // per track
    std::vector<bool> co64;                             // per track
};

TEST_F(LongFiles, MediaPast4GiBContinuesIn64BitBoxes) {
    constexpr uint32_t G = 1u << 30;
    constexpr uint64_t kFirst = 36;  // after ftyp and the 8-byte mdat header
    const SizeCase cases[] = {
        {"just below", {{0, G}, {0, G}, {0, G}, {0, G - 9}}, {8 + 4 * uint64_t{G} - 9}, {{kFirst}, {}}, {false, false}},
        {"just past",
         {{0, G}, {0, G}, {0, G}, {0, G - 8}},
         {8 + 3 * uint64_t{G}, 16 + G - 8},
         {{kFirst, kFirst + 3 * uint64_t{G} + 16}, {}},
         {false, false}},
        {"chunks past 4 GiB",
         {{0, G}, {0, G}, {0, G}, {0, G}, {0, G}, {1, 10}, {0, 7}},
         {8 + 3 * uint64_t{G}, 16 + 2 * uint64_t{G} + 10 + 7},
         {{kFirst, kFirst + 3 * uint64_t{G} + 16, kFirst + 5 * uint64_t{G} + 16 + 10},
          {kFirst + 5 * uint64_t{G} + 16}},
         {true, true}},
    };
    static const uint8_t kUnread = 0;  // the payload is reserved, never read
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.name);
        Mp4File* file = create(48000);
        file->media_files->skipPayloadForTest();
        Mp4Track* tracks[2] = {addTrack(file, MP4_TRACK_AUDIO, 48000, 1), addTrack(file, MP4_TRACK_AUDIO, 48000, 2)};
        uint32_t time[2] = {0, 0};
        for (const auto& [track, size] : c.samples) {
            Mp4Sample s;
            s.data = &kUnread;
            s.size = size;
            s.decoding_time = time[track];
            time[track] += 1024;
            ASSERT_EQ(mp4_write_sample(tracks[track], &s), 0);
        }
        for (Mp4Track* t : tracks) describeAndFinish(t);
        ASSERT_EQ(mp4_close_file(file), 0);

        const LargeFile f(out_);
        std::vector<uint64_t> mdats;
        std::vector<std::string> types;
        for (const auto& b : f.top) {
            types.push_back(b.type);
            if (b.type == "mdat") mdats.push_back(b.size);
        }
        EXPECT_EQ(types.back(), "moov");
        EXPECT_EQ(mdats, c.mdat_sizes);
        EXPECT_EQ(f.top[1].header, 8);
        if (mdats.size() > 1) {
            EXPECT_EQ(f.top[2].header, 16);
        }
        const std::vector<Box> moov = parseBoxes(f.moov, 0, f.moov.size());
        std::vector<const Box*> traks;
        for (const Box& b : moov[0].children)
            if (b.type == "trak") traks.push_back(&b);
        ASSERT_EQ(traks.size(), 2u);
        for (size_t t = 0; t < 2; ++t) {
            const Box& stbl = *traks[t]->find("mdia/minf/stbl");
            EXPECT_EQ(chunkOffsets(stbl), c.chunk_offsets[t]) << "track " << t;
            EXPECT_EQ(stbl.find("co64") != nullptr, c.co64[t]) << "track " << t;
            EXPECT_EQ(stbl.find("stco") != nullptr, !c.co64[t]) << "track " << t;
        }
        std::filesystem::remove(out_);
    }
}

TEST_F(LongFiles, SamplesBeyondTheTableLimitAreRefused) {
    // Each stsz entry takes 4 bytes of a moov whose size is 32-bit; the limit keeps it below.
    static_assert(uint64_t{MP4_MAX_SAMPLES_PER_TRACK} * 4 + (uint64_t{1} << 21) <= 0xFFFFFFFFu);
    Mp4File* file = create();
    Mp4Track* t = addTrack(file, MP4_TRACK_AUDIO);
    describe(t);
    file->tracks[0]->stsz.sample_count = MP4_MAX_SAMPLES_PER_TRACK - 1;  // as if written
    EXPECT_EQ(write(t, {1}, 0), 0);
    EXPECT_EQ(write(t, {1}, 1), -1);
    EXPECT_FALSE(file->media_files->failed());
    mp4_close_file(file);
}

}  // namespace
}  // namespace varnel::mp4_test
