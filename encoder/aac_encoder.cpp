#include "encoder/aac_encoder.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>
#include <span>

#include "analysis/block_switching.h"
#include "analysis/window_shape.h"
#include "bitstream/syntax_writer.h"
#include "coding/mid_side.h"
#include "coding/noise_substitution.h"
#include "coding/rate_control.h"
#include "coding/tns.h"
#include "records/band_tables.h"
#include "encoder/perceptual_frame.h"

namespace varnel {
namespace {

// max_sfb a channel starts with, before its first block is coded (any value up to the band
// count serves: rate control sets it for every coded block).
constexpr int32_t kInitialMaxSfb = 40;

void writeAudioSpecificConfig(BitWriter& writer, int sampleRateIndex, int channels) {
    writer.putBits(kAudioObjectTypeBits, kAacLowComplexity);
    writer.putBits(kSamplingFrequencyIndexBits, static_cast<uint32_t>(sampleRateIndex));
    writer.putBits(kChannelConfigurationBits, static_cast<uint32_t>(channels));
    writer.putBits(1, 0);  // frameLengthFlag: 1024-sample frames
    writer.putBits(1, 0);  // dependsOnCoreCoder
    writer.putBits(1, 0);  // extensionFlag
    if (sampleRateTable[sampleRateIndex] <= kHighestRateForImplicitSbr) {
        writer.putBits(kSyncExtensionTypeBits, kSyncExtensionType);
        writer.putBits(kAudioObjectTypeBits, kSbrObjectType);  // extensionAudioObjectType
        writer.putBits(1, 0);                                  // sbrPresentFlag
    }
    writer.byteAlign();
}

// Moves every channel's history on by one frame and appends the new, de-interleaved frame.
void shiftHistory(std::span<ChannelBuffer> buffers, const double* interleaved) {
    const int channels = static_cast<int>(buffers.size());
    for (int c = 0; c < channels; ++c) {
        double* newest = buffers[c].advanceHistory();
        for (int j = 0; j < kFrameLength; ++j) newest[j] = interleaved[j * channels + c];
    }
}

void clearSideInfo(ElementInfo& element, int channels) {
    for (int c = 0; c < channels; ++c) {
        ChannelSideInfo& side = element.sideInfo[c];
        side.pulseDataPresent = 0;
        side.tnsDataPresent = 0;
        side.gainControlDataPresent = 0;
    }
    element.elementInstanceTag = kElementInstanceTag;
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
// the block past the decoder's input buffer (rate control fitted the block without them); then
// the bands stay zero. Their bits are not spent here: they are outside the channels' counted
// bits, so spendOnSideInformation takes them from the reservoir with the rest of the block.
void substituteNoiseWithinBuffer(std::span<ChannelCoding> coding, std::span<const IcsInfo> ics,
                                 std::span<const ChannelBuffer> buffers, const ElementInfo& element) {
    CodingSnapshot saved[kMaxChannels];
    for (size_t c = 0; c < coding.size(); ++c) saved[c] = CodingSnapshot(coding[c]);
    if (substituteZeroBands(coding, ics, buffers, element.msUsed != 0 ? element.msMask : nullptr) == 0) return;
    if (measureBlockBits(ics, coding, element, true) <= frameBitCap(static_cast<int>(coding.size()))) return;
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

OpenStatus openEncoder(const EncoderConfig& config, std::unique_ptr<FrameSource> inputStream,
                       std::unique_ptr<AacEncoder>* out) {
    out->reset();
    if (!inputStream || config.totalBitRate <= 0 || config.vbrLevel < 0 || config.vbrLevel > kMaxVbrLevel)
        return OpenStatus::InvalidArgument;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    inputStream->getProperty(kPropertySampleRate, &sampleRate);
    inputStream->getProperty(kPropertyChannelsRead, &channels);
    if (channels < 1 || channels > kMaxChannels) return OpenStatus::InvalidChannels;
    const int index = findSampleRateIndex(sampleRate);
    if (index < 0) return OpenStatus::InvalidSampleRate;
    if (inputStream->setProperty(kPropertyAllocate, 0) != 0) return OpenStatus::InvalidArgument;

    auto enc = std::make_unique<AacEncoder>();
    enc->sampleRate = sampleRate;
    enc->sampleRateIndex = index;
    enc->channels = channels;
    enc->bitRatePerChannel = usableTotalBitRate(config.totalBitRate, sampleRate, channels) / channels;
    enc->channelBuffers.resize(channels);
    enc->icsInfo.resize(channels);
    enc->detectors.resize(channels);
    enc->channelCoding.resize(channels);
    enc->perceptualFrame = std::make_unique<PerceptualFrame>();
    for (int c = 0; c < channels; ++c) {
        initChannelBuffer(enc->channelBuffers[c]);
        initIcsInfo(enc->icsInfo[c]);
        initTransientDetector(enc->detectors[c]);
        initChannelCoding(enc->channelCoding[c]);
    }
    initFrameState(enc->frame, channels);
    enc->frame.options = config.options;
    enc->setVbrLevel(config.vbrLevel);

    // The bit writer's buffer holds the largest block twice over, with room for the writer's last
    // partial word, so that a block past its limit is seen, not cut.
    enc->blockBuffer.resize(2 * (kMaxBlockBytes + 8));
    enc->bitWriter = std::make_unique<BitWriter>();
    enc->bitWriter->setOutput(enc->blockBuffer.data(), static_cast<int>(enc->blockBuffer.size()));
    writeAudioSpecificConfig(*enc->bitWriter, index, channels);
    int bits = 0;
    const uint8_t* asc = enc->bitWriter->takeOutput(&bits);
    assert(bits % 8 == 0 && bits / 8 <= kMaxAudioSpecificConfigBytes);
    enc->configBytes = bits / 8;
    std::memcpy(enc->config, asc, static_cast<size_t>(enc->configBytes));
    enc->inputStream = std::move(inputStream);
    *out = std::move(enc);
    return OpenStatus::Ok;
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
    const std::span<ChannelBuffer> buffers(channelBuffers);
    const std::span<IcsInfo> ics(icsInfo);
    const std::span<ChannelCoding> coding(channelCoding);
    const bool noise = (frame.options & kOptionPns) != 0;
    const StreamRate rate{sampleRate, bitRatePerChannel};
    bitWriter->setOutput(blockBuffer.data(), static_cast<int>(blockBuffer.size()));
    blockBits = 0;
    shiftHistory(buffers, view.samples);
    clock.mark(&StageTimes::input);

    decideWindows(buffers, ics, detectors,
                  {sampleRateIndex, channels, frame.bitReservoir.bits(), (frame.options & kOptionTns) != 0});
    clearSideInfo(elementInfo, channels);
    const bool perceptualMode = (frame.options & kOptionPerceptual) != 0;
    // The perceptual mode's model reads the time samples; its thresholds choose the window shapes.
    if (perceptualMode)
        for (int c = 0; c < channels; ++c)
            computeMaskingThresholds(std::span<const double>(buffers[c].timeSamples(), kHistoryLength), ics[c],
                                     sampleRate, maskingState[c], perceptualFrame->masking[c]);
    shapeAndTransformBlocks(buffers, ics,
                            perceptualMode ? std::span<const MaskingResult>(perceptualFrame->masking, channels)
                                           : std::span<const MaskingResult>());
    clock.mark(&StageTimes::analysis);

    if (perceptualMode) {
        PerceptualFrame& p = *perceptualFrame;
        // At a variable rate the tools take the level's nominal rate, the bits the ceiling's.
        StreamRate toolRate = rate;
        if (perceptual.vbrLevel > 0)
            toolRate.bitRatePerChannel = std::min(rate.bitRatePerChannel, kVbrNominalRate[perceptual.vbrLevel - 1]);
        choosePerceptualTools(buffers, ics, coding, elementInfo, frame.options, toolRate, sampleRateIndex, perceptual,
                              p);
        clock.mark(&StageTimes::tools);
        const int32_t total = perceptualFrameTotal(ics, coding, elementInfo, rate, perceptual, frame, p);
        quantisePerceptualFrame(buffers, ics, coding, elementInfo, total, rate, perceptual, frame, p);
    } else {
        limitBandwidth(buffers, ics, coding, rate);
        if (noise) runNoiseSubstitution(coding, ics, buffers, sampleRate);
        codeStereoAndTns(ics, coding, buffers, elementInfo, frame, sampleRateIndex);
        clock.mark(&StageTimes::tools);
        allocateFrameBits(buffers, ics, coding, elementInfo, frame, rate);
        if (noise) substituteNoiseWithinBuffer(coding, ics, buffers, elementInfo);
    }
    clock.mark(&StageTimes::search);

    const int64_t bitsBefore = bitWriter->bitCount();
    writeElement(*bitWriter, ics, coding, elementInfo, noise);
    writeEnd(*bitWriter);
    bitWriter->byteAlign();
    const int bits = static_cast<int>(bitWriter->bitCount() - bitsBefore);
    assert(bits <= frameBitCap(channels));
    spendOnSideInformation(coding, bits, frame);
    bitWriter->takeOutput(&blockBits);
    inputStream->releaseFrame();
    clock.mark(&StageTimes::writing);
    if (bitWriter->overflowed() || blockBits != bits || bits > frameBitCap(channels)) {
        blockBits = 0;
        return FrameStatus::Oversized;
    }
    return FrameStatus::Written;
}

std::span<const uint8_t> AacEncoder::block() const {
    return {blockBuffer.data(), static_cast<size_t>(blockBits / 8)};
}

int AacEncoder::setOption(int id, int value) {
    if (id != kOptionBitsId) return -1;
    frame.options = value;
    return 0;
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
    frame.options = on ? (frame.options | bit) : (frame.options & ~bit);
}

bool AacEncoder::hasOption(EncoderOption option) const { return (frame.options & optionBit(option)) != 0; }

bool AacEncoder::setVbrLevel(int32_t level) {
    if (level < 0 || level > kMaxVbrLevel) return false;
    perceptual.vbrLevel = level;
    if (level > 0) frame.options |= kOptionPerceptual;
    return true;
}

void AacEncoder::closeEncoder() {
    if (inputStream) inputStream->closeStream();
    inputStream.reset();
    bitWriter.reset();
}

}  // namespace varnel
