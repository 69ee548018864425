// Files, tracks, media files and references: limits, failure marking and the boxes they give.

#include <gtest/gtest.h>

#include <thread>

#include "tests/mp4/mp4_test_support.h"

namespace varnel::mp4_test {
namespace {

class Tracks : public Mp4WriterTest {};

TEST_F(Tracks, FileWithoutTracksAndTheIodsBox) {
    Mp4File* file = create(8000);
    ASSERT_EQ(mp4_close_file(file), 0);
    {
        const ParsedFile f(out_);
        EXPECT_EQ(f.box("mdat").offset, 28u);
        EXPECT_EQ(f.box("mdat").size, 8u);
        EXPECT_EQ(f.moov().childTypes(), (Types{"mvhd"}));
        EXPECT_EQ(f.moov().find("mvhd")->u32(16), 0u);  // duration
        EXPECT_EQ(f.moov().find("mvhd")->u32(96), 1u);  // next_track_ID
    }
    const Bytes iod = {0x10, 0x80, 0x80, 0x80, 0x07, 0x00, 0x4F, 1, 2, 3, 4, 5};
    file = create(1000, iod);
    ASSERT_EQ(mp4_close_file(file), 0);
    EXPECT_EQ(ParsedFile(out_).moov().find("iods")->bytes(), (Bytes{0, 0, 0, 24, 'i', 'o', 'd', 's', 0, 0, 0, 0,
                                   0x10, 0x80, 0x80, 0x80, 0x07, 0x00, 0x4F, 1, 2, 3, 4, 5}));
    // An IOD pointer with size 0 gives no iods box.
    Mp4FileParams p;
    p.iod = iod.data();
    p.file_name = out_.c_str();
    ASSERT_EQ(mp4_create_file(&file, &p), 0);
    ASSERT_EQ(mp4_close_file(file), 0);
    EXPECT_EQ(ParsedFile(out_).moov().childTypes(), (Types{"mvhd"}));
}

TEST_F(Tracks, CreateFailsForAnUnwritablePathAndLongPathsWork) {
    Mp4FileParams p;
    const std::string bad = path("no/such/dir/out.mp4");
    p.file_name = bad.c_str();
    Mp4File* file = reinterpret_cast<Mp4File*>(&p);
    EXPECT_EQ(mp4_create_file(&file, &p), -1);
    EXPECT_EQ(file, nullptr);

    std::string dir = path("d");
    for (char c = 'a'; c < 'g'; ++c) dir += "/" + std::string(60, c);
    std::filesystem::create_directories(dir);
    out_ = dir + "/out.mp4";
    file = create();
    describeAndFinish(addTrack(file));
    ASSERT_EQ(mp4_close_file(file), 0);
    EXPECT_EQ(ParsedFile(out_).traks().size(), 1u);
}

// The kinds the encoder does not use (its own are checked in the encoder's file).
TEST_F(Tracks, VideoHintAndAmrHeaders) {
    Mp4HintParams hint{1450, 700, 64000, 32000};
    Mp4File* file = create(600);
    for (int32_t kind : {MP4_TRACK_VIDEO, MP4_TRACK_HINT, MP4_TRACK_AMR})
        describeAndFinish(addTrack(file, kind, 90000, 1, "", &hint));
    ASSERT_EQ(mp4_close_file(file), 0);
    const ParsedFile f(out_);
    const char* handlers[] = {"vide", "hint", "soun"};
    const char* names[] = {"VideoHandler", "HintHandler", "SoundHandler"};
    const char* headers[] = {"vmhd", "hmhd", "smhd"};
    for (size_t i = 0; i < 3; ++i) {
        const Bytes hdlr = f.trak(i).find("mdia/hdlr")->bytes();
        EXPECT_EQ(std::string(hdlr.begin() + 16, hdlr.begin() + 20), handlers[i]);
        EXPECT_EQ(std::string(hdlr.begin() + 32, hdlr.end()), std::string(names[i]) + '\0');
        EXPECT_EQ(f.trak(i).find("mdia/minf")->childTypes(), (Types{headers[i], "dinf", "stbl"}));
        EXPECT_EQ(f.trak(i).find("tkhd")->u16(36), i == 2 ? 0x0100 : 0);  // volume
    }
    EXPECT_EQ(f.trak(0).find("tkhd")->u32(76), 0x01400000u);  // 320 x 240
    EXPECT_EQ(f.trak(0).find("tkhd")->u32(80), 0x00F00000u);
    EXPECT_EQ(f.trak(0).find("mdia/minf/vmhd")->bytes(8), (Bytes{0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(f.trak(1).find("mdia/minf/hmhd")->bytes(12), (Bytes{0x05, 0xAA, 0x02, 0xBC, 0, 0, 0xFA, 0x00,
                                                                  0, 0, 0x7D, 0x00, 0, 0, 0, 0}));
}

TEST_F(Tracks, RefusedCallsThatFailTheFile) {
    Mp4File* file = create();
    Mp4TrackParams p;
    p.kind = 6;  // no such kind
    p.media_file_name = out_.c_str();
    Mp4Track* t = reinterpret_cast<Mp4Track*>(&p);
    EXPECT_EQ(mp4_add_track(file, &p, &t, nullptr), -1);
    EXPECT_EQ(t, nullptr);
    describeAndFinish(addTrack(file));
    EXPECT_EQ(mp4_close_file(file), -1);
    const ParsedFile f(out_, 8);  // the moov is written, but the mdat size is left 0
    EXPECT_EQ(f.traks().size(), 1u);
}

TEST_F(Tracks, BadArgumentsAndFinishedHandlesDoNotFailTheFile) {
    Mp4File* file = create();
    Mp4Track* t = addTrack(file);
    describe(t);
    Mp4TrackParams p;  // no media file name
    Mp4Track* none = t;
    EXPECT_EQ(mp4_add_track(file, &p, &none, nullptr), -1);
    EXPECT_EQ(none, nullptr);
    Mp4Sample no_data;
    no_data.size = 4;
    EXPECT_EQ(mp4_write_sample(t, &no_data), -1);
    ASSERT_EQ(mp4_finish_track(t), 0);
    EXPECT_EQ(write(t, {1}, 0), -1);
    EXPECT_EQ(mp4_finish_track(t), -1);
    EXPECT_EQ(mp4_set_edit_list(t, 1, 0), -1);
    EXPECT_EQ(mp4_close_file(file), 0);
    EXPECT_EQ(ParsedFile(out_).box("mdat").size, 8u);
}

TEST_F(Tracks, CloseWithAnUnfinishedTrackWritesNoMoov) {
    Mp4File* file = create();
    Mp4Track* t = addTrack(file);
    describe(t);
    ASSERT_EQ(write(t, {1, 2, 3}, 0), 0);
    EXPECT_EQ(mp4_close_file(file), -1);
    const Bytes data = readFile(out_);
    EXPECT_EQ(data.size(), 28u + 8 + 3);
    EXPECT_EQ(be32(data, 28), 0u);
}

TEST_F(Tracks, HundredTracksAtMostAndTheNextTrackId) {
    Mp4File* file = create();
    std::vector<Mp4Track*> tracks;
    for (uint32_t i = 0; i < MP4_MAX_TRACKS; ++i) tracks.push_back(addTrack(file, MP4_TRACK_OD, 1000, 200 - i));
    Mp4TrackParams p;
    p.track_id = 500;
    p.media_file_name = out_.c_str();
    Mp4Track* extra = tracks[0];
    EXPECT_EQ(mp4_add_track(file, &p, &extra, nullptr), -1);
    EXPECT_EQ(extra, nullptr);
    for (Mp4Track* t : tracks) describeAndFinish(t);
    EXPECT_EQ(mp4_close_file(file), -1);
    const ParsedFile f(out_, 8);
    EXPECT_EQ(f.traks().size(), 100u);
    EXPECT_EQ(f.trak(99).find("tkhd")->u32(12), 101u);  // in the order added
    EXPECT_EQ(f.moov().find("mvhd")->u32(96), 201u);   // one more than the largest ID, 500 refused
}

TEST_F(Tracks, OtherMediaFilesGetTheirOwnMdatAndAUrnReference) {
    Mp4File* file = create();
    const std::string side = path("side.media");
    Mp4Track* a = addTrack(file, MP4_TRACK_OD, 1000, 1);
    Mp4Track* b = addTrack(file, MP4_TRACK_SCENE, 1000, 2, side);
    Mp4Track* c = addTrack(file, MP4_TRACK_SCENE, 1000, 3);
    for (Mp4Track* t : {a, b, c}) describe(t);
    ASSERT_EQ(write(a, {1, 1, 1}, 0), 0);
    ASSERT_EQ(write(b, {2, 2}, 0), 0);
    ASSERT_EQ(write(c, {3}, 0), 0);
    ASSERT_EQ(write(b, {4, 4, 4, 4}, 1), 0);
    for (Mp4Track* t : {a, b, c}) ASSERT_EQ(mp4_finish_track(t), 0);
    ASSERT_EQ(mp4_close_file(file), 0);

    const ParsedFile f(out_);
    EXPECT_EQ(f.box("mdat").size, 8u + 3 + 1);  // a and c share the output's mdat
    EXPECT_EQ(table(f, "stco", 1, 2), (Entries{{39}}));
    EXPECT_EQ(f.trak(0).find("mdia/minf/dinf/dref")->children.at(0).bytes(),
              (Bytes{0, 0, 0, 12, 'u', 'r', 'l', ' ', 0, 0, 0, 1}));
    const Box& urn = f.trak(1).find("mdia/minf/dinf/dref")->children.at(0);
    EXPECT_EQ(urn.type, "urn ");
    EXPECT_EQ(urn.u32(0), 0u);  // flags 0: the media lies elsewhere
    EXPECT_EQ(urn.bytes(12), Bytes(side.c_str(), side.c_str() + side.size() + 1));
    EXPECT_EQ(f.trak(1).find("mdia/minf/dinf")->size, 24u + urn.size);
    EXPECT_EQ(readFile(side), (Bytes{0, 0, 0, 14, 'm', 'd', 'a', 't', 2, 2, 4, 4, 4, 4}));
    EXPECT_EQ(table(f, "stco", 1, 1), (Entries{{8}}));
    EXPECT_EQ(table(f, "stsc", 3, 1), (Entries{{1, 2, 1}}));
}

TEST_F(Tracks, TenMediaFilesAtMost) {
    Mp4File* file = create();
    std::vector<Mp4Track*> tracks = {addTrack(file)};
    for (char c = '1'; c <= '9'; ++c) tracks.push_back(addTrack(file, MP4_TRACK_OD, 1000, 1, path(std::string(1, c))));
    Mp4TrackParams p;
    const std::string eleventh = path("10");
    p.media_file_name = eleventh.c_str();
    Mp4Track* refused = nullptr;
    EXPECT_EQ(mp4_add_track(file, &p, &refused, nullptr), -1);
    EXPECT_FALSE(std::filesystem::exists(eleventh));
    tracks.push_back(addTrack(file, MP4_TRACK_OD, 1000, 1, path("3")));  // a known name still attaches
    for (Mp4Track* t : tracks) describeAndFinish(t);
    EXPECT_EQ(mp4_close_file(file), -1);
    EXPECT_EQ(ParsedFile(out_, 8).traks().size(), 11u);
}

TEST_F(Tracks, References) {
    Mp4File* file = create();
    Mp4Track* t = addTrack(file, MP4_TRACK_OD, 1000, 1);
    const Mp4TrackReference refs[] = {{3, MP4_REF_MPOD}, {9, MP4_REF_SYNC}, {4, MP4_REF_MPOD}, {5, MP4_REF_HINT},
                                      {6, MP4_REF_DPND}};
    for (const auto& r : refs) ASSERT_EQ(mp4_add_track_reference(t, &r), 0);
    describeAndFinish(t);
    ASSERT_EQ(mp4_close_file(file), 0);
    const ParsedFile f(out_);
    EXPECT_EQ(f.trak(0).childTypes(), (Types{"tkhd", "tref", "mdia"}));
    EXPECT_EQ(f.trak(0).find("tref")->bytes(),
              (Bytes{0, 0, 0, 60, 't', 'r', 'e', 'f', 0, 0, 0, 16, 'm', 'p', 'o', 'd', 0, 0, 0, 3, 0, 0, 0, 4,
                     0, 0, 0, 12, 's', 'y', 'n', 'c', 0, 0, 0, 9, 0, 0, 0, 12, 'h', 'i', 'n', 't', 0, 0, 0, 5,
                     0, 0, 0, 12, 'd', 'p', 'n', 'd', 0, 0, 0, 6}));
}

TEST_F(Tracks, ReferenceFailures) {
    for (int32_t bad : {9, 14}) {  // unknown kinds discard the references made so far
        SCOPED_TRACE(bad);
        Mp4File* file = create();
        Mp4Track* t = addTrack(file);
        const Mp4TrackReference good{3, MP4_REF_MPOD}, wrong{3, bad};
        ASSERT_EQ(mp4_add_track_reference(t, &good), 0);
        EXPECT_EQ(mp4_add_track_reference(t, &wrong), -1);
        describeAndFinish(t);
        EXPECT_EQ(mp4_close_file(file), -1);
        EXPECT_EQ(ParsedFile(out_, 8).trak(0).childTypes(), (Types{"tkhd", "mdia"}));
    }
    Mp4File* file = create();
    Mp4Track* t = addTrack(file);
    for (uint32_t id = 1; id <= MP4_MAX_REFERENCE_IDS + 1; ++id) {
        const Mp4TrackReference r{id, MP4_REF_DPND};
        EXPECT_EQ(mp4_add_track_reference(t, &r), id <= MP4_MAX_REFERENCE_IDS ? 0 : -1);
    }
    describeAndFinish(t);
    EXPECT_EQ(mp4_close_file(file), -1);
    EXPECT_EQ(ParsedFile(out_, 8).trak(0).find("tref/dpnd")->size, 8u + 4 * 10);  // the ten kept
}

// Two threads writing different tracks of one file: each append gets its own byte range, so
// every sample reads back intact through its own track's tables.
TEST_F(Tracks, ConcurrentWritersGetDisjointRanges) {
    Mp4File* file = create();
    Mp4Track* tracks[2] = {addTrack(file, MP4_TRACK_OD, 1000, 1), addTrack(file, MP4_TRACK_SCENE, 1000, 2)};
    constexpr uint32_t kSamples = 300;
    auto sample = [](int k, uint32_t i) { return Bytes(1 + (i * 7 + k) % 23, static_cast<uint8_t>(k * 128 + i % 101)); };
    std::thread writers[2];
    for (int k = 0; k < 2; ++k) {
        writers[k] = std::thread([&, k] {
            describe(tracks[k]);
            for (uint32_t i = 0; i < kSamples; ++i) EXPECT_EQ(write(tracks[k], sample(k, i), i), 0);
            EXPECT_EQ(mp4_finish_track(tracks[k]), 0);
        });
    }
    for (auto& w : writers) w.join();
    ASSERT_EQ(mp4_close_file(file), 0);
    const ParsedFile f(out_);
    size_t total = 0;
    for (int k = 0; k < 2; ++k) {
        const auto samples = trackSamples(f.data, f.trak(static_cast<size_t>(k)));
        ASSERT_EQ(samples.size(), kSamples);
        for (uint32_t i = 0; i < kSamples; ++i) {
            ASSERT_EQ(samples[i], sample(k, i)) << "track " << k << " sample " << i;
            total += samples[i].size();
        }
    }
    EXPECT_EQ(f.box("mdat").size, 8 + total);
}

}  // namespace
}  // namespace varnel::mp4_test
