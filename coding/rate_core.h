// What the rate control of both modes shares: the global-gain bounds, the bit count of one
// channel, the bound on the side information that count leaves out and the channel bit limit
// it sets, the coding of a silent channel, a snapshot of the coding arrays that a tool can undo,
// and GainTrial, one trial quantisation of a channel at a global gain, which the default
// mode's gain search and the perceptual mode's search extend with their own offsets and order
// of trials.
#pragma once

#include <climits>
#include <cstdint>
#include <span>

#include "coding/quantiser.h"
#include "records/channel_records.h"

namespace varnel {

// globalGain + 100 is the 8-bit global_gain.
inline constexpr int kMinGlobalGain = -100;
inline constexpr int kMaxGlobalGain = 155;

// Resets the codebooks, sections the current quantisation and counts section, spectral and
// scalefactor bits into usedBits, which it returns. `bandLargest` and `stopAbove` as for
// buildSections: a count above stopAbove may be a partial one (codebooks unfinished).
int countChannelBits(ChannelCoding& coding, const IcsInfo& ics, bool noiseSubstitution,
                     const int32_t* bandLargest = nullptr, int stopAbove = INT_MAX);

// A bound on the bits of a channel's share of the raw data block that the bit count does not
// include: element header, global_gain, ics_info, tool flags, TNS data, for a pair the
// common_window and M/S mask bits and the zero section that a raised common max_sfb adds, and
// END with byte alignment. TNS data is counted exactly from the channel's side information.
int channelSideInfoBits(const IcsInfo& ics, const ChannelSideInfo& side, int channels, bool midSideUsed);

// The largest count a channel may use: kMaxBitsPerChannel - channelSideInfoBits.
int channelBitLimit(const IcsInfo& ics, const ChannelSideInfo& side, int channels, bool midSideUsed);

// Codes a channel without spectral values: no bands (maxSfb 0), global gain 0, every codebook
// zero, one window group for a long block, usedBits 0. With `keepNoiseRange` the channel keeps
// the band range in which noise substitution may still fill its bands (the default mode
// substitutes after quantisation); without it that range is emptied too.
void codeSilentChannel(ChannelCoding& coding, IcsInfo& ics, bool keepNoiseRange);

// The codebooks, offsets and sections of a channel, saved before a tool changes them so that
// they can be put back when the change does not fit.
struct CodingSnapshot {
    CodingSnapshot() = default;
    explicit CodingSnapshot(const ChannelCoding& coding);
    void restore(ChannelCoding& coding) const;

    int32_t codebook[kMaxBandEntries];
    int32_t scaleOffset[kMaxBandEntries];
    uint8_t sectionLength[kMaxBandEntries];
};

// One channel's trial quantisations at a global gain: the bands below codedBands (pnsBandLimit
// with noise substitution, else bandLimit) are quantised with the offsets the caller put in
// scaleOffset, the scalefactor range is kept codable and the bits are counted. The searches
// that extend it decide the offsets and which gains to try.
struct GainTrial {
    // `limitEnergy`: no coded band may decode louder than its own energy (see quantiser.h).
    // `bandEnergy`: the band entries' energies when the caller has measured them.
    GainTrial(ChannelCoding& c, const IcsInfo& info, std::span<const double> lines, bool noiseSubstitution,
              bool limitEnergy, const double* bandEnergy = nullptr);

    // One trial at `gain` with the offsets now in coding.scaleOffset. A trial passed `stopAbove`
    // only needs to tell whether its count exceeds it: the count may then stop early with some
    // value above it, leaving codebooks and sections unfinished; the quantisation is always
    // complete.
    void trial(int gain, int stopAbove = INT_MAX);

    // The all-zero quantisation: the cheapest the channel can be coded with.
    void zero();

    // Bands outside the sectioned range do not enter the count and are not coded; their lines
    // are set to zero once, at the end, so that quantSpectrum holds no value of an earlier frame.
    void finishUnsectionedBands();

    // A search often ends one trial past the gain it returns and would repeat that gain's
    // trial. keep() saves what the last trial left (it must have counted in full), recall(gain)
    // restores it when it was that gain's, exactly as the repeated trial would leave it, and
    // forget() drops it when the offsets the trials start from change.
    void keep();
    bool recall(int gain);
    void forget() { kept.gain = INT_MIN; }

    ChannelCoding& coding;
    const IcsInfo& ics;
    std::span<const double> spectrum;
    bool noise;
    int codedBands;       // bands 0 .. codedBands - 1 of each group are sectioned
    int entries;          // numSwb * groups
    int lastGain = INT_MIN;  // gain of the quantisation now in quantSpectrum
    MagnitudePowers powers;
    uint8_t preserved[kMaxBandEntries];  // noise and intensity bands, which keep their values
    uint8_t nonZero[kMaxBandEntries];
    int32_t largest[kMaxBandEntries];    // largest quantised magnitude of each sectioned band

private:
    struct Kept {
        int gain = INT_MIN;
        int32_t usedBits;
        int32_t maxSfb;
        int32_t scaleOffset[kMaxBandEntries];
        int32_t codebook[kMaxBandEntries];
        uint8_t sectionLength[kMaxBandEntries];
        uint8_t nonZero[kMaxBandEntries];
        int32_t largest[kMaxBandEntries];
        int32_t quantSpectrum[kFrameLength];
    } kept;
};

}  // namespace varnel
