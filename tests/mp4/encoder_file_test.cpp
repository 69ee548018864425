// The file the program writes (initial object descriptor, scene and object descriptor tracks
// with their single samples, then the AAC track with one sample per frame and an edit list
// that hides the two-frame coding delay), written through the program's own layout and
// checked box by box and, when ffmpeg is installed, read back by a real demuxer and decoder.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <numeric>

#include "frontend/mp4_layout.h"
#include "tests/mp4/mp4_test_support.h"

namespace varnel::mp4_test {
namespace {

constexpr uint32_t kSampleRate = 44100;
constexpr uint32_t kSceneTrack = 1;
constexpr uint32_t kOdTrack = 2;
constexpr uint32_t kAudioTrack = 3;
constexpr uint32_t kEncoderDelay = 2048;

const Bytes kOdSample = {0x01, 0x80, 0x80, 0x80, 0x0E, 0x11, 0x80, 0x80, 0x80, 0x09,
                         0x02, 0x9F, 0x0F, 0x80, 0x80, 0x80, 0x02, 0x00, 0x01};
const Bytes kSceneSample = {0xC0, 0x10, 0x12, 0x81, 0x30, 0x2A, 0x05, 0x7C};

struct EncoderRun {
    Bytes asc = {0x12, 0x10};  // AAC-LC, 44100 Hz, stereo
    uint16_t channels = 2;
    uint32_t bit_rate = 128000;
    std::vector<Bytes> frames;
    uint32_t input_samples = 0;  // per channel; 0: no edit list
};

class EncoderFile : public Mp4WriterTest {
protected:
    // The program's output file with the given frames.
    void encode(const EncoderRun& run) {
        const std::unique_ptr<Mp4Output> output = Mp4Output::create(out_, kSampleRate);
        ASSERT_NE(output, nullptr);
        ASSERT_TRUE(output->describeAudio(run.asc, run.channels, run.bit_rate));
        for (const Bytes& frame : run.frames)
            ASSERT_TRUE(output->writeFrame(frame.data(), static_cast<uint32_t>(frame.size())));
        ASSERT_TRUE(output->finish(run.input_samples, kEncoderDelay));
    }

    static std::vector<Bytes> fakeFrames(uint32_t n) {
        std::vector<Bytes> frames;
        for (uint32_t i = 0; i < n; ++i) frames.emplace_back(100 + (i * 37) % 200, static_cast<uint8_t>(i));
        return frames;
    }
};

TEST_F(EncoderFile, LayoutOfTheWholeFile) {
    constexpr uint32_t n = 60;  // stsz entries span two blocks
    EncoderRun run;
    run.frames = fakeFrames(n);
    run.input_samples = 1024 * (n - 2) - 500;
    encode(run);
    const ParsedFile f(out_);
    const size_t frame_bytes = std::accumulate(run.frames.begin(), run.frames.end(), size_t{0},
                                               [](size_t s, const Bytes& b) { return s + b.size(); });

    // ftyp, mdat with the samples in call order, then moov to the end of the file.
    ASSERT_EQ(f.top.size(), 3u);
    EXPECT_EQ(f.top[0].bytes(), (Bytes{0, 0, 0, 28, 'f', 't', 'y', 'p', '3', 'g', 'p', '5', 0, 0, 1, 0,
                                       '3', 'g', 'p', '5', '3', 'g', 'p', '4', 'm', 'p', '4', '1'}));
    const Box& mdat = f.top[1];
    EXPECT_EQ(mdat.type, "mdat");
    EXPECT_EQ(mdat.offset, 28u);
    EXPECT_EQ(mdat.size, 8 + 19 + 8 + frame_bytes);
    EXPECT_EQ(Bytes(f.data.begin() + 36, f.data.begin() + 55), kOdSample);
    EXPECT_EQ(Bytes(f.data.begin() + 55, f.data.begin() + 63), kSceneSample);
    const Box& moov = f.top[2];
    EXPECT_EQ(moov.type, "moov");
    EXPECT_EQ(moov.offset, 28 + mdat.size);
    EXPECT_EQ(moov.size, 1510 + 4 * n);
    EXPECT_EQ(moov.childTypes(), (Types{"mvhd", "iods", "trak", "trak", "trak"}));

    const Box& mvhd = moov.children[0];
    EXPECT_EQ(mvhd.size, 108u);
    EXPECT_EQ(mvhd.u32(12), kSampleRate);
    EXPECT_EQ(mvhd.u32(16), run.input_samples);  // the largest tkhd duration: the audio edit
    EXPECT_EQ(mvhd.u32(96), 4u);                 // next_track_ID
    const Box& iods = moov.children[1];
    EXPECT_EQ(iods.size, 42u);
    EXPECT_EQ(iods.bytes(12),
              (Bytes{0x10, 0x80, 0x80, 0x80, 0x19, 0x00, 0x4F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0E, 0x80, 0x80,
                     0x80, 0x04, 0x00, 0x00, 0x00, 0x02, 0x0E, 0x80, 0x80, 0x80, 0x04, 0x00, 0x00, 0x00, 0x01}));

    const Box& scene = moov.children[2];
    const Box& od = moov.children[3];
    const Box& audio = moov.children[4];
    EXPECT_EQ(scene.size, 428u);
    EXPECT_EQ(od.size, 440u);
    EXPECT_EQ(audio.size, 484 + 4 * n);
    EXPECT_EQ(scene.childTypes(), (Types{"tkhd", "mdia"}));
    EXPECT_EQ(od.childTypes(), (Types{"tkhd", "tref", "mdia"}));
    EXPECT_EQ(audio.childTypes(), (Types{"tkhd", "edts", "mdia"}));
    EXPECT_EQ(od.find("tref")->bytes(),
              (Bytes{0, 0, 0, 20, 't', 'r', 'e', 'f', 0, 0, 0, 12, 'm', 'p', 'o', 'd', 0, 0, 0, 3}));

    // Systems tracks: one sample each, durations 0.
    struct Systems {
        const Box* trak;
        uint32_t id, offset, size, esds;
        const char* handler;
    };
    for (const Systems& t : {Systems{&scene, kSceneTrack, 55, 8, 52, "sdsm"}, Systems{&od, kOdTrack, 36, 19, 44, "odsm"}}) {
        SCOPED_TRACE(t.handler);
        EXPECT_EQ(t.trak->find("tkhd")->u32(12), t.id);
        EXPECT_EQ(t.trak->find("tkhd")->u32(20), 0u);
        EXPECT_EQ(t.trak->find("mdia/mdhd")->u32(12), 1000u);
        EXPECT_EQ(t.trak->find("mdia/mdhd")->u32(16), 0u);
        EXPECT_EQ(t.trak->find("mdia/hdlr")->u32(8), be32(Bytes(t.handler, t.handler + 4), 0));
        const Box& stbl = *t.trak->find("mdia/minf/stbl");
        EXPECT_EQ(stbl.childTypes(), (Types{"stsd", "stts", "stsc", "stsz", "stco"}));
        EXPECT_EQ(stbl.find("stsd/mp4s/esds")->size, t.esds);
        EXPECT_EQ(tableEntries(*stbl.find("stts"), 2), (Entries{{1, 0}}));
        EXPECT_EQ(tableEntries(*stbl.find("stsc"), 3), (Entries{{1, 1, 1}}));
        EXPECT_EQ(sampleSizes(*stbl.find("stsz")), (std::vector<uint32_t>{t.size}));
        EXPECT_EQ(tableEntries(*stbl.find("stco"), 1), (Entries{{t.offset}}));
    }

    // Audio track: one chunk at 63, one timing run, the edit hiding the delay.
    const Box& tkhd = *audio.find("tkhd");
    EXPECT_EQ(tkhd.u32(12), kAudioTrack);
    EXPECT_EQ(tkhd.u32(20), run.input_samples);
    EXPECT_EQ(tkhd.u16(36), 0x0100);
    EXPECT_EQ(audio.find("edts")->size, 36u);
    // elst: version and flags 0, entry_count 1, segment_duration, media_time, media_rate 1.0
    const Box& elst = *audio.find("edts/elst");
    EXPECT_EQ((std::vector<uint32_t>{elst.u32(0), elst.u32(4), elst.u32(8), elst.u32(12), elst.u32(16)}),
              (std::vector<uint32_t>{0, 1, run.input_samples, kEncoderDelay, 0x00010000}));
    const Box& mdhd = *audio.find("mdia/mdhd");
    EXPECT_EQ(mdhd.u32(12), kSampleRate);
    EXPECT_EQ(mdhd.u32(16), 1024 * n);
    EXPECT_EQ(audio.find("mdia/hdlr")->size, 45u);
    EXPECT_EQ(audio.find("mdia/minf")->children.at(0).type, "smhd");
    const Box& stbl = *audio.find("mdia/minf/stbl");
    EXPECT_EQ(stbl.childTypes(), (Types{"stsd", "stts", "stsc", "stsz", "stco"}));
    const Box& mp4a = *stbl.find("stsd/mp4a");
    EXPECT_EQ(mp4a.size, 87u);
    EXPECT_EQ(mp4a.u16(16), 2);                   // channelcount
    EXPECT_EQ(mp4a.u32(24), kSampleRate << 16);  // samplerate
    const Box& esds = *stbl.find("stsd/mp4a/esds");
    EXPECT_EQ(esds.size, 51u);
    EXPECT_EQ(esds.bytes(38), (Bytes{0x05, 0x80, 0x80, 0x80, 0x02, 0x12, 0x10, 0x06, 0x80, 0x80, 0x80, 0x01, 0x02}));
    EXPECT_EQ(esds.u32(22), 256000u);  // maxBitrate
    EXPECT_EQ(esds.u32(26), 128000u);  // avgBitrate
    EXPECT_EQ(tableEntries(*stbl.find("stts"), 2), (Entries{{n, 1024}}));
    EXPECT_EQ(tableEntries(*stbl.find("stsc"), 3), (Entries{{1, n, 1}}));
    EXPECT_EQ(tableEntries(*stbl.find("stco"), 1), (Entries{{63}}));
    EXPECT_EQ(trackSamples(f.data, audio), run.frames);
}

TEST_F(EncoderFile, InputShorterThanOneFrameGivesAnEmptyAudioTrack) {
    encode(EncoderRun{});
    const ParsedFile f(out_);
    EXPECT_EQ(f.box("mdat").size, 8u + 19 + 8);
    const Box& audio = f.trak(2);
    EXPECT_EQ(audio.childTypes(), (Types{"tkhd", "mdia"}));
    EXPECT_EQ(audio.size, 448u - 8 - 12 - 4);  // stts, stsc and stco without entries
    EXPECT_EQ(f.moov().size, 1474u - 24);
    const Box& stbl = *audio.find("mdia/minf/stbl");
    EXPECT_TRUE(tableEntries(*stbl.find("stts"), 2).empty());
    EXPECT_TRUE(tableEntries(*stbl.find("stsc"), 3).empty());
    EXPECT_TRUE(tableEntries(*stbl.find("stco"), 1).empty());
    EXPECT_EQ(audio.find("tkhd")->u32(20), 0u);
    EXPECT_EQ(f.moov().find("mvhd")->u32(16), 0u);
}

bool haveProgram(const char* name) {
    const std::string probe = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0;
}

// Runs a shell command and returns its standard output.
std::string capture(const std::string& command, int* status) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        *status = -1;
        return out;
    }
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    *status = pclose(pipe);
    return out;
}

// A real demuxer and decoder read the file: the AAC track is found with its configuration, and
// the edit list gives the stream the input's length and skips the coding delay. (A decoder may
// still emit the rest of the last frame past the edit's end, so the decoded length is bounded.)
TEST_F(EncoderFile, FfmpegDecodesSilentFramesToTheInputLength) {
    if (!haveProgram("ffprobe") || !haveProgram("ffmpeg")) GTEST_SKIP() << "ffmpeg not installed";
    EncoderRun run;
    run.asc = {0x12, 0x08};  // AAC-LC, 44100 Hz, mono
    run.channels = 1;
    run.bit_rate = 64000;
    // A silent single channel element (global_gain 100, no bands) and the END element.
    const Bytes silence = {0x00, 0xC8, 0x00, 0x07};
    constexpr uint32_t n = 40;
    run.frames.assign(n, silence);
    run.input_samples = 1024 * (n - 2) - 321;
    encode(run);

    int status = 0;
    const std::string streams = capture("ffprobe -v error -select_streams a -show_entries "
                                        "stream=codec_name,profile,sample_rate,channels,start_time,duration_ts "
                                        "-of default=noprint_wrappers=1 '" + out_ + "' 2>&1",
                                        &status);
    EXPECT_EQ(status, 0) << streams;
    EXPECT_NE(streams.find("codec_name=aac"), std::string::npos) << streams;
    EXPECT_NE(streams.find("profile=LC"), std::string::npos) << streams;
    EXPECT_NE(streams.find("sample_rate=44100"), std::string::npos) << streams;
    EXPECT_NE(streams.find("channels=1"), std::string::npos) << streams;
    EXPECT_NE(streams.find("start_time=0.000000"), std::string::npos) << streams;
    EXPECT_NE(streams.find("duration_ts=" + std::to_string(run.input_samples) + "\n"), std::string::npos) << streams;

    const std::string errors = capture("ffmpeg -nostdin -v error -i '" + out_ + "' -f null - 2>&1", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(errors, "");
    const std::string pcm = capture("ffmpeg -nostdin -v error -i '" + out_ + "' -map 0:a -f s16le -", &status);
    EXPECT_EQ(status, 0);
    EXPECT_GE(pcm.size(), 2u * run.input_samples);
    EXPECT_LE(pcm.size(), 2u * (1024 * n - kEncoderDelay));
}

}  // namespace
}  // namespace varnel::mp4_test
