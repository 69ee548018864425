#include "encoder/perceptual_frame.h"

#include <algorithm>
#include <cassert>

#include "bitstream/syntax_writer.h"
#include "coding/mid_side.h"
#include "coding/perceptual_bands.h"
#include "coding/quantiser.h"
#include "coding/tns.h"

namespace varnel {
namespace {

// A channel's share of the frame's bits never falls below this part of an equal share.
constexpr double kMinShareOfEqual = 0.3;

// The max_sfb the writer will write for a long block of channel c, as far as it bounds a
// decoder's TNS filter: with noise substitution every band below pnsBandLimit is sectioned (for
// a common-window pair the larger of the two), else bandLimit bounds it.
int32_t writtenMaxSfb(std::span<const IcsInfo> ics, std::span<const ChannelCoding> coding, bool noise, size_t c) {
    if (!noise) return coding[c].bandLimit;
    if (ics.size() == 2 && hasCommonWindow(ics[0], ics[1]))
        return std::max(coding[0].pnsBandLimit, coding[1].pnsBandLimit);
    return coding[c].pnsBandLimit;
}

// Temporal noise shaping for the channels whose transient detector asks for it (on steady
// frames its filters cost side information and shape the noise to no purpose); the thresholds
// of the filtered bands follow the filter.
void filterTransients(std::span<ChannelBuffer> buffers, std::span<const IcsInfo> ics,
                      std::span<const ChannelCoding> coding, ElementInfo& element, bool noise,
                      int32_t sampleRateIndex, MaskingResult* masking) {
    for (size_t c = 0; c < ics.size(); ++c) {
        if (!ics[c].tnsWanted) continue;
        double unfiltered[kFrameLength];
        std::copy(std::begin(buffers[c].spectrum), std::end(buffers[c].spectrum), unfiltered);
        const TnsBandRange range = tnsBandRange(ics[c], coding[c].bandLimit, writtenMaxSfb(ics, coding, noise, c),
                                                sampleRateIndex, firstNoiseBand(ics[c], coding[c], noise));
        runTnsChannel(ics[c], range, buffers[c].spectrum, element.sideInfo[c]);
        if (element.sideInfo[c].tnsDataPresent)
            followFilteredEnergy(unfiltered, buffers[c].spectrum, ics[c], masking[c]);
    }
}

void decideMidSideBands(std::span<ChannelBuffer> buffers, std::span<const IcsInfo> ics,
                        std::span<const ChannelCoding> coding, ElementInfo& element, MaskingResult* masking) {
    if (ics.size() != 2 || !hasCommonWindow(ics[0], ics[1])) return;
    uint8_t keep[kMaxBandEntries];
    const int bands = std::min(coding[0].bandLimit, coding[1].bandLimit);
    if (chooseMidSideBands(ics[0], bands, buffers[0].spectrum, buffers[1].spectrum, masking[0], masking[1],
                           coding[0].noiseFlag, coding[1].noiseFlag, keep) == 0)
        return;
    double unusedShare = 0.5;
    applyMidSide(ics[0], ics[0].numSwb, buffers[0].spectrum, buffers[1].spectrum, 0.5, element, unusedShare, keep);
    shareMidSideThresholds(ics[0], element.msMask, masking[0], masking[1]);
}

}  // namespace

void choosePerceptualTools(std::span<ChannelBuffer> buffers, std::span<const IcsInfo> ics,
                           std::span<ChannelCoding> coding, ElementInfo& element, int32_t options,
                           const StreamRate& rate, int32_t sampleRateIndex, const PerceptualState& state,
                           PerceptualFrame& frame, int crossoverLine) {
    const bool noise = (options & kOptionPns) != 0;
    for (size_t c = 0; c < ics.size(); ++c) {
        frame.silent[c] = spectrumPeak(buffers[c].spectrum) == 0.0;
        choosePerceptualBands(coding[c], ics[c], frame.masking[c], rate.sampleRate, rate.bitRatePerChannel, noise,
                              state.extraCutoffHz, crossoverLine);
    }
    element.msUsed = 0;
    if (options & kOptionTns) filterTransients(buffers, ics, coding, element, noise, sampleRateIndex, frame.masking);
    if (options & kOptionMidSide) decideMidSideBands(buffers, ics, coding, element, frame.masking);
    for (size_t c = 0; c < ics.size(); ++c) {
        measureBands(buffers[c].spectrum, ics[c], frame.stats[c]);
        setNoiseEnergies(coding[c], ics[c], frame.stats[c]);
    }
}

int32_t perceptualFrameTotal(std::span<const IcsInfo> ics, std::span<const ChannelCoding> coding,
                             const ElementInfo& element, const StreamRate& rate, PerceptualState& state,
                             FrameState& frameState, PerceptualFrame& frame) {
    const int channels = static_cast<int>(ics.size());
    double frameEntropy = 0.0;
    int32_t limit = 0;
    for (int c = 0; c < channels; ++c) {
        frame.entropy[c] =
            frame.silent[c] ? 0.0 : codedEntropy(frame.stats[c], ics[c], coding[c], frame.masking[c]);
        frameEntropy += frame.entropy[c];
        limit += channelBitLimit(ics[c], element.sideInfo[c], channels, element.msUsed != 0);
    }
    return perceptualFrameBits(state, frameEntropy, meanFrameBits(rate), channels, frameState.bitReservoir, limit);
}

void quantisePerceptualFrame(std::span<const ChannelBuffer> buffers, std::span<IcsInfo> ics,
                             std::span<ChannelCoding> coding, const ElementInfo& element, int32_t total,
                             const StreamRate& rate, PerceptualState& state, FrameState& frameState,
                             const PerceptualFrame& frame) {
    const int channels = static_cast<int>(ics.size());
    const bool noise = (frameState.options & kOptionPns) != 0;
    BitReservoir& reservoir = frameState.bitReservoir;
    const double fill = std::clamp(reservoir.fill(), 0.0, 1.0);
    const double minShare = kMinShareOfEqual / channels;
    int32_t lostBits = 0;
    const int32_t vbrFloorBits =
        state.vbrLevel > 0 ? static_cast<int32_t>(kVbrFloorShare * kVbrNominalRate[state.vbrLevel - 1] *
                                                  kFrameLength / rate.sampleRate)
                           : 0;
    for (int c = 0; c < channels; ++c) {
        double share = 1.0;
        if (channels == 2) {
            const double sum = frame.entropy[0] + frame.entropy[1];
            share = sum > 0.0 ? std::clamp(frame.entropy[c] / sum, minShare, 1.0 - minShare) : 0.5;
        }
        int32_t target = static_cast<int32_t>(total * share);
        const int32_t bitLimit = channelBitLimit(ics[c], element.sideInfo[c], channels, element.msUsed != 0);
        if (target > bitLimit) {
            reservoir.charge(target - bitLimit);
            target = bitLimit;
        }
        coding[c].targetBits = target;
        if (frame.silent[c]) {
            codeSilentChannel(coding[c], ics[c], false);
        } else {
            quantisePerceptual(coding[c], ics[c], buffers[c].spectrum, frame.stats[c], frame.masking[c], noise, fill,
                               bitLimit, state.gainAboveThreshold[c], state.vbrLevel, vbrFloorBits);
        }
        reservoir.charge(target - coding[c].usedBits);
        lostBits += reservoir.cap();
    }
    if (state.vbrLevel == 0)
        adaptBandwidth(state, lostBits, reservoir.fill(), perceptualCutoffHz(rate.bitRatePerChannel, rate.sampleRate),
                       rate.sampleRate);
}

}  // namespace varnel
