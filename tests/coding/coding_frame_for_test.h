// Test helpers for rate control and quantiser: the records of one frame's channels as the
// coding stages take them, reproducible spectra, and what a decoder requires of a channel's
// coded data.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "bitstream/bit_writer.h"
#include "bitstream/syntax_writer.h"
#include "coding/rate_control.h"
#include "records/band_tables.h"
#include "records/channel_records.h"

namespace varnel::testing {

inline constexpr int k48000 = 3, k44100 = 4, k32000 = 5, k16000 = 8;

inline void setShortBlock(IcsInfo& ics, int rateIndex, const std::vector<int>& groupLengths) {
    ics.windowSequence = EIGHT_SHORT_SEQUENCE;
    ics.swbOffsets = swbOffsetShort[rateIndex];
    ics.numSwb = numSwbShort[rateIndex];
    ics.numWindowGroups = static_cast<int>(groupLengths.size());
    for (size_t g = 0; g < groupLengths.size(); ++g) ics.windowGroupLength[g] = groupLengths[g];
}

// One frame's channel records with the stages that run on them: long blocks, a full
// reservoir, channelShare as after open, silent spectra.
struct CodingFrame {
    CodingFrame(int channelCount, int rateIndex, int bitRate)
        : channels(channelCount), rate{sampleRateTable[rateIndex], bitRate}, buffers(channelCount),
          ics(channelCount), coding(channelCount) {
        frame.bitReservoir = BitReservoir(frameBitCap(channels), frameBitCap(channels));
        frame.channelShare = channels == 1 ? 1.0 : 0.5;
        frame.options = kOptionMidSide;
        for (IcsInfo& i : ics) {
            i.swbOffsets = swbOffsetLong[rateIndex];
            i.numSwb = numSwbLong[rateIndex];
            i.numWindowGroups = i.windowGroupLength[0] = 1;
        }
    }
    bool noise() const { return (frame.options & kOptionPns) != 0; }

    void limit() { limitBandwidth(buffers, ics, coding, rate); }
    int total() { return frameBitTotal(buffers, ics, element, frame, rate); }
    int demand(int c) {
        return channelBitDemand(buffers[c].spectrum, ics[c],
                                (frame.options & kOptionTns) && element.sideInfo[c].tnsDataPresent, channels,
                                meanFrameBits(rate), frame);
    }
    void allocate() { allocateFrameBits(buffers, ics, coding, element, frame, rate); }
    int sideInfoBits(int c) const { return channelSideInfoBits(ics[c], element.sideInfo[c], channels, element.msUsed); }
    int bitLimit(int c) const { return channelBitLimit(ics[c], element.sideInfo[c], channels, element.msUsed); }
    OffsetRules offsets() const { return offsetRules(rate.sampleRate, element.msUsed == 1, frame.channelShare); }
    ChannelQuantiser quantiser(int c) const { return {noise(), offsets(), bitLimit(c)}; }
    void quantise(int c) { quantiseChannel(coding[c], ics[c], buffers[c].spectrum, quantiser(c)); }
    int count(int c) { return countChannelBits(coding[c], ics[c], noise()); }
    // Writes the frame's element into `writer`.
    void write(BitWriter& writer) { writeElement(writer, ics, coding, element, noise()); }

    int channels;
    StreamRate rate;
    std::vector<ChannelBuffer> buffers;
    std::vector<IcsInfo> ics;
    std::vector<ChannelCoding> coding;
    ElementInfo element{};
    FrameState frame{};
};

inline std::unique_ptr<CodingFrame> makeFrame(int channels, int rateIndex, int bitRate) {
    return std::make_unique<CodingFrame>(channels, rateIndex, bitRate);
}

// Gaussian lines under an envelope falling by decayDb over each window, plus four tonal peaks.
inline void fillSpectrum(double* x, bool shortBlock, unsigned seed, double peak = 2e5,
                         double decayDb = 60.0) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const int length = shortBlock ? kShortWindowLength : kFrameLength;
    for (int k = 0; k < kFrameLength; ++k)
        x[k] = 0.05 * peak * std::pow(10.0, -decayDb * (k % length) / length / 20.0) * gauss(rng);
    for (int t = 0; t < 4; ++t) x[rng() % (length * 3 / 4)] = t % 2 ? -peak : peak;
}

// global_gain and every transmitted scalefactor in 0..255, each difference (the first against
// global_gain) within +-60, and no coded magnitude above 8191.
inline ::testing::AssertionResult decodable(const ChannelCoding& coding, const IcsInfo& ics,
                                            bool noiseSubstitution) {
    const int globalGain = coding.globalGain + 100;
    if (globalGain < 0 || globalGain > 255) return ::testing::AssertionFailure() << "global_gain";
    int previous = globalGain;
    for (int g = 0, window = 0; g < ics.numWindowGroups; window += ics.windowGroupLength[g++]) {
        for (int b = 0; b < coding.maxSfb; ++b) {
            const int i = g * ics.numSwb + b;
            const int cb = coding.codebook[i];
            if (cb == ZERO_HCB || cb == INTENSITY_HCB || cb == INTENSITY_HCB2 ||
                (noiseSubstitution && cb == NOISE_HCB))
                continue;
            const int sf = globalGain - coding.scaleOffset[i];
            if (sf < 0 || sf > 255 || std::abs(sf - previous) > 60)
                return ::testing::AssertionFailure() << "band " << i << ": sf " << sf << " after "
                                                     << previous;
            previous = sf;
            for (int w = window; w < window + ics.windowGroupLength[g]; ++w)
                for (int k = ics.swbOffsets[b]; k < ics.swbOffsets[b + 1]; ++k)
                    if (std::abs(coding.quantSpectrum[kShortWindowLength * w + k]) > 8191)
                        return ::testing::AssertionFailure() << "line " << k;
        }
    }
    return ::testing::AssertionSuccess();
}

}  // namespace varnel::testing
