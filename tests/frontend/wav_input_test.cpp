#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <numeric>
#include <thread>

#include "frontend/wav_input.h"
#include "tests/frontend/wav_test_file.h"

namespace varnel {
namespace {

using test::TempFile;
using test::WavBuilder;

std::vector<int16_t> ramp(size_t n, int16_t start = 1) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(start + static_cast<int>(i % 30000));
    return v;
}

struct Opened {
    int status;
    std::unique_ptr<InputStream> stream;
    std::string error;
};

Opened open(const std::string& path, int trailing = 0) {
    InputStreamParams p;
    p.fileName = path;
    p.frameLength = 1024;
    p.trailingSilentFrames = trailing;
    Opened o;
    o.status = openInputStream(p, &o.stream, &o.error);
    return o;
}

// Reads every frame and returns all delivered values.
std::vector<double> readAll(InputStream& s, int* frames) {
    std::vector<double> all;
    FrameView v{};
    *frames = 0;
    while (s.readFrame(&v) == ReadStatus::Frame) {
        all.insert(all.end(), v.samples, v.samples + v.valuesRead);
        s.releaseFrame();
        ++*frames;
    }
    return all;
}

TEST(WavInput, StereoPropertiesAndInterleavedFrames) {
    const auto samples = ramp(2 * 1024 * 3);
    TempFile f(WavBuilder().fmt(1, 2, 44100, 16).data(samples).bytes());
    Opened o = open(f.path());
    ASSERT_EQ(o.status, kStreamOk) << o.error;
    int32_t v = 0;
    EXPECT_EQ(o.stream->getProperty(11, &v), 0);
    EXPECT_EQ(v, 2);
    EXPECT_EQ(o.stream->getProperty(12, &v), 0);
    EXPECT_EQ(v, 44100);
    EXPECT_EQ(o.stream->getProperty(10, &v), 0);
    EXPECT_EQ(v, 1024);
    EXPECT_EQ(o.stream->getProperty(13, &v), kStreamUnknownProperty);

    FrameView frame{};
    ASSERT_EQ(o.stream->readFrame(&frame), ReadStatus::Frame);
    EXPECT_EQ(frame.valuesRead, 2048);
    EXPECT_EQ(frame.channels, 2);
    EXPECT_TRUE(std::equal(frame.samples, frame.samples + 2048, samples.begin()));
    // A second read without release hands out nothing.
    EXPECT_EQ(o.stream->readFrame(&frame), ReadStatus::FrameHeld);
    o.stream->releaseFrame();
    int frames = 0;
    const auto rest = readAll(*o.stream, &frames);
    EXPECT_EQ(frames, 2);
    EXPECT_TRUE(std::equal(rest.begin(), rest.end(), samples.begin() + 2048));
    EXPECT_EQ(o.stream->samplesPerChannelRead(), 3u * 1024);
}

TEST(WavInput, PartialFrameIsZeroPaddedAndFlushFramesFollow) {
    const auto samples = ramp(1024 + 300);
    TempFile f(WavBuilder().fmt(1, 1, 22050, 16).data(samples).bytes());
    Opened o = open(f.path(), 2);
    ASSERT_EQ(o.status, kStreamOk) << o.error;
    int frames = 0;
    const auto all = readAll(*o.stream, &frames);
    EXPECT_EQ(frames, 4);  // one full, one padded, two silent
    ASSERT_EQ(all.size(), 4u * 1024);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), all.begin()));
    EXPECT_TRUE(std::all_of(all.begin() + 1324, all.end(), [](double s) { return s == 0.0; }));
    EXPECT_EQ(o.stream->samplesPerChannelRead(), 1324u);
    FrameView v{};
    EXPECT_EQ(o.stream->readFrame(&v), ReadStatus::EndOfData);
}

TEST(WavInput, EmptyDataGivesNoFramesEvenWithFlush) {
    TempFile f(WavBuilder().fmt(1, 2, 48000, 16).data({}).bytes());
    Opened o = open(f.path(), 2);
    ASSERT_EQ(o.status, kStreamOk) << o.error;
    FrameView v{};
    EXPECT_EQ(o.stream->readFrame(&v), ReadStatus::EndOfData);
}

TEST(WavInput, OnlyTheDataChunkIsAudio) {
    const auto samples = ramp(2000, -500);
    const std::vector<uint8_t> list(37, 0x55);  // odd size: pad byte follows
    TempFile f(WavBuilder()
                   .chunk("JUNK", std::vector<uint8_t>(12, 0xAA))
                   .fmt(1, 1, 8000, 16)
                   .chunk("LIST", list)
                   .data(samples)
                   .chunk("LIST", std::vector<uint8_t>(400, 0x77))
                   .bytes());
    Opened o = open(f.path());
    ASSERT_EQ(o.status, kStreamOk) << o.error;
    int frames = 0;
    const auto all = readAll(*o.stream, &frames);
    ASSERT_EQ(frames, 2);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), all.begin()));
    EXPECT_TRUE(std::all_of(all.begin() + 2000, all.end(), [](double s) { return s == 0.0; }));
    EXPECT_EQ(o.stream->samplesPerChannelRead(), 2000u);
}

// 0xFFFFFFFF (streaming writers) and sizes past the end (cut files) read to the end of the
// file; 0 is an empty chunk, even with bytes after it, which belong to other chunks.
TEST(WavInput, DataSizeFieldDecidesWhatIsAudio) {
    const auto samples = ramp(1500);
    const std::vector<uint8_t> list(5000, 0x7F);
    struct Case {
        int64_t field;
        bool payload;       // the 1500 samples follow the header
        bool listAfter;     // a LIST chunk follows
        uint64_t expected;  // samples read
    } cases[] = {{0xFFFFFFFF, true, false, 1500},
                 {int64_t{1} << 30, true, false, 1500},
                 {0, false, true, 0},
                 {0, true, false, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.field);
        WavBuilder b;
        b.fmt(1, 1, 44100, 16).data(c.payload ? samples : std::vector<int16_t>{}, c.field);
        if (c.listAfter) b.chunk("LIST", list);
        TempFile f(b.bytes());
        Opened o = open(f.path(), 2);
        ASSERT_EQ(o.status, kStreamOk) << o.error;
        int frames = 0;
        const auto all = readAll(*o.stream, &frames);
        EXPECT_EQ(o.stream->samplesPerChannelRead(), c.expected);
        EXPECT_EQ(frames == 0, c.expected == 0);
    }
}

TEST(WavInput, OddDataSizeDropsTheDanglingByte) {
    std::vector<uint8_t> payload = {0x01, 0x00, 0x02, 0x00, 0x03};
    TempFile f(WavBuilder().fmt(1, 1, 44100, 16).chunk("data", payload).bytes());
    Opened o = open(f.path());
    ASSERT_EQ(o.status, kStreamOk) << o.error;
    int frames = 0;
    const auto all = readAll(*o.stream, &frames);
    EXPECT_EQ(o.stream->samplesPerChannelRead(), 2u);
    EXPECT_EQ(all[0], 1);
    EXPECT_EQ(all[1], 2);
    EXPECT_EQ(all[2], 0);
}

TEST(WavInput, ExtensiblePcmIsAccepted) {
    std::vector<uint8_t> fmt;
    WavBuilder::le16(fmt, 0xFFFE);
    WavBuilder::le16(fmt, 2);
    WavBuilder::le32(fmt, 32000);
    WavBuilder::le32(fmt, 32000 * 4);
    WavBuilder::le16(fmt, 4);
    WavBuilder::le16(fmt, 16);
    WavBuilder::le16(fmt, 22);
    WavBuilder::le16(fmt, 16);
    WavBuilder::le32(fmt, 3);
    const uint8_t pcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    fmt.insert(fmt.end(), pcmGuid, pcmGuid + 16);
    TempFile f(WavBuilder().chunk("fmt ", fmt).data(ramp(4096)).bytes());
    Opened o = open(f.path());
    EXPECT_EQ(o.status, kStreamOk) << o.error;
}

struct Refusal {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* messagePart;
};

TEST(WavInput, RefusesWhatItCannotEncodeWithAReason) {
    std::vector<uint8_t> truncatedFmt = WavBuilder().chunk("fmt ", std::vector<uint8_t>(14, 1)).data(ramp(8)).bytes();
    std::vector<uint8_t> onlyRiff = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    std::vector<uint8_t> fmtPastEnd = WavBuilder().fmt(1, 1, 44100, 16).bytes();
    fmtPastEnd.resize(fmtPastEnd.size() - 6);
    std::vector<uint8_t> hugeSkip = WavBuilder().chunk("JUNK", {1, 2}, 0xFFFFFFF0).fmt(1, 1, 44100, 16).bytes();
    const std::vector<Refusal> cases = {
        {"headerless", std::vector<uint8_t>(4096, 3), "no RIFF header"},
        {"riff of another form", {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '}, "WAVE"},
        {"riff header only", onlyRiff, "no \"fmt \" chunk"},
        {"short fmt chunk", truncatedFmt, "truncated"},
        {"fmt past the end", fmtPastEnd, "past the end"},
        {"skip past the end", hugeSkip, "no \"fmt \" chunk"},
        {"no data chunk", WavBuilder().fmt(1, 1, 44100, 16).bytes(), "no \"data\" chunk"},
        {"data before fmt", WavBuilder().data(ramp(10)).fmt(1, 1, 44100, 16).bytes(), "before"},
        {"12-bit in 16", WavBuilder().fmt(1, 1, 44100, 12).data(ramp(10)).bytes(), "block align"},
        {"48-bit", WavBuilder().fmt(1, 1, 44100, 48).data(ramp(12)).bytes(), "48-bit PCM is not supported"},
        {"16-bit float", WavBuilder().fmt(3, 1, 44100, 16).data(ramp(12)).bytes(), "16-bit float is not supported"},
        {"a-law", WavBuilder().fmt(6, 1, 8000, 8).data(ramp(12)).bytes(), "format 0x0006 is not supported"},
        {"0 channels", WavBuilder().fmt(1, 0, 44100, 16).data(ramp(12)).bytes(), "0 channels"},
        {"3 channels", WavBuilder().fmt(1, 3, 44100, 16).data(ramp(12)).bytes(), "3 channels"},
    };
    for (const Refusal& c : cases) {
        TempFile f(c.bytes);
        Opened o = open(f.path());
        EXPECT_NE(o.status, kStreamOk) << c.what;
        EXPECT_EQ(o.stream, nullptr) << c.what;
        EXPECT_NE(o.error.find(c.messagePart), std::string::npos) << c.what << ": " << o.error;
    }
}

TEST(WavInput, MissingFileAndDirectoryFailToOpen) {
    TempFile f({});
    Opened missing = open((f.dir() / "absent.wav").string());
    EXPECT_EQ(missing.status, kStreamOpenFailed);
    Opened dir = open(f.dir().string());
    EXPECT_EQ(dir.status, kStreamOpenFailed);
    Opened empty = open(f.path());
    EXPECT_EQ(empty.status, kStreamUnsupported);
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

std::vector<uint8_t> extensibleFmt(uint16_t subFormat, uint16_t channels, uint32_t rate, uint16_t bits,
                                   uint16_t validBits) {
    std::vector<uint8_t> fmt;
    const uint16_t block = static_cast<uint16_t>(channels * bits / 8);
    test::WavBuilder::le16(fmt, 0xFFFE);
    test::WavBuilder::le16(fmt, channels);
    test::WavBuilder::le32(fmt, rate);
    test::WavBuilder::le32(fmt, rate * block);
    test::WavBuilder::le16(fmt, block);
    test::WavBuilder::le16(fmt, bits);
    test::WavBuilder::le16(fmt, 22);
    test::WavBuilder::le16(fmt, validBits);
    test::WavBuilder::le32(fmt, 0);
    test::WavBuilder::le16(fmt, subFormat);
    const uint8_t tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    fmt.insert(fmt.end(), tail, tail + 14);
    return fmt;
}

TEST(WavInput, WiderFormatsArriveAtSixteenBitScale) {
    // 24-bit stereo, extensible with 20 valid bits: left-justified, so the same s / 256 applies.
    std::vector<uint8_t> data = {0x00, 0x10, 0x00, 0x00, 0xF0, 0xFF};  // L = 4096/256, R = -4096/256
    test::TempFile f(test::WavBuilder().chunk("fmt ", extensibleFmt(1, 2, 48000, 24, 20)).chunk("data", data).bytes());
    Opened o = open(f.path());
    ASSERT_EQ(o.status, kStreamOk) << o.error;
    InputStream* s = o.stream.get();
    FrameView v{};
    ASSERT_EQ(s->readFrame(&v), ReadStatus::Frame);
    EXPECT_EQ(v.samples[0], 16.0);
    EXPECT_EQ(v.samples[1], -16.0);
    EXPECT_EQ(v.samples[2], 0.0);
    EXPECT_EQ(s->samplesPerChannelRead(), 1u);
}

TEST(WavInput, FloatInputCountsClippedSamples) {
    std::vector<uint8_t> data;
    for (float x : {1.5f, -0.5f, -1.5f, 0.0f}) {
        uint32_t u;
        std::memcpy(&u, &x, 4);
        test::WavBuilder::le32(data, u);
    }
    test::TempFile f(test::WavBuilder().chunk("fmt ", extensibleFmt(3, 1, 44100, 32, 32)).chunk("data", data).bytes());
    Opened o = open(f.path());
    ASSERT_EQ(o.status, kStreamOk) << o.error;
    InputStream* s = o.stream.get();
    FrameView v{};
    ASSERT_EQ(s->readFrame(&v), ReadStatus::Frame);
    EXPECT_EQ(v.samples[0], 32767.0);
    EXPECT_EQ(v.samples[1], -16384.0);
    EXPECT_EQ(v.samples[2], -32768.0);
    EXPECT_EQ(s->clippedSamples(), 2u);
}

TEST(WavInput, UnknownExtensibleSubFormatIsRefused) {
    auto fmt = extensibleFmt(1, 1, 44100, 16, 16);
    fmt.back() ^= 0xFF;  // not the standard GUID tail
    test::TempFile f(test::WavBuilder().chunk("fmt ", fmt).data({1, 2, 3}).bytes());
    Opened o = open(f.path());
    EXPECT_EQ(o.status, kStreamUnsupported);
    EXPECT_NE(o.error.find("sub-format"), std::string::npos) << o.error;
}

// Every WAV layout read through a pipe (one pass, no seeks) gives what the file gives: the same
// status and reason, the same samples, and the INFO items that precede the data.
TEST(WavInput, APipeReadsLikeTheFile) {
    const std::vector<int16_t> tone = ramp(3000);
    const std::vector<uint8_t> info = {'I', 'N', 'F', 'O', 'I', 'N', 'A', 'M', 3, 0, 0, 0, 'A', 'b', 'c', 0};
    const std::vector<uint8_t> oddInfo(info.begin(), info.end() - 1);  // the item's pad left out too
    std::vector<std::pair<const char*, std::vector<uint8_t>>> layouts = {
        {"canonical", WavBuilder().fmt(1, 2, 44100, 16).data(tone).bytes()},
        {"INFO and odd chunk before data", WavBuilder().fmt(1, 1, 8000, 16).chunk("LIST", info).chunk("junk", {1, 2, 3})
                                               .data(tone).bytes()},
        {"data size 0xFFFFFFFF", WavBuilder().fmt(1, 1, 8000, 16).data(tone, 0xFFFFFFFF).bytes()},
        {"data size past the end", WavBuilder().fmt(1, 2, 8000, 16).data(tone, 1 << 30).bytes()},
        {"data size 0, chunk after", WavBuilder().fmt(1, 1, 8000, 16).data({}, 0).chunk("LIST", info).bytes()},
        {"24-bit", WavBuilder().fmt(1, 1, 8000, 24).chunk("data", std::vector<uint8_t>(3 * 999, 7)).bytes()},
        // An odd-sized chunk without its pad byte: the next id is found one byte early. The
        // second data size's low byte is a printable 'B', so the byte after the pad looks like an id.
        {"INFO of odd size without its pad byte", WavBuilder().fmt(1, 1, 8000, 16).chunk("LIST", oddInfo, -1, false)
                                                      .data(tone).bytes()},
        {"INFO of odd size without its pad byte, data of 0x42 bytes",
         WavBuilder().fmt(1, 1, 8000, 16).chunk("LIST", oddInfo, -1, false).data(ramp(33)).bytes()},
        {"odd chunk without its pad byte, then INFO", WavBuilder().fmt(1, 1, 8000, 16).chunk("junk", {1, 2, 3}, -1, false)
                                                         .chunk("LIST", info).data(tone).bytes()},
        {"no data chunk", WavBuilder().fmt(1, 1, 8000, 16).chunk("LIST", info).bytes()},
        {"truncated fmt", WavBuilder().fmt(1, 1, 8000, 16).bytes()},
    };
    layouts.back().second.resize(30);
    for (const auto& [name, bytes] : layouts) {
        SCOPED_TRACE(name);
        TempFile file(bytes);
        Opened fromFile = open(file.path());
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        std::thread writer([&bytes, fd = pipeFds[1]] {
            for (size_t done = 0; done < bytes.size();) {
                const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
            close(fd);
        });
        Opened fromPipe = open("/dev/fd/" + std::to_string(pipeFds[0]));
        EXPECT_EQ(fromPipe.status, fromFile.status);
        EXPECT_EQ(fromPipe.error, fromFile.error);
        if (std::string(name).find("pad byte") != std::string::npos) {
            EXPECT_EQ(fromFile.status, kStreamOk);
        }
        if (fromFile.status == kStreamOk && fromPipe.status == kStreamOk) {
            int fileFrames = 0, pipeFrames = 0;
            EXPECT_EQ(readAll(*fromPipe.stream, &pipeFrames), readAll(*fromFile.stream, &fileFrames));
            EXPECT_EQ(pipeFrames, fileFrames);
            EXPECT_EQ(fromPipe.stream->samplesPerChannelRead(), fromFile.stream->samplesPerChannelRead());
            using Items = std::vector<std::pair<std::string, std::string>>;
            const Items expected = std::string(name).find("INFO") != std::string::npos ? Items{{"INAM", "Abc"}} : Items{};
            EXPECT_EQ(fromPipe.stream->format().info, expected);
        }
        fromPipe.stream.reset();
        char drain[4096];
        while (read(pipeFds[0], drain, sizeof drain) > 0) {
        }
        writer.join();
        close(pipeFds[0]);
    }
}

}  // namespace
}  // namespace varnel
