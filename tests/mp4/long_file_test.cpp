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

// A full box's version and the 32- or 64-bit field at `v0` (version 0) or `v1` (version 1).
std::pair<int, uint64_t> versioned(const Box& box, size_t v0, size_t v1) {
    const int version = box.data->at(box.offset + 8);
    return {version, version == 1 ? be64(*box.data, box.offset + 8 + v1) : box.u32(v0)};
}

TEST_F(LongFiles, DurationsPast32BitsTakeVersion1Boxes) {
    const struct {
        std::vector<uint32_t> times;  // decoding times; a 32-bit clock wraps
        uint64_t segment;             // elst segment_duration, 0: no edit list
        uint64_t media, track;        // expected mdhd and tkhd (= mvhd) durations
    } cases[] = {
        {{0, 0x7FFFFFFF}, 0, 0xFFFFFFFE, 0xFFFFFFFE},
        {{0, 0x80000000}, 0, k32, k32},
        {{0, 0x80000000, 0, 0x80000000}, 0, 2 * k32, 2 * k32},
        {{0, 0x80000000, 0}, 0xFFFFFFFF, 3 * k32 / 2, 0xFFFFFFFF},
        {{0, 1024}, k32 + 5, 2048, k32 + 5},
    };
    const auto v = [](uint64_t value) { return std::make_pair(value >= k32 ? 1 : 0, value); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.media);
        Mp4File* file = create(48000);
        Mp4Track* t = addTrack(file, MP4_TRACK_AUDIO, 48000, 1);
        describe(t);
        for (uint32_t time : c.times) ASSERT_EQ(write(t, {1, 2}, time), 0);
        ASSERT_EQ(c.segment ? mp4_set_edit_list(t, c.segment, 2048) : 0, 0);
        ASSERT_EQ(mp4_finish_track(t), 0);
        ASSERT_EQ(mp4_close_file(file), 0);
        const ParsedFile f(out_);  // also checks every declared size
        EXPECT_EQ(versioned(*f.trak(0).find("mdia/mdhd"), 16, 24), v(c.media));
        EXPECT_EQ(versioned(*f.trak(0).find("tkhd"), 20, 28), v(c.track));
        EXPECT_EQ(versioned(*f.moov().find("mvhd"), 16, 24), v(c.track));
        if (c.segment) {
            const Box& elst = *f.trak(0).find("edts/elst");
            EXPECT_EQ(versioned(elst, 8, 8), v(c.segment));
            EXPECT_EQ(versioned(elst, 12, 16).second, 2048u);  // media_time
        }
    }
}

TEST_F(LongFiles, MediaPast4GiBContinuesIn64BitBoxes) {
    constexpr uint64_t G = 1u << 30;
    constexpr uint64_t kFirst = 36;  // after ftyp and the 8-byte mdat header
    const struct {
        std::vector<std::pair<int, uint32_t>> samples;    // (track, size) in writing order
        std::vector<uint64_t> mdats;                      // sizes of the top-level mdat boxes
        std::vector<std::vector<uint64_t>> chunks;        // chunk offsets per track
        bool co64;                                        // the tables are co64 (else stco)
    } cases[] = {
        {{{0, G}, {0, G}, {0, G}, {0, G - 9}}, {8 + 4 * G - 9}, {{kFirst}, {}}, false},
        {{{0, G}, {0, G}, {0, G}, {0, G - 8}}, {8 + 3 * G, 16 + G - 8}, {{kFirst, kFirst + 3 * G + 16}, {}}, false},
        {{{0, G}, {0, G}, {0, G}, {0, G}, {0, G}, {1, 10}, {0, 7}},
         {8 + 3 * G, 16 + 2 * G + 17},
         {{kFirst, kFirst + 3 * G + 16, kFirst + 5 * G + 26}, {kFirst + 5 * G + 16}},
         true},
    };
    static const uint8_t kUnread = 0;  // the payload is reserved, never read
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mdats.back());
        Mp4File* file = create(48000);
        file->media_files->skipPayloadForTest();
        Mp4Track* tracks[2] = {addTrack(file, MP4_TRACK_AUDIO, 48000, 1), addTrack(file, MP4_TRACK_AUDIO, 48000, 2)};
        uint32_t time[2] = {0, 0};
        for (const auto& [track, size] : c.samples) {
            Mp4Sample s;
            s.data = &kUnread;
            s.size = size;
            s.decoding_time = (time[track] += 1024);
            ASSERT_EQ(mp4_write_sample(tracks[track], &s), 0);
        }
        for (Mp4Track* t : tracks) describeAndFinish(t);
        ASSERT_EQ(mp4_close_file(file), 0);

        // Walk the top-level boxes by seeking, 64-bit sizes included; read only the moov.
        std::ifstream in(out_, std::ios::binary | std::ios::ate);
        const uint64_t end = static_cast<uint64_t>(in.tellg());
        std::vector<uint64_t> mdats;
        Bytes moov;
        for (uint64_t pos = 0; pos < end;) {
            Bytes h(16);
            in.seekg(static_cast<std::streamoff>(pos)).read(reinterpret_cast<char*>(h.data()), 16);
            const uint64_t size = be32(h, 0) == 1 ? be64(h, 8) : be32(h, 0);
            ASSERT_TRUE(size >= 8 && pos + size <= end) << pos;
            const std::string type(h.begin() + 4, h.begin() + 8);
            if (type == "mdat") mdats.push_back(size);
            if (type == "moov") {
                moov.resize(size);
                in.seekg(static_cast<std::streamoff>(pos)).read(reinterpret_cast<char*>(moov.data()), 
                                                                static_cast<std::streamsize>(size));
                EXPECT_EQ(pos + size, end);
            }
            pos += size;
        }
        EXPECT_EQ(mdats, c.mdats);
        const std::vector<Box> top = parseBoxes(moov, 0, moov.size());
        for (size_t t = 0; t < 2; ++t) {
            const Box& stbl = *top[0].children[1 + t].find("mdia/minf/stbl");
            const Box* table = stbl.find(c.co64 ? "co64" : "stco");
            ASSERT_NE(table, nullptr);
            const uint32_t width = c.co64 ? 8 : 4;
            ASSERT_EQ(table->size, 16 + width * table->u32(4));
            std::vector<uint64_t> offsets;
            for (uint32_t i = 0; i < table->u32(4); ++i)
                offsets.push_back(c.co64 ? be64(moov, table->offset + 16 + 8 * i) : table->u32(8 + 4 * i));
            EXPECT_EQ(offsets, c.chunks[t]) << "track " << t;
        }
        std::filesystem::remove(out_);
    }
}

}  // namespace
}  // namespace varnel::mp4_test
