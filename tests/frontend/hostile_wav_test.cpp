// WAV files built to break the reader: sizes that wrap 32-bit arithmetic, chunks that lie about
// their length or run past the end, formats with impossible fields. Each must end in a clear
// refusal or a correct read, quickly and without memory sized from a header field.
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "frontend/wav_input.h"
#include "tests/frontend/wav_test_file.h"

#if defined(__SANITIZE_ADDRESS__)
#define VARNEL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VARNEL_ASAN 1
#endif
#endif

#ifdef VARNEL_ASAN
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace varnel {
namespace {

using test::TempFile;
using test::WavBuilder;

// Bytes of heap in use by the process (the sanitizer's allocator replaces malloc's arenas).
size_t heapInUse() {
#ifdef VARNEL_ASAN
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

// Heap growth since `before`, in bytes.
size_t heapGrowth(size_t before) {
    const size_t now = heapInUse();
    return now > before ? now - before : 0;
}

// The reader holds one frame of samples and one of file bytes; a stereo 64-bit float frame,
// the largest, is 2 * 1024 * (8 + 8) bytes. A megabyte leaves room for the rest of a stream.
constexpr size_t kReaderHeapBound = 1 << 20;

struct Opened {
    explicit Opened(const std::vector<uint8_t>& bytes) : file(bytes) {
        InputStreamParams p;
        p.fileName = file.path();
        p.frameLength = 1024;
        p.trailingSilentFrames = 2;
        status = openInputStream(p, &stream, &error);
    }
    TempFile file;
    int status = 0;
    std::unique_ptr<InputStream> stream;
    std::string error;
};

// Reads to the end as the front end does and returns the values of the data chunk (padding and
// flush dropped). Checks on the way that the heap does not grow by more than the reader's
// frame buffers over `heapBefore`, taken before the stream was opened.
std::vector<double> readAll(InputStream& s, size_t heapBefore, size_t expectedValues) {
    std::vector<double> all;
    all.reserve(expectedValues + 4 * 2048);  // data, padding and flush: no growth while reading
    const size_t base = heapBefore + all.capacity() * sizeof(double);
    FrameView v{};
    int frames = 0;
    while (s.readFrame(&v) == ReadStatus::Frame) {
        EXPECT_LT(heapGrowth(base), kReaderHeapBound);
        all.insert(all.end(), v.samples, v.samples + v.valuesRead);
        s.releaseFrame();
        if (++frames > 10000) {
            ADD_FAILURE() << "the reader does not stop";
            break;
        }
    }
    all.resize(std::min<size_t>(all.size(), s.samplesPerChannelRead() * s.format().channels));
    return all;
}

std::vector<int16_t> ramp(size_t n) {
    std::vector<int16_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<int16_t>(1 + static_cast<int>(i % 20000));
    return v;
}

std::vector<uint8_t> riffOnly(uint32_t riffSize) {
    std::vector<uint8_t> b = {'R', 'I', 'F', 'F'};
    WavBuilder::le32(b, riffSize);
    b.insert(b.end(), {'W', 'A', 'V', 'E'});
    return b;
}

// A "fmt " payload with every field given, for fields that WavBuilder::fmt derives.
std::vector<uint8_t> fmtFields(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t blockAlign, uint16_t bits) {
    std::vector<uint8_t> p;
    WavBuilder::le16(p, tag);
    WavBuilder::le16(p, channels);
    WavBuilder::le32(p, rate);
    WavBuilder::le32(p, rate * blockAlign);
    WavBuilder::le16(p, blockAlign);
    WavBuilder::le16(p, bits);
    return p;
}

// An extensible "fmt " payload of `size` bytes whose cbSize field says `cbSize`.
std::vector<uint8_t> extensibleFmt(uint16_t cbSize, size_t size) {
    std::vector<uint8_t> p = fmtFields(0xFFFE, 1, 44100, 2, 16);
    WavBuilder::le16(p, cbSize);
    WavBuilder::le16(p, 16);  // valid bits
    WavBuilder::le32(p, 4);   // channel mask
    const uint8_t pcmGuid[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    p.insert(p.end(), pcmGuid, pcmGuid + 16);
    p.resize(size, 0xEE);
    return p;
}

std::vector<uint8_t> chunkBytes(const char* id, uint32_t sizeField, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> b(id, id + 4);
    WavBuilder::le32(b, sizeField);
    b.insert(b.end(), payload.begin(), payload.end());
    return b;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Refusal {
    const char* what;
    std::vector<uint8_t> bytes;
    const char* messagePart;
};

void expectRefusals(const std::vector<Refusal>& cases) {
    for (const Refusal& c : cases) {
        const size_t heapBefore = heapInUse();
        const Opened o(c.bytes);
        EXPECT_EQ(o.status, kStreamUnsupported) << c.what;
        EXPECT_EQ(o.stream, nullptr) << c.what;
        EXPECT_NE(o.error.find(c.messagePart), std::string::npos) << c.what << ": " << o.error;
        EXPECT_LT(heapGrowth(heapBefore), kReaderHeapBound) << c.what;
    }
}

// Chunk sizes near 2^32: in 32-bit arithmetic the skip would wrap and land on bytes inside the
// chunk (a fake chunk planted there) or on the chunk itself (an endless walk). The walk must
// see the size as running past the end of the file.
TEST(HostileWav, ChunkSizesThatWrap32BitArithmeticRunPastTheEnd) {
    const std::vector<uint8_t> fmt = WavBuilder().fmt(1, 1, 44100, 16).bytes();
    const std::vector<uint8_t> fmtChunk(fmt.begin() + 12, fmt.end());
    const std::vector<uint8_t> fakeData = chunkBytes("data", 8, std::vector<uint8_t>(8, 0x11));

    // 12 + 8 + 0xFFFFFFF8 wraps to 12: the JUNK chunk again.
    const auto selfLoop = concat(riffOnly(4), chunkBytes("JUNK", 0xFFFFFFF8, fmtChunk));
    // 12 + 8 + 0xFFFFFFFF + pad wraps to 20: a "fmt " chunk planted in the JUNK payload.
    const auto wrapOntoFmt = concat(riffOnly(4), chunkBytes("JUNK", 0xFFFFFFFF, concat(fmtChunk, fakeData)));
    // The same after the "fmt " chunk: a LIST chunk whose payload holds a fake "data" chunk.
    const auto wrapOntoData = concat(fmt, chunkBytes("LIST", 0xFFFFFFFF, fakeData));
    const auto wrapOntoDataEven = concat(fmt, chunkBytes("LIST", 0xFFFFFFFE, fakeData));
    // A "fmt " chunk of 0xFFFFFFF8 bytes would end, wrapped, before its own payload.
    const auto hugeFmt = concat(riffOnly(4), chunkBytes("fmt ", 0xFFFFFFF8, concat(fmtChunk, fakeData)));
    // The endless walk comes last, so that the other cases report before a hang.
    expectRefusals({
        {"skip of 0xFFFFFFFF before fmt", wrapOntoFmt, "no \"fmt \" chunk"},
        {"skip of 0xFFFFFFFF before data", wrapOntoData, "no \"data\" chunk"},
        {"skip of 0xFFFFFFFE before data", wrapOntoDataEven, "no \"data\" chunk"},
        {"fmt of 0xFFFFFFF8 bytes", hugeFmt, "past the end"},
        {"skip of 0xFFFFFFF8", selfLoop, "no \"fmt \" chunk"},
    });
}

TEST(HostileWav, TruncatedOrMisplacedChunksAreRefused) {
    const auto good = WavBuilder().fmt(1, 2, 44100, 16).data(ramp(200)).bytes();
    const auto fmtOnly = WavBuilder().fmt(1, 1, 44100, 16).bytes();
    std::vector<Refusal> cases = {
        {"empty file", {}, "no RIFF header"},
        {"RIFF alone", {'R', 'I', 'F', 'F'}, "truncated"},
        {"RIFF and size", {'R', 'I', 'F', 'F', 0xFF, 0xFF, 0xFF, 0xFF}, "truncated"},
        {"RIFF header, size 0", riffOnly(0), "no \"fmt \" chunk"},
        {"RIFF header, size 0xFFFFFFFF", riffOnly(0xFFFFFFFF), "no \"fmt \" chunk"},
        {"chunk header cut after its id", concat(riffOnly(8), {'f', 'm', 't', ' ', 16, 0}), "no \"fmt \" chunk"},
        {"data header cut", concat(fmtOnly, {'d', 'a', 't', 'a', 0x10}), "no \"data\" chunk"},
        {"two fmt chunks", WavBuilder().fmt(1, 1, 44100, 16).fmt(1, 2, 8000, 16).data(ramp(4)).bytes(),
         "more than one"},
    };
    // A "fmt " chunk shorter than 16 bytes, followed by a valid-looking data chunk.
    for (uint32_t size : {0u, 1u, 15u}) {
        const std::vector<uint8_t> payload(size, 0x01);
        cases.push_back({"short fmt", WavBuilder().chunk("fmt ", payload).data(ramp(16)).bytes(), "truncated"});
    }
    // Cut anywhere inside the "fmt " chunk.
    for (size_t cut : {21u, 27u, 35u}) {
        std::vector<uint8_t> b(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
        cases.push_back({"cut in fmt", b, "past the end"});
    }
    expectRefusals(cases);
}

TEST(HostileWav, LyingSizesThatStillFrameTheAudioReadCorrectly) {
    const auto samples = ramp(2 * 700);
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        size_t values;  // data values the reader must deliver
    };
    auto riffSize = [](std::vector<uint8_t> b, uint32_t size) {
        for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<uint8_t>(size >> (8 * i));
        return b;
    };
    // An odd-sized data chunk ends in 3 bytes that are not a whole stereo frame; the chunk
    // after it is not audio.
    std::vector<uint8_t> odd(4 * 700 + 3);
    for (size_t i = 0; i < 2 * 700; ++i) {
        odd[2 * i] = static_cast<uint8_t>(samples[i]);
        odd[2 * i + 1] = static_cast<uint8_t>(static_cast<uint16_t>(samples[i]) >> 8);
    }
    const auto canonical = WavBuilder().fmt(1, 2, 44100, 16).data(samples).bytes();
    const std::vector<Case> cases = {
        {"RIFF size 0", riffSize(canonical, 0), samples.size()},
        {"RIFF size 0xFFFFFFFF", riffSize(canonical, 0xFFFFFFFF), samples.size()},
        {"RIFF size too small", riffSize(canonical, 20), samples.size()},
        {"odd data size", WavBuilder().fmt(1, 2, 44100, 16).chunk("data", odd).chunk("LIST", {9, 9, 9, 9}).bytes(),
         samples.size()},
        {"data size past the end, cut mid-frame",
         [&] {
             auto b = WavBuilder().fmt(1, 2, 44100, 16).data(samples, 0x7FFFFFFF).bytes();
             b.push_back(0x42);  // a dangling byte at the end of the file
             return b;
         }(),
         samples.size()},
        {"fmt with extension bytes", WavBuilder().chunk("fmt ", concat(fmtFields(1, 2, 44100, 4, 16), {0, 0, 7}))
                                         .data(samples)
                                         .bytes(),
         samples.size()},
    };
    for (const Case& c : cases) {
        const size_t heapBefore = heapInUse();
        Opened o(c.bytes);
        ASSERT_EQ(o.status, kStreamOk) << c.what << ": " << o.error;
        const auto all = readAll(*o.stream, heapBefore, c.values);
        ASSERT_EQ(all.size(), c.values) << c.what;
        EXPECT_TRUE(std::equal(all.begin(), all.end(), samples.begin())) << c.what;
    }
}

// A data size of about 4 GB (0xFFFFFFFE, not the 0xFFFFFFFF of streaming writers) on a file of
// a few kilobytes: read to the end of the file, in frame-sized pieces.
TEST(HostileWav, MultiGigabyteDataSizeOnASmallFileReadsToTheEnd) {
    const auto samples = ramp(3000);
    for (int64_t field : {int64_t{0xFFFFFFFE}, int64_t{0x80000001}}) {
        const size_t heapBefore = heapInUse();
        Opened o(WavBuilder().fmt(1, 1, 48000, 16).data(samples, field).bytes());
        ASSERT_EQ(o.status, kStreamOk) << o.error;
        EXPECT_EQ(o.stream->format().dataSize, 2 * samples.size()) << field;
        EXPECT_LT(heapGrowth(heapBefore), kReaderHeapBound);
        const auto all = readAll(*o.stream, heapBefore, samples.size());
        ASSERT_EQ(all.size(), samples.size()) << field;
        EXPECT_TRUE(std::equal(all.begin(), all.end(), samples.begin()));
    }
}

// cbSize is believed only as far as the chunk size allows: the chunk size frames the chunk.
TEST(HostileWav, ExtensibleFmtWhoseCbSizeLies) {
    expectRefusals({
        {"cbSize 22 in a 24-byte chunk", WavBuilder().chunk("fmt ", extensibleFmt(22, 24)).data(ramp(8)).bytes(),
         "extensible \"fmt \" chunk is truncated"},
        {"cbSize 22 in a 39-byte chunk", WavBuilder().chunk("fmt ", extensibleFmt(22, 39)).data(ramp(8)).bytes(),
         "extensible \"fmt \" chunk is truncated"},
        {"cbSize 0 in a 40-byte chunk", WavBuilder().chunk("fmt ", extensibleFmt(0, 40)).data(ramp(8)).bytes(),
         "extensible \"fmt \" chunk is truncated"},
        {"cbSize 0xFFFF in a 16-byte chunk", WavBuilder().chunk("fmt ", extensibleFmt(0xFFFF, 16)).data(ramp(8)).bytes(),
         "extensible \"fmt \" chunk is truncated"},
    });
    // cbSize far beyond the chunk: the chunk's own size still says where the next chunk starts.
    const auto samples = ramp(1500);
    for (size_t size : {40u, 41u, 64u}) {
        const size_t heapBefore = heapInUse();
        Opened o(WavBuilder().chunk("fmt ", extensibleFmt(0xFFFF, size)).data(samples).bytes());
        ASSERT_EQ(o.status, kStreamOk) << size << ": " << o.error;
        const auto all = readAll(*o.stream, heapBefore, samples.size());
        ASSERT_EQ(all.size(), samples.size()) << size;
        EXPECT_TRUE(std::equal(all.begin(), all.end(), samples.begin())) << size;
    }
}

TEST(HostileWav, ImpossibleFormatFieldsAreRefused) {
    auto file = [](const std::vector<uint8_t>& fmt) { return WavBuilder().chunk("fmt ", fmt).data(ramp(64)).bytes(); };
    expectRefusals({
        {"block align 0", file(fmtFields(1, 1, 44100, 0, 16)), "block align 0"},
        {"block align 0, float", file(fmtFields(3, 2, 44100, 0, 32)), "block align 0"},
        {"block align 0xFFFF", file(fmtFields(1, 2, 44100, 0xFFFF, 16)), "block align 65535"},
        {"bits 0", file(fmtFields(1, 1, 44100, 0, 0)), "0-bit PCM"},
        {"bits 0xFFFF", file(fmtFields(1, 1, 44100, 2, 0xFFFF)), "65535-bit PCM"},
        {"256 channels", file(fmtFields(1, 256, 44100, 512, 16)), "256 channels"},
        {"65535 channels", file(fmtFields(1, 0xFFFF, 44100, 0xFFFE, 16)), "65535 channels"},
        {"sampling rate 0", file(fmtFields(1, 1, 0, 2, 16)), "sampling rate 0"},
    });
}

// The reader passes any non-zero rate on (the front end refuses rates that are not AAC
// rates), but a rate beyond the int32 range must not arrive negative.
TEST(HostileWav, SamplingRateBeyondInt32ArrivesPositive) {
    for (uint32_t rate : {0xFFFFFFFFu, 0x80000000u}) {
        Opened o(WavBuilder().chunk("fmt ", fmtFields(1, 1, rate, 2, 16)).data(ramp(100)).bytes());
        ASSERT_EQ(o.status, kStreamOk) << o.error;
        int32_t value = 0;
        ASSERT_EQ(o.stream->getProperty(12, &value), 0);
        EXPECT_EQ(value, INT32_MAX) << rate;
        FrameView v{};
        ASSERT_EQ(o.stream->readFrame(&v), ReadStatus::Frame);
        EXPECT_EQ(v.sampleRate, INT32_MAX);
    }
}

// A file made of a hundred thousand empty chunks: the walk is linear and ends at the data.
TEST(HostileWav, ManyTinyChunksBeforeTheData) {
    WavBuilder b;
    for (int i = 0; i < 100000; ++i) b.chunk(i % 2 ? "JUNK" : "LIST", {});
    const auto samples = ramp(50);
    const size_t heapBefore = heapInUse();
    Opened o(b.fmt(1, 1, 8000, 16).data(samples).bytes());
    ASSERT_EQ(o.status, kStreamOk) << o.error;
    const auto all = readAll(*o.stream, heapBefore, samples.size());
    ASSERT_EQ(all.size(), samples.size());
}

}  // namespace
}  // namespace varnel
