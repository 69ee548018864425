#include "encoder/perceptual_frame.h"

#include <algorithm>
#include <cassert>

#include "bitstream/syntax_writer.h"
#include "analysis/filterbank.h"
#include "coding/mid_side.h"
#include "coding/perceptual_bands.h"
#include "coding/perceptual_rate_control.h"
#include "analysis/psychoacoustic_model.h"
#include "coding/quantiser.h"
#include "coding/rate_control.h"
#include "coding/tns.h"
#include "encoder/aac_encoder.h"

namespace varnel {
namespace {

// A channel's share of the frame's bits never falls below this part of an equal share.
constexpr double kMinShareOfEqual = 0.3;
// Long blocks take the window shape whose transform costs less entropy against this share of
// the model's thresholds (6 dB under them): leakage just under a threshold is still heard (PEAQ
// counts noise at the threshold in quiet), so the choice counts it. The KBD window's far side
// lobes are lower: a tone's transform leaks under the thresholds within a few lines of it, where
// the sine window leaks noise-level energy into every band the coder must reproduce or lose. The
// sine window's narrower main lobe codes dense spectra (voices, full mixes) cheaper.
constexpr double kWindowChoiceThresholdShare = 0.25;

// Codes a channel without spectral values, as the default rate control does.
void codeSilentChannel(ChannelCoding& coding, IcsInfo& ics) {
    coding.bandLimit = 0;
    coding.pnsBandLimit = 0;
    coding.pnsStartBand = 0;
    if (ics.windowSequence != EIGHT_SHORT_SEQUENCE) {
        ics.numWindowGroups = 1;
        ics.windowGroupLength[0] = 1;
    }
    coding.globalGain = 0;
    std::fill(std::begin(coding.codebook), std::end(coding.codebook), ZERO_HCB);
    std::fill(std::begin(coding.noiseFlag), std::end(coding.noiseFlag), uint8_t{0});
    std::fill(std::begin(coding.quantSpectrum), std::end(coding.quantSpectrum), 0);
    std::fill(std::begin(coding.sectionLength), std::end(coding.sectionLength), uint8_t{1});
    coding.usedBits = 0;
    coding.maxSfb = 0;
}

// The max_sfb the writer will write for a long block of channel c, as far as it bounds a
// decoder's TNS filter: with noise substitution every band below pnsBandLimit is sectioned (for
// a common-window pair the larger of the two), else bandLimit bounds it.
int32_t writtenMaxSfb(const AacEncoder& enc, int c) {
    if (!(enc.frame.options & kOptionPns)) return enc.channelCoding[c].bandLimit;
    if (enc.channels == 2 && hasCommonWindow(enc.icsInfo[0], enc.icsInfo[1]))
        return std::max(enc.channelCoding[0].pnsBandLimit, enc.channelCoding[1].pnsBandLimit);
    return enc.channelCoding[c].pnsBandLimit;
}

// Temporal noise shaping for the channels whose transient detector asks for it (on steady
// frames its filters cost side information and shape the noise to no purpose); the thresholds
// of the filtered bands follow the filter.
void filterTransients(AacEncoder& enc, MaskingResult* masking) {
    for (int c = 0; c < enc.channels; ++c) {
        const IcsInfo& ics = enc.icsInfo[c];
        if (!ics.tnsWanted) continue;
        double* spectrum = enc.channelBuffers[c].spectrum;
        double unfiltered[kFrameLength];
        std::copy(spectrum, spectrum + kFrameLength, unfiltered);
        const ChannelCoding& coding = enc.channelCoding[c];
        const TnsBandRange range =
            tnsBandRange(ics, coding.bandLimit, writtenMaxSfb(enc, c), enc.sampleRateIndex,
                         firstNoiseBand(ics, coding, (enc.frame.options & kOptionPns) != 0));
        runTnsChannel(ics, range, enc.channelBuffers[c].spectrum, enc.elementInfo.sideInfo[c]);
        if (enc.elementInfo.sideInfo[c].tnsDataPresent)
            followFilteredEnergy(unfiltered, enc.channelBuffers[c].spectrum, ics, masking[c]);
    }
}

void decideMidSideBands(AacEncoder& enc, MaskingResult* masking) {
    if (enc.channels != 2 || !enc.frame.midSideEnabled || !hasCommonWindow(enc.icsInfo[0], enc.icsInfo[1]))
        return;
    const IcsInfo& ics = enc.icsInfo[0];
    uint8_t keep[kMaxBandEntries];
    const int bands = std::min(enc.channelCoding[0].bandLimit, enc.channelCoding[1].bandLimit);
    if (chooseMidSideBands(ics, bands, enc.channelBuffers[0].spectrum, enc.channelBuffers[1].spectrum,
                           masking[0], masking[1], enc.channelCoding[0].noiseFlag,
                           enc.channelCoding[1].noiseFlag, keep) == 0)
        return;
    double unusedShare = enc.frame.channelShare;
    applyMidSide(ics, ics.numSwb, enc.channelBuffers[0].spectrum, enc.channelBuffers[1].spectrum, 0.5,
                 enc.elementInfo, unusedShare, keep);
    shareMidSideThresholds(ics, enc.elementInfo.msMask, masking[0], masking[1]);
}

// Chooses one window_shape for every channel of a frame of long blocks (presetPerceptualWindowShape
// has given the others KBD): the shape whose transform costs less entropy against the model's
// thresholds times kWindowChoiceThresholdShare (the filterbank has run with the sine shape). One
// shape for all keeps a pair's common window.
void chooseWindowShape(AacEncoder& enc, const MaskingResult* masking) {
    if (enc.icsInfo[0].windowShape == 1) return;
    double sineSpectra[kMaxChannels][kFrameLength];
    double sineEntropy = 0.0, kbdEntropy = 0.0;
    for (int c = 0; c < enc.channels; ++c) {
        ChannelBuffer& buffer = enc.channelBuffers[c];
        IcsInfo& ics = enc.icsInfo[c];
        std::copy(buffer.spectrum, buffer.spectrum + kFrameLength, sineSpectra[c]);
        sineEntropy += spectrumEntropy(buffer.spectrum, ics, masking[c], kWindowChoiceThresholdShare);
        ics.windowShape = 1;
        analysisFilterbank(buffer, ics);
        kbdEntropy += spectrumEntropy(buffer.spectrum, ics, masking[c], kWindowChoiceThresholdShare);
    }
    if (kbdEntropy < sineEntropy) return;
    for (int c = 0; c < enc.channels; ++c) {
        std::copy(sineSpectra[c], sineSpectra[c] + kFrameLength, enc.channelBuffers[c].spectrum);
        enc.icsInfo[c].windowShape = 0;
    }
}

}  // namespace

void presetPerceptualWindowShape(AacEncoder& enc) {
    bool kbd = false;
    for (int c = 0; c < enc.channels; ++c) kbd = kbd || enc.icsInfo[c].windowSequence != ONLY_LONG_SEQUENCE;
    for (int c = 0; c < enc.channels; ++c) enc.icsInfo[c].windowShape = kbd ? 1 : 0;
}

void codePerceptualFrame(AacEncoder& enc) {
    PerceptualState& state = enc.perceptual;
    const bool noise = (enc.frame.options & kOptionPns) != 0;
    MaskingResult masking[kMaxChannels];
    bool silent[kMaxChannels];
    for (int c = 0; c < enc.channels; ++c)
        computeMaskingThresholds(enc.channelBuffers[c].timeSamples, enc.icsInfo[c], enc.sampleRate,
                                 enc.maskingState[c], masking[c]);
    chooseWindowShape(enc, masking);
    for (int c = 0; c < enc.channels; ++c) {
        silent[c] = spectrumPeak(enc.channelBuffers[c].spectrum) == 0.0;
        choosePerceptualBands(enc.channelCoding[c], enc.icsInfo[c], masking[c], enc.sampleRate,
                              enc.bitRatePerChannel, noise);
    }

    enc.elementInfo.msUsed = 0;
    if (enc.frame.options & kOptionTns) filterTransients(enc, masking);
    decideMidSideBands(enc, masking);
    for (int c = 0; c < enc.channels; ++c)
        setNoiseEnergies(enc.channelCoding[c], enc.icsInfo[c], enc.channelBuffers[c].spectrum);

    double entropy[kMaxChannels];
    double frameEntropy = 0.0;
    int32_t limit = 0;
    for (int c = 0; c < enc.channels; ++c) {
        entropy[c] = silent[c] ? 0.0
                               : codedEntropy(enc.channelBuffers[c].spectrum, enc.icsInfo[c],
                                              enc.channelCoding[c], masking[c]);
        frameEntropy += entropy[c];
        limit += channelBitLimit(enc.icsInfo[c], enc.elementInfo.sideInfo[c], enc.channels, enc.elementInfo.msUsed != 0);
    }
    const int32_t meanBits =
        static_cast<int32_t>(int64_t{enc.bitRatePerChannel} * kFrameLength / enc.sampleRate);
    const int32_t cap = enc.channels * kMaxBitsPerChannel;
    const int32_t total = perceptualFrameBits(state, frameEntropy, meanBits, enc.channels,
                                              enc.frame.bitReservoir, limit);
    const double fill = std::clamp(static_cast<double>(enc.frame.bitReservoir) / cap, 0.0, 1.0);

    const double minShare = kMinShareOfEqual / enc.channels;
    for (int c = 0; c < enc.channels; ++c) {
        ChannelCoding& coding = enc.channelCoding[c];
        double share = 1.0;
        if (enc.channels == 2) {
            const double sum = entropy[0] + entropy[1];
            share = sum > 0.0 ? std::clamp(entropy[c] / sum, minShare, 1.0 - minShare) : 0.5;
        }
        int32_t target = static_cast<int32_t>(total * share);
        const int32_t bitLimit =
            channelBitLimit(enc.icsInfo[c], enc.elementInfo.sideInfo[c], enc.channels, enc.elementInfo.msUsed != 0);
        if (target > bitLimit) {
            enc.frame.bitReservoir += target - bitLimit;
            target = bitLimit;
        }
        coding.targetBits = target;
        if (silent[c]) {
            codeSilentChannel(coding, enc.icsInfo[c]);
        } else {
            quantisePerceptual(coding, enc.icsInfo[c], enc.channelBuffers[c].spectrum, masking[c],
                               noise, fill, bitLimit, state.gainAboveThreshold[c]);
        }
        enc.frame.bitReservoir += target - coding.usedBits;
        enc.frame.bitReservoir = std::min(enc.frame.bitReservoir, cap);
    }
}

}  // namespace varnel
