// Sample tables as written to the file: timing runs, composition offsets, sync samples,
// chunking across interleaved tracks, and the durations derived from them.

#include <gtest/gtest.h>

#include "tests/mp4/mp4_test_support.h"

namespace varnel::mp4_test {
namespace {

class SampleTables : public Mp4WriterTest {};

uint32_t mdhdDuration(const ParsedFile& f, size_t track = 0) { return f.trak(track).find("mdia/mdhd")->u32(16); }
uint32_t tkhdDuration(const ParsedFile& f, size_t track = 0) { return f.trak(track).find("tkhd")->u32(20); }

TEST_F(SampleTables, TimeToSampleRuns) {
    struct Case {
        std::vector<uint32_t> times;
        Entries stts;
        uint32_t duration;
    };
    const Case cases[] = {
        {{0}, {{1, 0}}, 0},
        {{0, 1024, 2048, 3072}, {{4, 1024}}, 4096},
        // a run is flushed when the gap changes; the last sample counts in the last run
        {{0, 10, 20, 25, 30, 40}, {{2, 10}, {2, 5}, {2, 10}}, 50},
        // with one entry recorded before finish, the last run keeps its own delta
        {{0, 10, 20, 25}, {{2, 10}, {2, 5}}, 30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.times.size());
        const ParsedFile f = singleTrackFile(c.times);
        EXPECT_EQ(table(f, "stts", 2), c.stts);
        EXPECT_EQ(mdhdDuration(f), c.duration);
        EXPECT_EQ(tkhdDuration(f), c.duration);  // both time scales 1000
    }
}

TEST_F(SampleTables, EmptyTrackHasEmptyTables) {
    const ParsedFile f = singleTrackFile({});
    EXPECT_EQ(stblOf(f).childTypes(), (Types{"stsd", "stts", "stsc", "stsz", "stco"}));
    EXPECT_TRUE(table(f, "stts", 2).empty());
    EXPECT_TRUE(table(f, "stsc", 3).empty());
    EXPECT_TRUE(table(f, "stco", 1).empty());
    EXPECT_TRUE(sampleSizes(*stblOf(f).find("stsz")).empty());
    EXPECT_EQ(mdhdDuration(f), 0u);
}

TEST_F(SampleTables, CompositionOffsetsAndSyncSamples) {
    Mp4File* file = create();
    Mp4Track* t = addTrack(file);
    describe(t);
    // composition offsets 20, 20, 0, 10; the last sample has none and continues the run
    const uint32_t composition[] = {20, 30, 20, 40};
    for (uint32_t i = 0; i < 4; ++i)
        ASSERT_EQ(write(t, {1}, 10 * i, i % 2 ? MP4_SAMPLE_PLAIN : MP4_SAMPLE_SYNC, &composition[i]), 0);
    ASSERT_EQ(write(t, {2}, 40), 0);
    ASSERT_EQ(mp4_finish_track(t), 0);
    ASSERT_EQ(mp4_close_file(file), 0);
    const ParsedFile f(out_);
    EXPECT_EQ(stblOf(f).childTypes(), (Types{"stsd", "stts", "ctts", "stsc", "stsz", "stco", "stss"}));
    EXPECT_EQ(table(f, "ctts", 2), (Entries{{2, 20}, {1, 0}, {2, 10}}));
    EXPECT_EQ(table(f, "stss", 1), (Entries{{1}, {3}}));

    // Without composition times and sync codes neither table is written.
    EXPECT_EQ(stblOf(singleTrackFile({0, 1, 2})).childTypes(), (Types{"stsd", "stts", "stsc", "stsz", "stco"}));
}

TEST_F(SampleTables, InterleavedTracksEndEachOthersChunks) {
    Mp4File* file = create();
    Mp4Track* a = addTrack(file, MP4_TRACK_OD, 1000, 1);
    Mp4Track* b = addTrack(file, MP4_TRACK_SCENE, 1000, 2);
    Mp4Track* c = addTrack(file, MP4_TRACK_SCENE, 1000, 3);
    for (Mp4Track* t : {a, b, c}) describe(t);
    // a a b a a a b c b c b c: chunks of a hold 2 and 3 samples; b and c alternate
    const char order[] = "aabaaabcbcbc";
    uint32_t count[3] = {};
    for (const char* o = order; *o; ++o) {
        const int k = *o - 'a';
        ASSERT_EQ(write(k == 0 ? a : k == 1 ? b : c, Bytes(3 + k, static_cast<uint8_t>(16 * k + count[k])), count[k]), 0);
        ++count[k];
    }
    for (Mp4Track* t : {a, b, c}) ASSERT_EQ(mp4_finish_track(t), 0);
    ASSERT_EQ(mp4_close_file(file), 0);
    const ParsedFile f(out_);
    EXPECT_EQ(table(f, "stco", 1, 0), (Entries{{36}, {46}}));
    EXPECT_EQ(table(f, "stsc", 3, 0), (Entries{{1, 2, 1}, {2, 3, 1}}));
    EXPECT_EQ(table(f, "stco", 1, 1), (Entries{{42}, {55}, {64}, {73}}));
    EXPECT_EQ(table(f, "stsc", 3, 1), (Entries{{1, 1, 1}, {4, 1, 1}}));  // no repeats of (1, 1, 1)
    EXPECT_EQ(table(f, "stsc", 3, 2), (Entries{{1, 1, 1}, {3, 1, 1}}));
    for (size_t k = 0; k < 3; ++k) {
        const auto samples = trackSamples(f.data, f.trak(k));
        ASSERT_EQ(samples.size(), count[k]);
        for (uint32_t i = 0; i < count[k]; ++i) EXPECT_EQ(samples[i], Bytes(3 + k, static_cast<uint8_t>(16 * k + i)));
    }
    EXPECT_EQ(f.box("mdat").size, 8u + 5 * 3 + 4 * 4 + 3 * 5);
}

TEST_F(SampleTables, DurationsInTheMovieTimeScaleAndTheEditList) {
    Mp4File* file = create(44100);
    Mp4Track* a = addTrack(file, MP4_TRACK_AUDIO, 3, 1);  // media time scale 3
    Mp4Track* b = addTrack(file, MP4_TRACK_AUDIO, 44100, 2);
    describe(a);
    describe(b);
    ASSERT_EQ(write(a, {1}, 0), 0);
    ASSERT_EQ(write(a, {1}, 1), 0);
    for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(write(b, {0, 0}, 1024 * i), 0);
    ASSERT_EQ(mp4_set_edit_list(b, 1500, 2048), 0);
    ASSERT_EQ(mp4_finish_track(a), 0);
    ASSERT_EQ(mp4_finish_track(b), 0);
    ASSERT_EQ(mp4_close_file(file), 0);
    const ParsedFile f(out_);
    EXPECT_EQ(mdhdDuration(f, 0), 2u);
    EXPECT_EQ(tkhdDuration(f, 0), 29400u);  // 2 / 3 * 44100, truncated
    EXPECT_EQ(f.trak(0).childTypes(), (Types{"tkhd", "mdia"}));
    EXPECT_EQ(f.trak(1).childTypes(), (Types{"tkhd", "edts", "mdia"}));
    EXPECT_EQ(f.trak(1).find("edts/elst")->bytes(), (Bytes{0, 0, 0, 28, 'e', 'l', 's', 't', 0, 0, 0, 0, 0, 0, 0, 1,
                                                           0, 0, 0x05, 0xDC, 0, 0, 0x08, 0x00, 0, 1, 0, 0}));
    EXPECT_EQ(mdhdDuration(f, 1), 4096u);
    EXPECT_EQ(tkhdDuration(f, 1), 1500u);               // the edit's segment_duration
    EXPECT_EQ(f.moov().find("mvhd")->u32(16), 29400u);  // the largest tkhd duration
}

TEST_F(SampleTables, TablesLargerThanTheWriteBufferReachTheFileWhole) {
    // 70000 sizes are 280000 bytes of stsz, written out in several pieces; with a second track
    // after the long one, a piece lost or repeated would shift every box that follows.
    constexpr uint32_t kSamples = 70000;
    Mp4File* file = create();
    Mp4Track* a = addTrack(file, MP4_TRACK_AUDIO, 1000, 1);
    Mp4Track* b = addTrack(file, MP4_TRACK_AUDIO, 1000, 2);
    describe(a);
    describe(b);
    for (uint32_t i = 0; i < kSamples; ++i) ASSERT_EQ(write(a, Bytes(1 + i % 7, 0), i), 0);
    ASSERT_EQ(write(b, {1, 2, 3}, 0), 0);
    ASSERT_EQ(mp4_finish_track(a), 0);
    ASSERT_EQ(mp4_finish_track(b), 0);
    ASSERT_EQ(mp4_close_file(file), 0);
    const ParsedFile f(out_);
    EXPECT_EQ(f.top.back().type, "moov");
    EXPECT_EQ(size_t{f.top.back().offset} + f.top.back().size, f.data.size());
    const std::vector<uint32_t> sizes = sampleSizes(*stblOf(f, 0).find("stsz"));
    ASSERT_EQ(sizes.size(), kSamples);
    for (uint32_t i = 0; i < kSamples; ++i) ASSERT_EQ(sizes[i], 1 + i % 7) << i;
    EXPECT_EQ(sampleSizes(*stblOf(f, 1).find("stsz")), (std::vector<uint32_t>{3}));
    EXPECT_EQ(table(f, "stts", 2, 1), (Entries{{1, 0}}));
}

}  // namespace
}  // namespace varnel::mp4_test
