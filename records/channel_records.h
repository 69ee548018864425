// The records that the encoder's stages share: per-channel sample history and spectrum,
// window and band layout, the transient detectors' memory, quantisation and coding state, the
// element-level side information of one raw data block, and the frame-level state that
// carries from frame to frame.
//
// Per-band arrays are indexed group * numSwb + band (group 0 for long blocks). Spectral arrays
// hold window w of an eight-short block at lines 128 * w .. 128 * w + 127.
#pragma once

#include <cstdint>
#include <cstring>

#include "records/aac_syntax.h"

namespace varnel {

inline constexpr int kFrameLength = 1024;         // samples per channel per frame
inline constexpr int kShortWindowLength = 128;    // lines per short window
inline constexpr int kShortWindows = 8;           // windows in an EIGHT_SHORT_SEQUENCE
inline constexpr int kHistoryLength = 3 * kFrameLength;
inline constexpr int kMaxChannels = 2;  // channels of one element (a channel pair)
// Channels of a stream: up to seven full-range channels and the low-frequency channel.
inline constexpr int kMaxStreamChannels = 8;
inline constexpr int kMaxBitsPerChannel = 6144;   // decoder input buffer per channel, in bits
// The most bits a raw data block of `channels` channels may take: every channel's input buffer.
constexpr int32_t frameBitCap(int channels) { return channels * kMaxBitsPerChannel; }
inline constexpr int kMaxBandEntries = 120;       // group * numSwb + band never reaches this
inline constexpr int kMaxTnsFilterSlots = 32;     // per-window or per-filter TNS entries

// window_sequence values.
enum WindowSequence : int32_t {
    ONLY_LONG_SEQUENCE = 0,
    LONG_START_SEQUENCE = 1,
    EIGHT_SHORT_SEQUENCE = 2,
    LONG_STOP_SEQUENCE = 3,
};

// Codebook numbers that are not spectral Huffman books.
inline constexpr int ZERO_HCB = 0;
inline constexpr int ESC_HCB = 11;
inline constexpr int NOISE_HCB = 13;
inline constexpr int INTENSITY_HCB2 = 14;
inline constexpr int INTENSITY_HCB = 15;

// Frames the history store holds beyond the three it shows: the history moves back in memory
// once every kSpareHistoryFrames + 1 frames instead of every frame.
inline constexpr int kSpareHistoryFrames = 5;

struct ChannelBuffer {
    // Three frames of input as unscaled 16-bit sample values: [0, 1024) the oldest,
    // [1024, 2048) the middle, [2048, 3072) the newest (look-ahead) frame.
    double* timeSamples() { return historyStore + historyStart; }
    const double* timeSamples() const { return historyStore + historyStart; }

    // Moves the history on by one frame (the middle frame becomes the oldest) and returns where
    // the new newest frame goes.
    double* advanceHistory() {
        if (historyStart + kHistoryLength + kFrameLength <= kHistoryStoreLength) {
            historyStart += kFrameLength;
        } else {
            std::memmove(historyStore, timeSamples() + kFrameLength, 2 * kFrameLength * sizeof(double));
            historyStart = 0;
        }
        return timeSamples() + 2 * kFrameLength;
    }

    static constexpr int kHistoryStoreLength = kHistoryLength + kSpareHistoryFrames * kFrameLength;
    double historyStore[kHistoryStoreLength];
    int32_t historyStart;  // where timeSamples() begins in historyStore
    // The frame's MDCT coefficients.
    double spectrum[kFrameLength];
};

// window_shape: the shape of a block's falling half (and of the next block's rising half).
enum class WindowShape : int32_t { Sine = 0, Kbd = 1 };

struct IcsInfo {
    WindowShape previousWindowShape;  // the shape the block before fell with: this one rises with it
    WindowShape windowShape;
    int32_t windowSequence;           // window_sequence of the block transformed this frame
    int32_t nextWindowSequence;       // EIGHT_SHORT_SEQUENCE when a short block is pending
    const uint16_t* swbOffsets;       // band table row for the block length, numSwb + 1 entries
    uint16_t numSwb;
    int32_t groupMarks[kShortWindows];  // attack marks that group the next short block
    int32_t numWindowGroups;
    int32_t windowGroupLength[kShortWindows];
    // What the block-switching decision tells the later stages.
    double attackRatio;               // zero-crossing ratio when that detector fired, else 0
    int32_t tnsWanted;                // asks for temporal noise shaping before mid/side
};

// The transient detectors' memory of one channel, from frame to frame.
inline constexpr int kDetectorBands = 10;
struct TransientDetector {
    double blockEnergyMean;
    double frameEnergyMean;
    double bandPowerMean[kDetectorBands];
    int32_t nextGroupMarks[kShortWindows];  // attack marks found in the look-ahead
    int32_t weakAttackPending;
    uint8_t attackStrength;
    int32_t zeroCrossingCount;
    uint8_t crossingOnlyAttack;
};

inline bool isShort(const IcsInfo& ics) { return ics.windowSequence == EIGHT_SHORT_SEQUENCE; }
// Window groups of the block (one for long blocks) and the windows of group g.
inline int groupCount(const IcsInfo& ics) { return isShort(ics) ? ics.numWindowGroups : 1; }
inline int groupLength(const IcsInfo& ics, int g) { return isShort(ics) ? ics.windowGroupLength[g] : 1; }

struct ChannelCoding {
    int32_t globalGain;                      // written as global_gain = globalGain + 100
    int32_t scaleOffset[kMaxBandEntries];    // amplification offset; noise energy for noise bands
    int32_t targetBits;
    int32_t usedBits;                        // section + scalefactor + spectral bits counted
    int32_t quantSpectrum[kFrameLength];
    int32_t codebook[kMaxBandEntries];
    int32_t bandLimit;                       // bands inside the coded bandwidth
    int32_t maxSfb;
    int32_t pnsBandLimit;
    int32_t pnsStartBand;
    uint8_t sectionLength[kMaxBandEntries];  // stored at each section's first band
    uint8_t noiseFlag[kMaxBandEntries];
};

// Per-channel side information; TNS fields are per window for eight short windows and per
// filter for long blocks (whose filter count and coefficient resolution sit at index 0).
struct ChannelSideInfo {
    uint8_t pulseDataPresent;
    uint8_t tnsDataPresent;
    uint8_t tnsNumFilters[kShortWindows];
    uint8_t tnsCoefRes[kShortWindows];
    uint8_t tnsLength[kMaxTnsFilterSlots];
    uint8_t tnsOrder[kMaxTnsFilterSlots];
    uint8_t tnsDirection[kMaxTnsFilterSlots];
    uint8_t tnsCoefCompress[kMaxTnsFilterSlots];
    uint8_t tnsCoef[kShortWindows][kMaxTnsFilterSlots];
    uint8_t gainControlDataPresent;
    // Bits of the block outside the element that this channel answers for: its share of the
    // fill element with the element's replication data (HE-AAC); 0 otherwise.
    int16_t extraBits;
};

struct ElementInfo {
    uint8_t elementInstanceTag;
    uint8_t lowFrequency;                    // a single channel written as the LFE element
    ChannelSideInfo sideInfo[kMaxChannels];
    uint8_t msUsed;                          // written as ms_mask_present
    uint8_t msMask[kMaxBandEntries];
};

// The bit reservoir: bits that earlier frames left unspent, which later frames may take. It
// holds at most frameBitCap(channels), and may run below zero when the side information of a
// written block is charged after the frame. These operations are the only way it changes.
class BitReservoir {
public:
    BitReservoir() = default;
    // A reservoir of `capacity` bits holding `bits`.
    BitReservoir(int32_t capacity, int32_t bits) : bits_(bits), capacity_(capacity) {}

    int32_t bits() const { return bits_; }
    int32_t capacity() const { return capacity_; }
    // bits / capacity: 1 when full; below 0 when overdrawn.
    double fill() const { return static_cast<double>(bits_) / capacity_; }

    // Puts back bits a frame leaves unspent (a negative count takes them).
    void charge(int32_t n) { bits_ += n; }
    // Takes bits a frame spends beyond its mean, or that its block took beyond what was counted.
    void spend(int32_t n) { bits_ -= n; }
    // Keeps the reservoir within its capacity; returns the bits above it, which are taken out
    // (for the frame at hand to spend, or lost).
    int32_t cap() {
        const int32_t excess = bits_ > capacity_ ? bits_ - capacity_ : 0;
        bits_ -= excess;
        return excess;
    }

private:
    int32_t bits_ = 0;
    int32_t capacity_ = 0;
};

// Frame-level state of the encoder: what carries from one frame to the next and the switches
// that hold for the whole stream.
struct FrameState {
    BitReservoir bitReservoir;
    double channelShare;         // share of the frame's bits for channel 0
    int32_t options;             // kOptionTns, kOptionPns, kOptionPerceptual, kOptionMidSide
};

}  // namespace varnel
