// Fixture shared by the MP4 writer tests: a per-test temporary directory and short forms of
// the writer's calls.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "mp4/mp4_writer.h"
#include "tests/mp4/box_reader.h"

namespace varnel::mp4_test {

using Bytes = std::vector<uint8_t>;
using Entries = std::vector<std::vector<uint32_t>>;
using Types = std::vector<std::string>;

class Mp4WriterTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = std::filesystem::temp_directory_path() / ("varnel_mp4_" + std::string(info->test_suite_name()) + "_" +
                                                         info->name() + "_" + std::to_string(::getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        out_ = path("out.mp4");
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    Mp4File* create(uint32_t time_scale = 1000, const Bytes& iod = {}) {
        Mp4FileParams p;
        p.time_scale = time_scale;
        p.iod = iod.empty() ? nullptr : iod.data();
        p.iod_size = static_cast<uint32_t>(iod.size());
        p.file_name = out_.c_str();
        Mp4File* file = nullptr;
        EXPECT_EQ(mp4_create_file(&file, &p), 0);
        return file;
    }

    Mp4Track* addTrack(Mp4File* file, int32_t kind = MP4_TRACK_OD, uint32_t time_scale = 1000, uint32_t track_id = 1,
                       const std::string& media = "", const Mp4HintParams* hint = nullptr) {
        Mp4TrackParams p;
        p.kind = kind;
        p.time_scale = time_scale;
        p.track_id = track_id;
        p.media_file_name = media.empty() ? out_.c_str() : media.c_str();
        Mp4Track* track = nullptr;
        EXPECT_EQ(mp4_add_track(file, &p, &track, hint), 0);
        return track;
    }

    static Bytes esBox(uint16_t es_id = 0, uint32_t object_type = 0x40, uint32_t stream_type = 5, const Bytes& dsi = {},
                       uint32_t buffer_size = 1024, uint32_t max_bitrate = 0, uint32_t avg_bitrate = 0) {
        static const uint8_t sl[1] = {0x02};
        Mp4EsParams es;
        es.es_id = es_id;
        es.object_type = object_type;
        es.stream_type = stream_type;
        es.decoder_specific_info = dsi.empty() ? nullptr : dsi.data();
        es.decoder_specific_info_size = static_cast<uint32_t>(dsi.size());
        es.buffer_size_db = buffer_size;
        es.max_bitrate = max_bitrate;
        es.avg_bitrate = avg_bitrate;
        es.sl_config = sl;
        es.sl_config_size = 1;
        uint8_t* bytes = nullptr;
        uint32_t size = 0;
        EXPECT_EQ(mp4_build_es_box(&bytes, &size, &es), 0);
        Bytes box(bytes, bytes + size);
        mp4_free_buffer(bytes);
        return box;
    }

    // Fills stsd entry 0; the esds box defaults to one without decoder specific info.
    static void describe(Mp4Track* track, Mp4SampleDescription d = {}, const Bytes& es = esBox()) {
        if (!d.es_box) {
            d.es_box = es.data();
            d.es_box_size = static_cast<uint32_t>(es.size());
        }
        EXPECT_EQ(mp4_set_sample_description(track, &d), 0);
    }
    static void describeAndFinish(Mp4Track* track) {
        describe(track);
        EXPECT_EQ(mp4_finish_track(track), 0);
    }

    static int write(Mp4Track* track, const Bytes& bytes, uint32_t decoding_time, int32_t sync_code = MP4_SAMPLE_PLAIN,
                     const uint32_t* composition_time = nullptr) {
        Mp4Sample s;
        s.data = bytes.data();
        s.size = static_cast<uint32_t>(bytes.size());
        s.sync_code = sync_code;
        s.decoding_time = decoding_time;
        s.has_composition_time = composition_time ? 1 : 0;
        s.composition_time = composition_time ? *composition_time : 0;
        return mp4_write_sample(track, &s);
    }

    // One described track with 10-byte samples at the given decoding times, finished and closed.
    ParsedFile singleTrackFile(const std::vector<uint32_t>& times) {
        Mp4File* file = create();
        Mp4Track* t = addTrack(file);
        describe(t);
        for (uint32_t dt : times) EXPECT_EQ(write(t, Bytes(10, 0x5A), dt), 0);
        EXPECT_EQ(mp4_finish_track(t), 0);
        EXPECT_EQ(mp4_close_file(file), 0);
        return ParsedFile(out_);
    }

    std::string out_;

private:
    std::filesystem::path dir_;
};

inline const Box& stblOf(const ParsedFile& f, size_t track = 0) { return *f.trak(track).find("mdia/minf/stbl"); }
inline Entries table(const ParsedFile& f, const char* type, int width, size_t track = 0) {
    return tableEntries(*stblOf(f, track).find(type), width);
}

}  // namespace varnel::mp4_test
