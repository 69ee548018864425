#include "bitstream/bit_writer.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/bitstream/bitstream_reader_for_test.h"

namespace varnel {
namespace {

std::vector<uint8_t> take(BitWriter& w, int* bits) {
    uint8_t* data = w.takeOutput(bits);
    EXPECT_NE(data, nullptr);
    return data ? std::vector<uint8_t>(data, data + (*bits + 7) / 8) : std::vector<uint8_t>{};
}

TEST(BitWriter, PacksFieldsMostSignificantBitFirst) {
    uint8_t buffer[16] = {};
    BitWriter w;
    w.setOutput(buffer, sizeof buffer);
    w.putBits(5, 2);
    w.putBits(4, 4);
    w.putBits(4, 2);
    for (int i = 0; i < 3; ++i) w.putBits(1, 0);
    int bits = 0;
    EXPECT_EQ(take(w, &bits), (std::vector<uint8_t>{0x12, 0x10}));
    EXPECT_EQ(bits, 16);
}

TEST(BitWriter, ByteAlignPadsWithZerosOnlyWhenNeeded) {
    uint8_t buffer[16] = {};
    BitWriter w;
    w.setOutput(buffer, sizeof buffer);
    w.putBits(3, 7);
    w.byteAlign();
    EXPECT_EQ(w.bitCount(), 8);
    w.byteAlign();  // already aligned: nothing
    EXPECT_EQ(w.bitCount(), 8);
    int bits = 0;
    EXPECT_EQ(take(w, &bits), (std::vector<uint8_t>{0xE0}));
    EXPECT_EQ(bits, 8);
}

TEST(BitWriter, ThirtyTwoBitsAtOnceAreStoredBigEndian) {
    uint8_t buffer[16] = {};
    BitWriter w;
    w.setOutput(buffer, sizeof buffer);
    w.putBits(32, 0x01020304u);
    int bits = 0;
    EXPECT_EQ(take(w, &bits), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04}));
    EXPECT_EQ(bits, 32);
    // Straddling a word boundary: 4 bits, then 32 bits split 28 + 4.
    w.setOutput(buffer, sizeof buffer);
    w.putBits(4, 0xA);
    w.putBits(32, 0xBCDEF012u);
    w.putBits(4, 0x3);
    EXPECT_EQ(take(w, &bits), (std::vector<uint8_t>{0xAB, 0xCD, 0xEF, 0x01, 0x23}));
    EXPECT_EQ(bits, 40);
}

TEST(BitWriter, TakeOutputDetachesTheBuffer) {
    uint8_t buffer[16] = {};
    BitWriter w;
    int bits = -1;
    EXPECT_EQ(w.takeOutput(&bits), nullptr);  // nothing attached
    EXPECT_EQ(bits, -1);
    w.setOutput(buffer, sizeof buffer);
    w.putBits(8, 0x5A);
    EXPECT_EQ(w.takeOutput(&bits), buffer);
    bits = -1;
    EXPECT_EQ(w.takeOutput(&bits), nullptr);
    EXPECT_EQ(bits, -1);
    // The running count survives a new buffer, so byteAlign keeps working across frames.
    w.setOutput(buffer, sizeof buffer);
    w.putBits(3, 0);
    w.byteAlign();
    EXPECT_EQ(w.bitCount(), 16);
}

TEST(BitWriter, ExhaustedBufferIsNeverOverrunAndReportsOverflow) {
    for (int capacity : {0, 1, 3, 4, 6, 8}) {
        SCOPED_TRACE(capacity);
        std::vector<uint8_t> storage(capacity + 8, 0xCC);  // guard bytes after the capacity
        BitWriter w;
        w.setOutput(storage.data(), capacity);
        for (int i = 0; i < 40; ++i) w.putBits(13, 0x1FFF);
        EXPECT_EQ(w.bitCount(), 40 * 13);
        EXPECT_TRUE(w.overflowed());
        int bits = 0;
        w.takeOutput(&bits);
        for (int i = capacity; i < capacity + 8; ++i) EXPECT_EQ(storage[i], 0xCC) << "byte " << i;
        for (int i = 0; i < capacity; ++i) EXPECT_EQ(storage[i], 0xFF) << "byte " << i;
    }
    // Exactly full is not an overflow.
    uint8_t buffer[8] = {};
    BitWriter w;
    w.setOutput(buffer, 8);
    w.putBits(32, 1);
    w.putBits(32, 2);
    EXPECT_FALSE(w.overflowed());
}

// The running count spans the whole stream; past 2^31 bits (half an hour of 96 kHz stereo at
// the top rate) frames must still come out with their own sizes, byte-aligned.
TEST(BitWriter, FramesStayAlignedPastTwoToTheThirtyOneBits) {
    std::vector<uint8_t> buffer(4096 + 4);
    BitWriter w;
    const int64_t wordsPerBuffer = 1024;
    const int64_t words = (int64_t{1} << 31) / 32 + 8;
    for (int64_t i = 0; i < words; i += wordsPerBuffer) {
        w.setOutput(buffer.data(), static_cast<int>(buffer.size()));
        for (int64_t j = 0; j < wordsPerBuffer; ++j) w.putBits(32, 0x5A5A5A5Au);
        int bits = 0;
        w.takeOutput(&bits);
    }
    ASSERT_GT(w.bitCount(), int64_t{1} << 31);
    for (int frameBits : {13, 1, 8, 29}) {
        SCOPED_TRACE(frameBits);
        const int64_t before = w.bitCount();
        w.setOutput(buffer.data(), static_cast<int>(buffer.size()));
        w.putBits(frameBits, 1);
        w.byteAlign();
        int bits = 0;
        const std::vector<uint8_t> bytes = take(w, &bits);
        EXPECT_EQ(bits, (frameBits + 7) / 8 * 8);
        EXPECT_EQ(w.bitCount() - before, bits);
        EXPECT_EQ(bytes[(frameBits - 1) / 8], 0x80 >> ((frameBits - 1) % 8));
    }
    int64_t total = 0;
    EXPECT_EQ(w.queryCounters(1, &total), 0);
    EXPECT_EQ(total, w.bitCount());
}

TEST(BitWriter, RandomFieldsReadBackInOrder) {
    std::mt19937 rng(7);
    std::vector<std::pair<int, uint32_t>> fields;
    std::vector<uint8_t> buffer(4096 + 4);
    BitWriter w;
    w.setOutput(buffer.data(), static_cast<int>(buffer.size()));
    int total = 0;
    while (total < 8 * 4000) {
        const int n = std::uniform_int_distribution<int>(0, 32)(rng);
        const uint32_t value = n == 0 ? 0 : static_cast<uint32_t>(rng()) >> (32 - n);
        w.putBits(n, value);
        fields.emplace_back(n, value);
        total += n;
    }
    int bits = 0;
    const uint8_t* data = w.takeOutput(&bits);
    ASSERT_EQ(bits, total);
    test::TestBitReader reader(data, bits);
    for (const auto& [n, value] : fields) ASSERT_EQ(reader.read(n), value);
    EXPECT_FALSE(reader.overrun());
}

}  // namespace
}  // namespace varnel
