#include "encoder/aac_encoder.h"

#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>

#include "analysis/block_switching.h"
#include "analysis/filterbank.h"
#include "bitstream/bit_writer.h"
#include "bitstream/syntax_writer.h"
#include "coding/mid_side.h"
#include "coding/noise_substitution.h"
#include "coding/rate_control.h"
#include "coding/tns.h"
#include "encoder/band_tables.h"
#include "frontend/wav_input.h"

namespace varnel {
namespace {

// AudioSpecificConfig field widths (ISO/IEC 14496-3, 1.6.2.1 and GASpecificConfig).
constexpr int kAudioObjectTypeBits = 5;
constexpr int kSamplingFrequencyIndexBits = 4;
constexpr int kChannelConfigurationBits = 4;
constexpr uint32_t kAacLowComplexity = 2;
constexpr int kElementInstanceTag = 3;

// Backward-compatible explicit signalling that no SBR data follows (ISO/IEC 14496-3,
// 1.6.5.2): after the GASpecificConfig, syncExtensionType 0x2B7, extensionAudioObjectType 5
// (SBR) and sbrPresentFlag 0. Without it, a decoder that supports HE-AAC may assume implicit
// SBR at 24000 Hz and below and play the stream at twice its rate.
constexpr int kSyncExtensionTypeBits = 11;
constexpr uint32_t kSyncExtensionType = 0x2B7;
constexpr uint32_t kSbrObjectType = 5;
constexpr int kHighestRateForImplicitSbr = 24000;

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
void shiftHistory(AacEncoder& enc, const double* interleaved) {
    for (int c = 0; c < enc.channels; ++c) {
        double* history = enc.channelBuffers[c].timeSamples;
        std::memmove(history, history + kFrameLength, 2 * kFrameLength * sizeof(double));
        double* newest = history + 2 * kFrameLength;
        for (int j = 0; j < kFrameLength; ++j) newest[j] = interleaved[j * enc.channels + c];
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
}

// The stereo and temporal noise shaping decisions: which of the two tools run, in which order,
// and the bit share of channel 0 that goes with them.
void decideStereoAndTns(AacEncoder& enc) {
    const bool tnsOn = (enc.options & kOptionTns) != 0;
    enc.msMode = 0;
    enc.elementInfo.msUsed = 0;
    if (enc.channels == 1) {
        if (tnsOn) runTns(enc);
        enc.msMode = 0;
        enc.elementInfo.msUsed = 0;
        enc.channelShare = 1.0;
        return;
    }
    if (!tnsOn) {
        enc.channelShare = 0.5;
        if (enc.midSideEnabled && decideMidSide(enc) > 0) applyMidSide(enc);
        return;
    }
    if (!enc.midSideEnabled) {
        runTns(enc);
        enc.channelShare = 0.5;
        return;
    }
    const int r = decideMidSide(enc);
    if (r == 0) return;
    if (r == 1 && enc.icsInfo[0].tnsWanted == 0 && enc.icsInfo[1].tnsWanted == 0) {
        applyMidSide(enc);
        return;
    }
    runTns(enc);
    if (r == 1 || r == 2) applyMidSide(enc);
}

// Bits of the raw data block the encoder would write now, measured by writing it into a
// scratch buffer.
int measureBlockBits(AacEncoder& enc) {
    static thread_local uint8_t scratch[kMaxChannels * kMaxBitsPerChannel / 8 + 64];
    BitWriter measure;
    measure.setOutput(scratch, static_cast<int>(sizeof scratch));
    writeElement(enc, enc.channels != 1, measure);
    writeEnd(measure);
    measure.byteAlign();
    return static_cast<int>(measure.bitCount());
}

// Turns bands that quantised to zero into noise bands, unless the noise energies would push
// the block past the decoder's input buffer (rate control fitted the block without them); then
// the bands stay zero. Their bits are not charged here: they are outside the channels' counted
// bits, so chargeSideInformation takes them from the reservoir with the rest of the block.
void substituteNoiseWithinBuffer(AacEncoder& enc) {
    struct Saved {
        int32_t codebook[kMaxBandEntries];
        int32_t scaleOffset[kMaxBandEntries];
        uint8_t sectionLength[kMaxBandEntries];
    };
    Saved saved[kMaxChannels];
    for (int c = 0; c < enc.channels; ++c) {
        const ChannelCoding& cc = enc.channelCoding[c];
        std::memcpy(saved[c].codebook, cc.codebook, sizeof cc.codebook);
        std::memcpy(saved[c].scaleOffset, cc.scaleOffset, sizeof cc.scaleOffset);
        std::memcpy(saved[c].sectionLength, cc.sectionLength, sizeof cc.sectionLength);
    }
    if (substituteZeroBands(enc) == 0) return;
    if (measureBlockBits(enc) <= enc.channels * kMaxBitsPerChannel) return;
    for (int c = 0; c < enc.channels; ++c) {
        ChannelCoding& cc = enc.channelCoding[c];
        std::memcpy(cc.codebook, saved[c].codebook, sizeof cc.codebook);
        std::memcpy(cc.scaleOffset, saved[c].scaleOffset, sizeof cc.scaleOffset);
        std::memcpy(cc.sectionLength, saved[c].sectionLength, sizeof cc.sectionLength);
    }
}

// The rate control counts only section, scalefactor and spectral bits; the rest of the block
// (element header, global_gain, ics_info, tool flags and their data, M/S mask, END and byte
// alignment) is charged to the reservoir once the block is written, so that every bit of the
// stream counts against the bit rate and the average rate holds.
void chargeSideInformation(AacEncoder& enc, int blockBits) {
    int counted = 0;
    for (int c = 0; c < enc.channels; ++c) counted += enc.channelCoding[c].usedBits;
    if (blockBits > counted) enc.bitReservoir -= blockBits - counted;
}

// Adds the time since the last mark to one stage when timing is on.
class StageClock {
public:
    explicit StageClock(StageTimes* times) : times_(times) {
        if (times_) last_ = std::chrono::steady_clock::now();
    }
    void mark(double StageTimes::*stage) {
        if (!times_) return;
        const auto now = std::chrono::steady_clock::now();
        times_->*stage += std::chrono::duration<double>(now - last_).count();
        last_ = now;
    }

private:
    StageTimes* times_;
    std::chrono::steady_clock::time_point last_{};
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
    ics.previousWindowShape = 0;
    ics.windowShape = 0;
    ics.windowSequence = ONLY_LONG_SEQUENCE;
    ics.nextWindowSequence = ONLY_LONG_SEQUENCE;
    ics.blockEnergyMean = 0.5;
    ics.frameEnergyMean = 0.01;
    std::fill(std::begin(ics.bandPowerMean), std::end(ics.bandPowerMean), 10.0);
    ics.attackRatio = 0.0;
    ics.tnsWanted = 0;
    ics.weakAttackPending = 0;
    ics.attackStrength = 0;
    ics.zeroCrossingCount = 1;
    ics.crossingOnlyAttack = 0;
    ics.numWindowGroups = 1;
    ics.windowGroupLength[0] = 1;
}

void initChannelCoding(std::vector<ChannelCoding>& coding, AacEncoder& encoder) {
    encoder.bitReservoir = encoder.channels * kMaxBitsPerChannel;
    encoder.channelShare = encoder.channels == 1 ? 1.0 : 0.5;
    for (ChannelCoding& c : coding) {
        std::memset(&c, 0, sizeof c);
        c.targetBits = 0;
        c.maxSfb = 40;
    }
}

OpenStatus openEncoder(EncoderConfig& config, std::unique_ptr<BitWriter> bitWriter,
                       std::unique_ptr<InputStream> inputStream, std::unique_ptr<AacEncoder>* out) {
    out->reset();
    if (!bitWriter || !inputStream) return OpenStatus::InvalidArgument;
    int32_t sampleRate = 0;
    int32_t channels = 0;
    inputStream->getProperty(12, &sampleRate);
    inputStream->getProperty(11, &channels);
    config.channels = channels;
    if (channels < 1 || channels > kMaxChannels) return OpenStatus::InvalidChannels;
    const int index = findSampleRateIndex(sampleRate);
    if (index < 0) return OpenStatus::InvalidSampleRate;
    if (inputStream->setProperty(7, 0) != 0) return OpenStatus::InvalidArgument;

    auto enc = std::make_unique<AacEncoder>();
    enc->sampleRate = sampleRate;
    enc->sampleRateIndex = index;
    enc->channels = channels;
    enc->bitRatePerChannel = config.bitRatePerChannel;
    enc->channelBuffers.resize(channels);
    enc->icsInfo.resize(channels);
    enc->channelCoding.resize(channels);
    for (int c = 0; c < channels; ++c) {
        initChannelBuffer(enc->channelBuffers[c]);
        initIcsInfo(enc->icsInfo[c]);
    }
    initChannelCoding(enc->channelCoding, *enc);

    writeAudioSpecificConfig(*bitWriter, index, channels);
    enc->bitWriter = std::move(bitWriter);
    enc->inputStream = std::move(inputStream);
    *out = std::move(enc);
    return OpenStatus::Ok;
}

FrameStatus AacEncoder::encodeFrame() {
    StageClock clock(stageTimes);
    FrameView frame{};
    switch (inputStream->readFrame(&frame)) {
    case ReadStatus::Frame: break;
    case ReadStatus::EndOfData: return FrameStatus::EndOfInput;
    case ReadStatus::ReadError:
    case ReadStatus::FrameHeld: return FrameStatus::ReadError;
    }
    shiftHistory(*this, frame.samples);
    clock.mark(&StageTimes::input);

    int32_t previousSequence[kMaxChannels];
    for (int c = 0; c < channels; ++c) {
        previousSequence[c] = icsInfo[c].windowSequence;
        decideWindowSequence(channelBuffers[c], icsInfo[c], *this);
    }
    clearSideInfo(elementInfo, channels);
    if (channels == 2) {
        synchroniseWindows(icsInfo[0], icsInfo[1]);
        for (int c = 0; c < channels; ++c) fitWindowSequence(icsInfo[c], previousSequence[c], sampleRateIndex);
    }
    for (int c = 0; c < channels; ++c) analysisFilterbank(channelBuffers[c], icsInfo[c]);
    clock.mark(&StageTimes::analysis);

    limitBandwidth(*this);
    if (options & kOptionPns) runNoiseSubstitution(*this);
    decideStereoAndTns(*this);
    clock.mark(&StageTimes::tools);
    allocateFrameBits(*this);
    if (options & kOptionPns) substituteNoiseWithinBuffer(*this);
    clock.mark(&StageTimes::search);

    const int64_t bitsBefore = bitWriter->bitCount();
    writeElement(*this, channels != 1);
    writeEnd(*this);
    bitWriter->byteAlign();
    const int blockBits = static_cast<int>(bitWriter->bitCount() - bitsBefore);
    assert(blockBits <= channels * kMaxBitsPerChannel);
    chargeSideInformation(*this, blockBits);
    inputStream->releaseFrame();
    clock.mark(&StageTimes::writing);
    return FrameStatus::Written;
}

int AacEncoder::setOption(int id, int value) {
    if (id != 1) return -1;
    options = value;
    return 0;
}

void AacEncoder::closeEncoder() {
    if (inputStream) inputStream->closeStream();
    inputStream.reset();
    bitWriter.reset();
}

}  // namespace varnel
