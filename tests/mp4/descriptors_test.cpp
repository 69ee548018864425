// Byte layouts of the systems descriptors and of the sample entries that wrap them.

#include <gtest/gtest.h>

#include "tests/mp4/mp4_test_support.h"

namespace varnel::mp4_test {
namespace {

class Descriptors : public Mp4WriterTest {};

Bytes iod(uint32_t count, uint8_t profile) {
    Mp4IodParams p;
    for (uint8_t& b : p.profile_levels) b = profile;
    for (uint32_t i = 0; i < count && i < MP4_MAX_IOD_ES_IDS; ++i) p.es_ids[i] = 0x01020300 + i;
    p.es_id_count = count;
    uint8_t* bytes = reinterpret_cast<uint8_t*>(&p);  // reset to null on failure
    uint32_t size = 7;
    if (mp4_build_iod(&bytes, &size, &p) != 0) {
        EXPECT_EQ(bytes, nullptr);
        EXPECT_EQ(size, 0u);
        return {};
    }
    Bytes out(bytes, bytes + size);
    mp4_free_buffer(bytes);
    return out;
}

TEST_F(Descriptors, InitialObjectDescriptorWithoutIdsAndAtTheLimit) {
    EXPECT_EQ(iod(0, 0x01), (Bytes{0x10, 0x80, 0x80, 0x80, 0x07, 0x00, 0x4F, 0x01, 0x01, 0x01, 0x01, 0x01}));
    const Bytes full = iod(30, 0xFF);
    ASSERT_EQ(full.size(), 9u * 30 + 12);
    EXPECT_EQ(be32(full, 1), 0x80808215u);  // size field of 9 * 30 + 7 = 2 * 128 + 21
    EXPECT_EQ(be32(full, 12 + 9 * 29 + 5), 0x0102031Du);  // the last Track_ID
    EXPECT_TRUE(iod(31, 0xFF).empty());
}

TEST_F(Descriptors, EsBoxLayout) {
    EXPECT_EQ(esBox(0, 0x01, 1, {}, 19),
              (Bytes{0x00, 0x00, 0x00, 0x2C, 'e', 's', 'd', 's', 0, 0, 0, 0,
                     0x03, 0x80, 0x80, 0x80, 0x1B, 0x00, 0x00, 0x00,              // ES_Descriptor, ES_ID 0
                     0x04, 0x80, 0x80, 0x80, 0x0D, 0x01, 0x05, 0x00, 0x00, 0x13,  // DecoderConfigDescriptor
                     0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,              // maxBitrate, avgBitrate
                     0x06, 0x80, 0x80, 0x80, 0x01, 0x02}));                        // SLConfigDescriptor
    const Bytes audio = esBox(1, 0x40, 5, {0x12, 0x10}, 1024, 256000, 128000);
    ASSERT_EQ(audio.size(), 51u);
    EXPECT_EQ(Bytes(audio.begin() + 38, audio.end()),
              (Bytes{0x05, 0x80, 0x80, 0x80, 0x02, 0x12, 0x10, 0x06, 0x80, 0x80, 0x80, 0x01, 0x02}));
    EXPECT_EQ(esBox(0, 0x02, 3, {0x00, 0x00, 0x40}, 8).size(), 52u);
    // objectTypeIndication keeps 8 bits, streamType 6, bufferSizeDB 24.
    const Bytes masked = esBox(0x1234, 0x1FF, 0x45, {}, 0x01ABCDEF);
    EXPECT_EQ(be16(masked, 17), 0x1234);
    EXPECT_EQ(Bytes(masked.begin() + 25, masked.begin() + 30), (Bytes{0xFF, 0x05 << 2 | 1, 0xAB, 0xCD, 0xEF}));

    Mp4EsParams missing;
    missing.decoder_specific_info_size = 2;  // without a pointer
    uint8_t* bytes = nullptr;
    uint32_t size = 0;
    EXPECT_EQ(mp4_build_es_box(&bytes, &size, &missing), -1);
    EXPECT_EQ(bytes, nullptr);
}

// The stsd entry of each track kind, read back from a closed file.
TEST_F(Descriptors, SampleEntriesOfEachKind) {
    Mp4File* file = create(8000);
    const Bytes es = esBox(1, 0x40, 5, {0x12, 0x10});
    Mp4SampleDescription amr, video, rtp_all, rtp_one;
    amr.channel_count = 1;
    amr.time_scale = 12345;  // not used by audio entries
    video.width = 176;
    video.height = 144;
    rtp_all.time_scale = 90000;
    rtp_all.tsro_offset = 7;
    rtp_all.snro_offset = 9;
    rtp_one.tsro_offset = 5;
    const std::pair<int32_t, Mp4SampleDescription> tracks[] = {
        {MP4_TRACK_AMR, amr}, {MP4_TRACK_VIDEO, video}, {MP4_TRACK_HINT, rtp_all}, {MP4_TRACK_HINT, rtp_one}};
    uint32_t id = 1;
    for (const auto& [kind, d] : tracks) {
        Mp4Track* t = addTrack(file, kind, 8000, id++);
        describe(t, d, es);
        ASSERT_EQ(mp4_finish_track(t), 0);
    }
    ASSERT_EQ(mp4_close_file(file), 0);
    const ParsedFile f(out_);
    auto entry = [&](size_t i) { return stblOf(f, i).find("stsd")->children.at(0).bytes(); };

    const Bytes samr = entry(0);
    ASSERT_EQ(samr.size(), 87u);
    EXPECT_EQ(std::string(samr.begin() + 4, samr.begin() + 8), "samr");
    EXPECT_EQ(be16(samr, 14), 1);           // data_reference_index
    EXPECT_EQ(be16(samr, 24), 1);           // channelcount
    EXPECT_EQ(be16(samr, 26), 16);          // samplesize
    EXPECT_EQ(be32(samr, 32), 8000u << 16);  // samplerate: the media time scale
    EXPECT_EQ(Bytes(samr.begin() + 36, samr.end()), es);

    const Bytes mp4v = entry(1);
    ASSERT_EQ(mp4v.size(), 86u + 51);
    EXPECT_EQ(std::string(mp4v.begin() + 4, mp4v.begin() + 8), "mp4v");
    EXPECT_EQ(be32(mp4v, 32), 176u << 16 | 144);  // width, height
    EXPECT_EQ(be32(mp4v, 36), 0x00480000u);       // horizresolution
    EXPECT_EQ(be16(mp4v, 48), 1);                 // frame_count
    EXPECT_EQ(be32(mp4v, 82), 0x0018FFFFu);       // depth, pre_defined -1

    const Bytes rtp = entry(2);
    ASSERT_EQ(rtp.size(), 60u);
    EXPECT_EQ(Bytes(rtp.begin() + 4, rtp.begin() + 36),
              (Bytes{'r', 't', 'p', ' ', 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0,
                     0, 0, 0, 12, 't', 'i', 'm', 's', 0, 1, 0x5F, 0x90}));
    EXPECT_EQ(std::string(rtp.begin() + 40, rtp.begin() + 44), "tsro");
    EXPECT_EQ(std::string(rtp.begin() + 52, rtp.begin() + 56), "snro");
    const Bytes rtp1 = entry(3);
    ASSERT_EQ(rtp1.size(), 36u);
    EXPECT_EQ(std::string(rtp1.begin() + 28, rtp1.begin() + 32), "tsro");
}

TEST_F(Descriptors, SampleDescriptionReplacementAndErrors) {
    Mp4File* file = create();
    Mp4Track* t = addTrack(file, MP4_TRACK_AUDIO, 48000, 1);
    Mp4SampleDescription d;
    d.index = 1;  // the track has one entry
    EXPECT_EQ(mp4_set_sample_description(t, &d), -1);
    EXPECT_EQ(mp4_set_sample_description(nullptr, &d), -1);
    d.index = 0;
    d.channel_count = 1;
    describe(t, d);
    d.channel_count = 2;
    describe(t, d);  // replaces the first
    ASSERT_EQ(mp4_finish_track(t), 0);
    ASSERT_EQ(mp4_close_file(file), 0);  // the refused calls did not fail the file
    const ParsedFile f(out_);
    const Box& stsd = *stblOf(f).find("stsd");
    EXPECT_EQ(stsd.size, 16u + 36 + 44);
    EXPECT_EQ(stsd.children.at(0).u16(16), 2);
}

TEST_F(Descriptors, TrackWithoutDescriptionCannotBeClosed) {
    Mp4File* file = create();
    ASSERT_EQ(mp4_finish_track(addTrack(file)), 0);
    EXPECT_EQ(mp4_close_file(file), -1);
    const Bytes data = readFile(out_);
    EXPECT_EQ(data.size(), 36u);  // ftyp and the mdat header, no moov
    EXPECT_EQ(be32(data, 28), 0u);
}

}  // namespace
}  // namespace varnel::mp4_test
