// Window synchronisation of a channel pair through the whole pipeline: when only one channel
// holds a transient, both channels are coded with eight short windows and the channel pair
// element shares one ics_info (common_window 1), as the written block shows. Window shapes: each
// block's window rises with the shape the block before it fell with, also where a stream leaves
// the perceptual mode (which switches shapes) for the default mode (which keeps the sine shape).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "bitstream/syntax_writer.h"
#include "tests/encoder/encoder_run_for_test.h"

namespace varnel {
namespace {

constexpr int kRate = 44100;
constexpr double kPi = 3.14159265358979323846;

// MSB-first reader of the written block.
class BlockReader {
public:
    explicit BlockReader(const uint8_t* data) : data_(data) {}
    uint32_t bits(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; ++i, ++pos_) v = (v << 1) | ((data_[pos_ >> 3] >> (7 - (pos_ & 7))) & 1u);
        return v;
    }

private:
    const uint8_t* data_;
    int pos_ = 0;
};

// A quiet 440 Hz tone in both channels; one castanet-like click (4 ms of decaying noise) at
// 0.3 s in `transientChannel` only.
test::SignalFunction toneWithClickIn(int transientChannel) {
    return [transientChannel, rng = std::mt19937(5)](long n, int c) mutable {
        double s = 300.0 * std::sin(2 * kPi * 440.0 * n / kRate);
        const long k = n - static_cast<long>(0.3 * kRate);
        if (c == transientChannel && k >= 0 && k < kRate / 250)
            s += 20000.0 * std::exp(-k / 26.0) * std::uniform_real_distribution<double>(-1, 1)(rng);
        return s;
    };
}

TEST(WindowSynchronisation, TransientInOneChannelCodesBothShortWithACommonWindow) {
    for (int transientChannel : {0, 1}) {
        SCOPED_TRACE(::testing::Message() << "transient in channel " << transientChannel);
        test::EncoderRun run(test::wav16(test::renderSignal(toneWithClickIn(transientChannel), kRate * 3 / 4, 2),
                                         kRate, 2),
                             64000, kOptionTns);
        ASSERT_TRUE(run.opened());
        const AacEncoder& enc = run.encoder();
        int shortFrames = 0;
        for (int frame = 0; run.encodeFrame() == FrameStatus::Written; ++frame) {
            SCOPED_TRACE(::testing::Message() << "frame " << frame);
            const IcsInfo& left = enc.elements[0].icsInfo[0];
            const IcsInfo& right = enc.elements[0].icsInfo[1];
            ASSERT_EQ(left.windowSequence, right.windowSequence);
            if (left.windowSequence != EIGHT_SHORT_SEQUENCE) continue;
            ++shortFrames;
            ASSERT_EQ(left.numWindowGroups, right.numWindowGroups);
            for (int g = 0; g < left.numWindowGroups; ++g)
                EXPECT_EQ(left.windowGroupLength[g], right.windowGroupLength[g]);

            BlockReader block(run.block());
            EXPECT_EQ(block.bits(kIdSynEleBits), ID_CPE);
            EXPECT_EQ(block.bits(kElementInstanceTagBits), 3u);  // element_instance_tag
            ASSERT_EQ(block.bits(1), 1u) << "common_window";
            EXPECT_EQ(block.bits(1), 0u);                        // ics_reserved_bit
            EXPECT_EQ(block.bits(kWindowSequenceBits), static_cast<uint32_t>(EIGHT_SHORT_SEQUENCE));
        }
        EXPECT_GE(shortFrames, 1);
    }
}

TEST(WindowSynchronisation, EveryBlockRisesWithThePreviousBlocksShape) {
    test::EncoderRun run(test::wav16(test::renderSignal(toneWithClickIn(0), kRate, 2), kRate, 2), 64000,
                         kOptionTns | kOptionPerceptual);
    ASSERT_TRUE(run.opened());
    AacEncoder& enc = run.encoder();
    WindowShape previous[2] = {WindowShape::Sine, WindowShape::Sine};
    int kbdBlocks = 0;
    for (int frame = 0; run.encodeFrame() == FrameStatus::Written; ++frame) {
        SCOPED_TRACE(::testing::Message() << "frame " << frame);
        EXPECT_EQ(enc.elements[0].icsInfo[0].windowShape, enc.elements[0].icsInfo[1].windowShape);
        for (int c = 0; c < 2; ++c) {
            EXPECT_EQ(enc.elements[0].icsInfo[c].previousWindowShape, previous[c]);
            previous[c] = enc.elements[0].icsInfo[c].windowShape;
        }
        kbdBlocks += enc.elements[0].icsInfo[0].windowShape == WindowShape::Kbd;
        if (frame == 30) {
            ASSERT_EQ(previous[0], WindowShape::Kbd) << "a steady tone takes the KBD window";
            enc.setOption(EncoderOption::Perceptual, false);
        }
    }
    EXPECT_GT(kbdBlocks, 10);
    EXPECT_EQ(previous[0], WindowShape::Sine);
}

}  // namespace
}  // namespace varnel
