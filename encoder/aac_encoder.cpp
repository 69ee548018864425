#include "encoder/aac_encoder.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <chrono>
#include <cstring>
#include <span>

#include "analysis/block_switching.h"
#include "analysis/window_shape.h"
#include "bitstream/syntax_writer.h"
#include "coding/mid_side.h"
#include "coding/noise_substitution.h"
#include "coding/perceptual_bands.h"
#include "coding/rate_control.h"
#include "coding/tns.h"
#include "records/band_tables.h"
#include "encoder/perceptual_frame.h"

namespace varnel {
namespace {

// max_sfb a channel starts with, before its first block is coded (any value up to the band
// count serves: rate control sets it for every coded block).
constexpr int32_t kInitialMaxSfb = 40;

// `outputRateIndex`: the rate index of the replicated output, or -1 without replication.
void writeAudioSpecificConfig(BitWriter& writer, int sampleRateIndex, int channels, int outputRateIndex) {
    writer.putBits(kAudioObjectTypeBits, kAacLowComplexity);
    writer.putBits(kSamplingFrequencyIndexBits, static_cast<uint32_t>(sampleRateIndex));
    writer.putBits(kChannelConfigurationBits, static_cast<uint32_t>(channels));
    writer.putBits(1, 0);  // frameLengthFlag: 1024-sample frames
    writer.putBits(1, 0);  // dependsOnCoreCoder
    writer.putBits(1, 0);  // extensionFlag
    if (outputRateIndex >= 0) {
        // The backward-compatible statement: a decoder without replication plays the core; one
        // with it learns the output rate, and that no parametric stereo follows (else a mono
        // stream may be decoded as stereo).
        writer.putBits(kSyncExtensionTypeBits, kSyncExtensionType);
        writer.putBits(kAudioObjectTypeBits, kSbrObjectType);
        writer.putBits(1, 1);  // sbrPresentFlag
        writer.putBits(kSamplingFrequencyIndexBits, static_cast<uint32_t>(outputRateIndex));
        writer.putBits(kSyncExtensionTypeBits, kParametricStereoSyncType);
        writer.putBits(1, 0);  // psPresentFlag
    } else if (sampleRateTable[sampleRateIndex] <= kHighestRateForImplicitSbr) {
        writer.putBits(kSyncExtensionTypeBits, kSyncExtensionType);
        writer.putBits(kAudioObjectTypeBits, kSbrObjectType);  // extensionAudioObjectType
        writer.putBits(1, 0);                                  // sbrPresentFlag
    }
    writer.byteAlign();
}

// Moves every channel's history on by one frame and appends the element's channels of the new
// frame, de-interleaved from the frame's `stride` channels.
void shiftHistory(std::span<ChannelBuffer> buffers, const int32_t* inputChannel, const double* interleaved,
                  int stride) {
    // The usual layouts with a constant stride, which the compiler turns into vector copies:
    // mono, and a stereo pair taken from its two interleaved lanes in one pass.
    if (stride == 1 && buffers.size() == 1) {
        std::memcpy(buffers[0].advanceHistory(), interleaved, sizeof(double) * kFrameLength);
        return;
    }
    if (stride == 2 && buffers.size() == 2 && inputChannel[0] == 0 && inputChannel[1] == 1) {
        double* left = buffers[0].advanceHistory();
        double* right = buffers[1].advanceHistory();
        for (int j = 0; j < kFrameLength; ++j) {
            left[j] = interleaved[2 * j];
            right[j] = interleaved[2 * j + 1];
        }
        return;
    }
    for (size_t c = 0; c < buffers.size(); ++c) {
        double* newest = buffers[c].advanceHistory();
        const double* in = interleaved + inputChannel[c];
        for (int j = 0; j < kFrameLength; ++j) newest[j] = in[j * stride];
    }
}

// The low-frequency channel codes long blocks only.
void keepLongBlocks(IcsInfo& ics, int sampleRateIndex) {
    ics.windowSequence = ONLY_LONG_SEQUENCE;
    ics.nextWindowSequence = ONLY_LONG_SEQUENCE;
    ics.swbOffsets = swbOffsetLong[sampleRateIndex];
    ics.numSwb = numSwbLong[sampleRateIndex];
    ics.numWindowGroups = 1;
    ics.windowGroupLength[0] = 1;
    ics.tnsWanted = 0;
}

// The low-frequency channel's bands: those that start below kLowFrequencyCutoffHz.
void limitLowFrequencyBands(const IcsInfo& ics, ChannelCoding& coding, int32_t sampleRate) {
    int32_t bands = 0;
    while (bands < ics.numSwb && ics.swbOffsets[bands] * sampleRate < kLowFrequencyCutoffHz * 2 * kFrameLength) ++bands;
    coding.bandLimit = std::min(coding.bandLimit, bands);
}

// The option bits an element of `kind` codes with: the low-frequency element uses neither the
// perceptual mode, noise substitution nor temporal noise shaping.
int32_t elementOptions(ElementKind kind, int32_t options) {
    return kind == ElementKind::LowFrequency ? options & ~(kOptionPerceptual | kOptionPns | kOptionTns) : options;
}

void clearSideInfo(ElementInfo& element, int channels) {
    for (int c = 0; c < channels; ++c) {
        ChannelSideInfo& side = element.sideInfo[c];
        side.pulseDataPresent = 0;
        side.tnsDataPresent = 0;
        side.gainControlDataPresent = 0;
    }
    element.msUsed = 0;
}

// Window decisions of every channel, made equal for a pair, each fitting the block before.
void decideWindows(std::span<const ChannelBuffer> buffers, std::span<IcsInfo> ics,
                   std::span<TransientDetector> detectors, const BlockSwitchingContext& context) {
    int32_t previousSequence[kMaxChannels];
    for (size_t c = 0; c < ics.size(); ++c) {
        previousSequence[c] = ics[c].windowSequence;
        decideWindowSequence(buffers[c], ics[c], detectors[c], context);
    }
    if (ics.size() == 2) {
        synchroniseWindows(ics[0], ics[1]);
        for (size_t c = 0; c < 2; ++c) fitWindowSequence(ics[c], previousSequence[c], context.sampleRateIndex);
    }
}

// The stereo and temporal noise shaping decisions: which of the two tools run, in which order,
// and the bit share of channel 0 that goes with them (frame.channelShare).
void codeStereoAndTns(std::span<const IcsInfo> ics, std::span<const ChannelCoding> coding,
                      std::span<ChannelBuffer> buffers, ElementInfo& element, FrameState& frame,
                      int32_t sampleRateIndex) {
    const bool tnsOn = (frame.options & kOptionTns) != 0;
    const bool noise = (frame.options & kOptionPns) != 0;
    auto tns = [&] { runTns(ics, coding, buffers, element, noise, sampleRateIndex); };
    if (ics.size() == 1) {
        if (tnsOn) tns();
        frame.channelShare = 1.0;
        return;
    }
    // Without TNS, or without mid/side, the pair starts from an even share; otherwise a
    // short block's share blends the previous frame's into the decision's.
    const bool midSideOn = (frame.options & kOptionMidSide) != 0;
    if (!tnsOn || !midSideOn) frame.channelShare = 0.5;
    MidSideDecision decision{kMidSideUnused, 0.0};
    if (midSideOn)
        decision = decideMidSide(ics[0], coding[0].bandLimit, buffers[0].spectrum, buffers[1].spectrum,
                                 frame.channelShare);
    auto midSide = [&] {
        uint8_t keep[kMaxBandEntries];
        if (noise) noiseMismatch(coding[0], coding[1], ics[0], keep);
        applyMidSide(ics[0], midSideBandCount(ics[0], coding[0].bandLimit, frame.options), buffers[0].spectrum,
                     buffers[1].spectrum, decision.midShare, element, frame.channelShare, noise ? keep : nullptr);
    };
    const int r = decision.result;
    if (!tnsOn) {
        if (r > 0) midSide();
        return;
    }
    if (!midSideOn) {
        tns();
        return;
    }
    if (r == kMidSideSilent) return;
    if (r == kMidSideStrong && ics[0].tnsWanted == 0 && ics[1].tnsWanted == 0) {
        midSide();
        return;
    }
    tns();
    if (r > 0) midSide();
}

// Bits of the raw data block the encoder would write now, measured by writing it into a
// scratch buffer.
int measureBlockBits(std::span<const IcsInfo> ics, std::span<ChannelCoding> coding, const ElementInfo& element,
                     bool noise) {
    uint8_t scratch[frameBitCap(kMaxChannels) / 8 + 64];
    BitWriter measure;
    measure.setOutput(scratch, static_cast<int>(sizeof scratch));
    writeElement(measure, ics, coding, element, noise);
    writeEnd(measure);
    measure.byteAlign();
    return static_cast<int>(measure.bitCount());
}

// Turns bands that quantised to zero into noise bands, unless the noise energies would push
// the block (with `extraBits` outside the element) past the decoder's input buffer (rate
// control fitted the block without them); then
// the bands stay zero. Their bits are not spent here: they are outside the channels' counted
// bits, so spendOnSideInformation takes them from the reservoir with the rest of the block.
void substituteNoiseWithinBuffer(std::span<ChannelCoding> coding, std::span<const IcsInfo> ics,
                                 std::span<const ChannelBuffer> buffers, const ElementInfo& element, int extraBits) {
    CodingSnapshot saved[kMaxChannels];
    for (size_t c = 0; c < coding.size(); ++c) saved[c] = CodingSnapshot(coding[c]);
    if (substituteZeroBands(coding, ics, buffers, element.msUsed != 0 ? element.msMask : nullptr) == 0) return;
    if (measureBlockBits(ics, coding, element, true) + extraBits <= frameBitCap(static_cast<int>(coding.size())))
        return;
    for (size_t c = 0; c < coding.size(); ++c) saved[c].restore(coding[c]);
}

// The rate control counts only section, scalefactor and spectral bits; the rest of the block
// (element header, global_gain, ics_info, tool flags and their data, M/S mask, END and byte
// alignment) is spent from the reservoir once the block is written, so that every bit of the
// stream counts against the bit rate and the average rate holds.
void spendOnSideInformation(std::span<const ChannelCoding> coding, int blockBits, FrameState& frame) {
    int counted = 0;
    for (const ChannelCoding& c : coding) counted += c.usedBits;
    if (blockBits > counted) frame.bitReservoir.spend(blockBits - counted);
}

// With replication the core codes the lines below the crossover only: the lines above are
// cleared, so that no mode spends bits on what a decoder replaces, and the band limit ends there.
void clearAboveCrossover(std::span<ChannelBuffer> buffers, std::span<const IcsInfo> ics, int crossoverLine) {
    for (size_t c = 0; c < buffers.size(); ++c) {
        if (isShort(ics[c])) {
            const int line = crossoverLine / 8;
            for (int w = 0; w < 8; ++w)
                std::fill(buffers[c].spectrum + 128 * w + line, buffers[c].spectrum + 128 * (w + 1), 0.0);
        } else {
            std::fill(buffers[c].spectrum + crossoverLine, buffers[c].spectrum + kFrameLength, 0.0);
        }
    }
}

// The core's bandwidth is the crossover: the replication starts there whatever the rate, so a
// core narrower than that would leave a gap. Silent channels stay empty.
void bandwidthToCrossover(std::span<const IcsInfo> ics, std::span<ChannelCoding> coding, int crossoverLine) {
    for (size_t c = 0; c < ics.size(); ++c) {
        const int bands = bandsStartingBelow(ics[c], isShort(ics[c]) ? crossoverLine / 8 : crossoverLine);
        if (coding[c].bandLimit > 0) coding[c].bandLimit = bands;
        // No noise band above it either.
        coding[c].pnsBandLimit = std::min(coding[c].pnsBandLimit, bands);
        for (int g = 0; g < groupCount(ics[c]); ++g)
            for (int b = bands; b < ics[c].numSwb; ++b) coding[c].noiseFlag[g * ics[c].numSwb + b] = 0;
    }
}

// Adds the time since the last mark to one stage when timing is on.
class StageClock {
public:
    explicit StageClock(StageTimes* times) : times_(times) {
        if (times_) last_ = now();
    }
    void mark(double StageTimes::*stage) {
        if (!times_) return;
        const double t = now();
        times_->*stage += t - last_;
        last_ = t;
    }

private:
    double now() const {
        if (times_->clock) return times_->clock();
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    }

    StageTimes* times_;
    double last_ = 0;
};

}  // namespace

AacEncoder::AacEncoder() = default;
AacEncoder::~AacEncoder() = default;

int findSampleRateIndex(int32_t sampleRate) {
    for (int i = 0; i < kNumSampleRates; ++i)
        if (sampleRateTable[i] == sampleRate) return i;
    return -1;
}

void initChannelBuffer(ChannelBuffer& buffer) { std::memset(&buffer, 0, sizeof buffer); }

void initIcsInfo(IcsInfo& ics) {
    ics = IcsInfo{};
    ics.previousWindowShape = WindowShape::Sine;
    ics.windowShape = WindowShape::Sine;
    ics.windowSequence = ONLY_LONG_SEQUENCE;
    ics.nextWindowSequence = ONLY_LONG_SEQUENCE;
    ics.attackRatio = 0.0;
    ics.tnsWanted = 0;
    ics.numWindowGroups = 1;
    ics.windowGroupLength[0] = 1;
}

void initChannelCoding(ChannelCoding& coding) {
    std::memset(&coding, 0, sizeof coding);
    coding.targetBits = 0;
    coding.maxSfb = kInitialMaxSfb;
}

void initFrameState(FrameState& frame, int channels) {
    frame.bitReservoir = BitReservoir(frameBitCap(channels), frameBitCap(channels));
    frame.channelShare = channels == 1 ? 1.0 : 0.5;
    frame.options = 0;
}

int64_t maxTotalBitRate(int32_t sampleRate, int32_t channels) {
    return int64_t{kMaxBitsPerChannel / kFrameLength} * sampleRate * channels;
}

int32_t usableTotalBitRate(int64_t requested, int32_t sampleRate, int32_t channels) {
    return static_cast<int32_t>(std::min({requested, maxTotalBitRate(sampleRate, channels), int64_t{INT32_MAX}}));
}

namespace {

// An element's records, fresh: a full reservoir and the stream's option bits.
void openElement(ElementCoder& e, const ElementLayout& layout, uint8_t instanceTag, int32_t bitRatePerChannel,
                 int32_t options, int32_t vbrLevel) {
    e.kind = layout.kind;
    e.channels = layout.kind == ElementKind::Pair ? 2 : 1;
    e.inputChannel[0] = layout.input[0];
    e.inputChannel[1] = layout.input[1];
    e.bitRatePerChannel = bitRatePerChannel;
    e.channelBuffers.resize(e.channels);
    e.icsInfo.resize(e.channels);
    e.detectors.resize(e.channels);
    e.channelCoding.resize(e.channels);
    e.perceptualFrame = std::make_unique<PerceptualFrame>();
    for (int c = 0; c < e.channels; ++c) {
        initChannelBuffer(e.channelBuffers[c]);
        initIcsInfo(e.icsInfo[c]);
        initTransientDetector(e.detectors[c]);
        initChannelCoding(e.channelCoding[c]);
    }
    initFrameState(e.frame, e.channels);
    e.elementInfo = ElementInfo{};
    e.elementInfo.elementInstanceTag = instanceTag;
    e.elementInfo.lowFrequency = layout.kind == ElementKind::LowFrequency ? 1 : 0;
    e.frame.options = elementOptions(e.kind, options);
    e.perceptual.vbrLevel = e.kind == ElementKind::LowFrequency ? 0 : vbrLevel;
}

// The low-frequency channel's rate: kLowFrequencyBitRate, or an even share of the total when
// that is less.
int32_t lowFrequencyBitRate(int32_t totalBitRate, int32_t channels) {
    return std::min(kLowFrequencyBitRate, totalBitRate / channels);
}

}  // namespace

void shareReservoirs(std::span<ElementCoder> elements) {
    if (elements.size() < 2) return;
    assert(elements.size() <= static_cast<size_t>(kMaxElements));
    int64_t pool = 0, need = 0;
    for (const ElementCoder& e : elements) {
        pool += e.frame.bitReservoir.bits();
        need += std::max(e.lastBlockBits, 1);
    }
    // Water-filling: an element whose part would pass its capacity gets its capacity, and the
    // others share what is left, until every part fits.
    std::array<int32_t, kMaxElements> part;
    part.fill(-1);
    int64_t left = pool;
    for (bool capped = true; capped && left > 0;) {
        capped = false;
        for (size_t i = 0; i < elements.size(); ++i) {
            if (part[i] >= 0 || need <= 0) continue;
            const int64_t want = left * std::max(elements[i].lastBlockBits, 1) / need;
            const int32_t capacity = elements[i].frame.bitReservoir.capacity();
            if (want >= capacity) {
                part[i] = capacity;
                left -= capacity;
                need -= std::max(elements[i].lastBlockBits, 1);
                capped = true;
            }
        }
    }
    // The rest in proportion (an overdrawn pool shares its debt the same way); what the
    // division leaves goes to the first element still open, so that the sum stays the pool's.
    int64_t given = 0;
    size_t firstOpen = elements.size();
    for (size_t i = 0; i < elements.size(); ++i) {
        if (part[i] < 0) {
            part[i] = need > 0 ? static_cast<int32_t>(left * std::max(elements[i].lastBlockBits, 1) / need) : 0;
            firstOpen = std::min(firstOpen, i);
        }
        given += part[i];
    }
    if (firstOpen < elements.size()) part[firstOpen] += static_cast<int32_t>(pool - given);
    for (size_t i = 0; i < elements.size(); ++i)
        elements[i].frame.bitReservoir = BitReservoir(elements[i].frame.bitReservoir.capacity(), part[i]);
}


OpenStatus openEncoder(const EncoderConfig& config, std::unique_ptr<FrameSource> inputStream,
                       std::unique_ptr<AacEncoder>* out) {
    out->reset();
    if (!inputStream || config.totalBitRate <= 0 || config.vbrLevel < 0 || config.vbrLevel > kMaxVbrLevel)
        return OpenStatus::InvalidArgument;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    inputStream->getProperty(kPropertySampleRate, &sampleRate);
    inputStream->getProperty(kPropertyChannelsRead, &channels);
    const ChannelLayout* layout = channelLayoutFor(channels);
    if (!layout) return OpenStatus::InvalidChannels;
    const bool replicate = config.spectralBandReplication;
    int outputIndex = -1;
    if (replicate) {
        if (channels > 2) return OpenStatus::InvalidChannels;
        if (!sbrOutputRateSupported(sampleRate)) return OpenStatus::InvalidSampleRate;
        int32_t frameLength = 0;
        inputStream->getProperty(kPropertyFrameLengthRead, &frameLength);
        if (frameLength != kSbrFrameLength) return OpenStatus::InvalidArgument;
        outputIndex = findSampleRateIndex(sampleRate);
        sampleRate /= 2;
    }
    const int index = findSampleRateIndex(sampleRate);
    if (index < 0) return OpenStatus::InvalidSampleRate;
    if (inputStream->setProperty(kPropertyAllocate, 0) != 0) return OpenStatus::InvalidArgument;

    auto enc = std::make_unique<AacEncoder>();
    enc->sampleRate = sampleRate;
    enc->sampleRateIndex = index;
    enc->channels = channels;
    enc->bitRate = usableTotalBitRate(config.totalBitRate, sampleRate, channels);
    int32_t options = config.options;
    if (replicate && enc->bitRate <= int64_t{kSbrPerceptualCoreRate} * channels) options |= kOptionPerceptual;
    enc->optionBits = options;
    // The low-frequency channel takes a small fixed rate; the full-range channels share the rest.
    bool hasLowFrequency = false;
    for (int i = 0; i < layout->elementCount; ++i) hasLowFrequency |= layout->elements[i].kind == ElementKind::LowFrequency;
    const int32_t lowRate = hasLowFrequency ? lowFrequencyBitRate(enc->bitRate, channels) : 0;
    const int32_t fullRate = (enc->bitRate - lowRate) / (channels - (hasLowFrequency ? 1 : 0));
    enc->elements.resize(static_cast<size_t>(layout->elementCount));
    uint8_t nextTag[3] = {};
    for (int i = 0; i < layout->elementCount; ++i) {
        const ElementLayout& l = layout->elements[i];
        const uint8_t tag = channels <= 2 ? kElementInstanceTag : nextTag[static_cast<int>(l.kind)]++;
        openElement(enc->elements[i], l, tag, l.kind == ElementKind::LowFrequency ? lowRate : fullRate, options, 0);
    }
    enc->setVbrLevel(config.vbrLevel);
    if (replicate) {
        for (const ElementCoder& e : enc->elements) {
            ElementReplication& r = enc->sbr.emplace_back();
            r.encoder = std::make_unique<SbrElementEncoder>(2 * sampleRate, e.channels, e.bitRatePerChannel);
            r.fullRate = e.bitRatePerChannel;
        }
        enc->downsamplers.resize(static_cast<size_t>(channels));
        enc->coreFrame.resize(static_cast<size_t>(kFrameLength * channels));
        enc->channelInput.resize(static_cast<size_t>(kSbrLeadIn + kSbrFrameLength) * static_cast<size_t>(channels));
    }

    // The bit writer's buffer holds the largest block twice over, with room for the writer's last
    // partial word, so that a block past its limit is seen, not cut.
    enc->blockBuffer.resize(2 * (kMaxBlockBytes + 8));
    enc->bitWriter = std::make_unique<BitWriter>();
    enc->bitWriter->setOutput(enc->blockBuffer.data(), static_cast<int>(enc->blockBuffer.size()));
    writeAudioSpecificConfig(*enc->bitWriter, index, layout->configuration, outputIndex);
    int bits = 0;
    const uint8_t* asc = enc->bitWriter->takeOutput(&bits);
    assert(bits % 8 == 0 && bits / 8 <= kMaxAudioSpecificConfigBytes);
    enc->configBytes = bits / 8;
    std::memcpy(enc->config, asc, static_cast<size_t>(enc->configBytes));
    enc->inputStream = std::move(inputStream);
    *out = std::move(enc);
    return OpenStatus::Ok;
}

// Codes one element of the frame into the bit writer; the bits it wrote (with the END element
// and the byte alignment when it is the last) or -1 when they exceed its channels' buffers.
int AacEncoder::encodeElement(ElementCoder& e, const FrameView& view, bool last) {
    StageClock clock(stageTimes);
    const std::span<ChannelBuffer> buffers(e.channelBuffers);
    const std::span<IcsInfo> ics(e.icsInfo);
    const std::span<ChannelCoding> coding(e.channelCoding);
    const int32_t options = e.frame.options;
    const bool noise = (options & kOptionPns) != 0;
    const StreamRate rate{sampleRate, e.bitRatePerChannel};
    shiftHistory(buffers, e.inputChannel, view.samples, view.channels);
    clock.mark(&StageTimes::input);

    if (e.kind == ElementKind::LowFrequency)
        keepLongBlocks(ics[0], sampleRateIndex);
    else
        decideWindows(buffers, ics, e.detectors,
                      {sampleRateIndex, e.channels, e.frame.bitReservoir.bits(), (options & kOptionTns) != 0});
    clearSideInfo(e.elementInfo, e.channels);
    const size_t index = static_cast<size_t>(&e - elements.data());
    const ElementReplication* replication = sbr.empty() ? nullptr : &sbr[index];
    const int crossover = replication ? replication->encoder->crossoverLine() : 0;
    // The fill element with the replication data takes part of what the block may hold.
    const int fillBits = replication ? sbrFillElementBits(replication->payloadBits) : 0;
    for (int c = 0; c < e.channels; ++c)
        e.elementInfo.sideInfo[c].extraBits = static_cast<int16_t>((fillBits + e.channels - 1) / e.channels);
    const bool perceptualMode = (options & kOptionPerceptual) != 0;
    // The perceptual mode's model reads the time samples; its thresholds choose the window shapes.
    if (perceptualMode)
        for (int c = 0; c < e.channels; ++c)
            computeMaskingThresholds(std::span<const double>(buffers[c].timeSamples(), kHistoryLength), ics[c],
                                     sampleRate, e.maskingState[c], e.perceptualFrame->masking[c]);
    shapeAndTransformBlocks(buffers, ics,
                            perceptualMode ? std::span<const MaskingResult>(e.perceptualFrame->masking, e.channels)
                                           : std::span<const MaskingResult>());
    if (crossover > 0) clearAboveCrossover(buffers, ics, crossover);
    clock.mark(&StageTimes::analysis);

    if (perceptualMode) {
        PerceptualFrame& p = *e.perceptualFrame;
        // At a variable rate the tools take the level's nominal rate, the bits the ceiling's.
        StreamRate toolRate = rate;
        if (e.perceptual.vbrLevel > 0)
            toolRate.bitRatePerChannel = std::min(rate.bitRatePerChannel, kVbrNominalRate[e.perceptual.vbrLevel - 1]);
        choosePerceptualTools(buffers, ics, coding, e.elementInfo, options, toolRate, sampleRateIndex, e.perceptual,
                              p, crossover);
        if (crossover > 0) bandwidthToCrossover(ics, coding, crossover);
        clock.mark(&StageTimes::tools);
        const int32_t total = perceptualFrameTotal(ics, coding, e.elementInfo, rate, e.perceptual, e.frame, p);
        quantisePerceptualFrame(buffers, ics, coding, e.elementInfo, total, rate, e.perceptual, e.frame, p);
    } else {
        limitBandwidth(buffers, ics, coding, rate);
        if (e.kind == ElementKind::LowFrequency) limitLowFrequencyBands(ics[0], coding[0], sampleRate);
        if (crossover > 0) bandwidthToCrossover(ics, coding, crossover);
        if (noise) runNoiseSubstitution(coding, ics, buffers, sampleRate);
        codeStereoAndTns(ics, coding, buffers, e.elementInfo, e.frame, sampleRateIndex);
        clock.mark(&StageTimes::tools);
        allocateFrameBits(buffers, ics, coding, e.elementInfo, e.frame, rate);
        if (noise) substituteNoiseWithinBuffer(coding, ics, buffers, e.elementInfo, fillBits);
    }
    clock.mark(&StageTimes::search);

    const int64_t bitsBefore = bitWriter->bitCount();
    writeElement(*bitWriter, ics, coding, e.elementInfo, noise);
    if (replication) writeSbrFillElement(*bitWriter, replication->payload.data(), replication->payloadBits);
    if (last) {
        writeEnd(*bitWriter);
        bitWriter->byteAlign();
    }
    const int bits = static_cast<int>(bitWriter->bitCount() - bitsBefore);
    spendOnSideInformation(coding, bits, e.frame);
    clock.mark(&StageTimes::writing);
    return bits <= frameBitCap(e.channels) ? bits : -1;
}

FrameStatus AacEncoder::encodeFrame() {
    StageClock clock(stageTimes);
    FrameView view{};
    switch (inputStream->readFrame(&view)) {
    case ReadStatus::Frame: break;
    case ReadStatus::EndOfData: return FrameStatus::EndOfInput;
    case ReadStatus::ReadError:
    case ReadStatus::FrameHeld: return FrameStatus::ReadError;
    }
    if (!sbr.empty()) view = replicate(view);
    clock.mark(&StageTimes::input);
    bitWriter->setOutput(blockBuffer.data(), static_cast<int>(blockBuffer.size()));
    blockBits = 0;
    shareReservoirs(elements);
    // The fill elements' bits come out of each element's rate: its core is given the rest, and
    // its reservoir the running mean, from which the block's actual bits are spent.
    for (size_t i = 0; i < sbr.size(); ++i) {
        ElementReplication& r = sbr[i];
        const double bits = sbrFillElementBits(r.payloadBits);
        r.meanBits = frames == 0 ? bits : r.meanBits + (bits - r.meanBits) / 16.0;
        const int32_t perFrame = static_cast<int32_t>(r.meanBits);
        ElementCoder& e = elements[i];
        e.bitRatePerChannel = r.fullRate - static_cast<int32_t>(int64_t{perFrame} * sampleRate / kFrameLength / e.channels);
        e.frame.bitReservoir.charge(perFrame);
    }
    ++frames;
    bool fits = true;
    for (size_t i = 0; i < elements.size(); ++i) {
        const int written = encodeElement(elements[i], view, i + 1 == elements.size());
        fits &= written >= 0;
        elements[i].lastBlockBits = std::max(written, 0);
    }
    assert(fits);
    bitWriter->takeOutput(&blockBits);
    inputStream->releaseFrame();
    if (!fits || bitWriter->overflowed() || blockBits > frameBitCap(channels)) {
        blockBits = 0;
        return FrameStatus::Oversized;
    }
    return FrameStatus::Written;
}

FrameView AacEncoder::replicate(const FrameView& view) {
    const int n = channels;
    // Each channel's input runs kSbrLeadIn samples late: the last of them wait for the next frame.
    const size_t stride = kSbrLeadIn + kSbrFrameLength;
    for (int c = 0; c < n; ++c) {
        double* in = &channelInput[static_cast<size_t>(c) * stride];
        std::copy(in + kSbrFrameLength, in + stride, in);
        for (int j = 0; j < kSbrFrameLength; ++j) in[kSbrLeadIn + j] = view.samples[j * n + c];
        double half[kFrameLength];
        downsamplers[static_cast<size_t>(c)].process(in, kFrameLength, half);
        for (int j = 0; j < kFrameLength; ++j) coreFrame[static_cast<size_t>(j * n + c)] = half[j];
    }
    for (size_t i = 0; i < sbr.size(); ++i) {
        const ElementCoder& e = elements[i];
        const double* input[2] = {&channelInput[static_cast<size_t>(e.inputChannel[0]) * stride],
                                  &channelInput[static_cast<size_t>(e.inputChannel[e.channels - 1]) * stride]};
        ElementReplication& r = sbr[i];
        r.payloadBits = r.encoder->encodeFrame(input, r.payload.data(), static_cast<int>(r.payload.size()));
    }
    FrameView core = view;
    core.samples = coreFrame.data();
    core.sampleRate = sampleRate;
    core.valuesRead = view.valuesRead / 2;
    return core;
}

std::span<const uint8_t> AacEncoder::block() const {
    return {blockBuffer.data(), static_cast<size_t>(blockBits / 8)};
}

int AacEncoder::setOption(int id, int value) {
    if (id != kOptionBitsId) return -1;
    setOptionBits(value);
    return 0;
}

void AacEncoder::setOptionBits(int32_t options) {
    optionBits = options;
    for (ElementCoder& e : elements) e.frame.options = elementOptions(e.kind, options);
}

namespace {

int32_t optionBit(EncoderOption option) {
    switch (option) {
    case EncoderOption::Tns: return kOptionTns;
    case EncoderOption::NoiseSubstitution: return kOptionPns;
    case EncoderOption::MidSide: return kOptionMidSide;
    case EncoderOption::Perceptual: return kOptionPerceptual;
    }
    return 0;
}

}  // namespace

void AacEncoder::setOption(EncoderOption option, bool on) {
    const int32_t bit = optionBit(option);
    setOptionBits(on ? (optionBits | bit) : (optionBits & ~bit));
}

bool AacEncoder::hasOption(EncoderOption option) const { return (optionBits & optionBit(option)) != 0; }

bool AacEncoder::setVbrLevel(int32_t level) {
    if (level < 0 || level > kMaxVbrLevel) return false;
    vbr = level;
    for (ElementCoder& e : elements)
        if (e.kind != ElementKind::LowFrequency) e.perceptual.vbrLevel = level;
    if (level > 0) setOptionBits(optionBits | kOptionPerceptual);
    return true;
}

void AacEncoder::closeEncoder() {
    if (inputStream) inputStream->closeStream();
    inputStream.reset();
    bitWriter.reset();
}

}  // namespace varnel
