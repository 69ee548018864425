#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <vector>

#include "frontend/sample_conversion.h"

namespace varnel {
namespace {

std::vector<double> convert(SampleEncoding e, const std::vector<uint8_t>& bytes, size_t* clipped = nullptr) {
    const size_t n = bytes.size() / static_cast<size_t>(sampleBytes(e));
    std::vector<double> out(n, -999.0);
    const size_t c = convertSamples(e, bytes.data(), n, out.data());
    if (clipped) *clipped = c;
    return out;
}

TEST(SampleConversion, EightBitIsUnsignedAroundMidScale) {
    const auto v = convert(SampleEncoding::Unsigned8, {0x80, 0x00, 0xFF, 0x81, 0x7F});
    EXPECT_EQ(v, (std::vector<double>{0.0, -32768.0, 32512.0, 256.0, -256.0}));
}

TEST(SampleConversion, SixteenBitIsLittleEndianSigned) {
    const auto v = convert(SampleEncoding::Signed16, {0x01, 0x00, 0x00, 0x01, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F});
    EXPECT_EQ(v, (std::vector<double>{1.0, 256.0, -1.0, -32768.0, 32767.0}));
}

TEST(SampleConversion, TwentyFourBitKeepsItsLowBitsAndSign) {
    // 0x000001 = 1/256, 0xFFFFFF = -1/256, 0x800000 = -32768, 0x7FFFFF = 32767 + 255/256, 0x123456.
    const auto v = convert(SampleEncoding::Signed24, {0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x80,
                                                      0xFF, 0xFF, 0x7F, 0x56, 0x34, 0x12});
    EXPECT_EQ(v, (std::vector<double>{1.0 / 256, -1.0 / 256, -32768.0, 32767.0 + 255.0 / 256, 0x123456 / 256.0}));
}

TEST(SampleConversion, ThirtyTwoBitScalesBy65536) {
    const auto v = convert(SampleEncoding::Signed32, {0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00,
                                                      0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(v, (std::vector<double>{1.0, 1.0 / 65536, -32768.0, -1.0 / 65536}));
}

std::vector<uint8_t> floatBytes(const std::vector<float>& f) {
    std::vector<uint8_t> b;
    for (float x : f) {
        const uint32_t u = std::bit_cast<uint32_t>(x);
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(u >> (8 * i)));
    }
    return b;
}

TEST(SampleConversion, FloatScalesBy32768AndClipsBeyondFullScale) {
    size_t clipped = 0;
    const auto v = convert(SampleEncoding::Float32, floatBytes({0.5f, -1.0f, 1.0f, 1.5f, -1.5f, 0.25e-5f}), &clipped);
    EXPECT_EQ(v[0], 16384.0);
    EXPECT_EQ(v[1], -32768.0);
    EXPECT_EQ(v[2], 32767.0);  // +1.0 is one step past the largest 16-bit value
    EXPECT_EQ(v[3], 32767.0);
    EXPECT_EQ(v[4], -32768.0);
    EXPECT_DOUBLE_EQ(v[5], double(0.25e-5f) * 32768.0);  // no rounding to 16 bits
    EXPECT_EQ(clipped, 3u);
}

TEST(SampleConversion, DoubleFloatAndNotANumber) {
    std::vector<uint8_t> b;
    for (double x : {0.125, std::numeric_limits<double>::quiet_NaN(), -2.0}) {
        const uint64_t u = std::bit_cast<uint64_t>(x);
        for (int i = 0; i < 8; ++i) b.push_back(static_cast<uint8_t>(u >> (8 * i)));
    }
    size_t clipped = 0;
    const auto v = convert(SampleEncoding::Float64, b, &clipped);
    EXPECT_EQ(v, (std::vector<double>{4096.0, 0.0, -32768.0}));
    EXPECT_EQ(clipped, 2u);
}

}  // namespace
}  // namespace varnel
