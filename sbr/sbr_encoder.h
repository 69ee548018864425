// The replication encoder of one element (a single channel or a channel pair): it analyses the
// input at the output rate in 64 subbands, finds transients, chooses each frame's time grid,
// measures the spectral envelope, the noise floor, the inverse filtering and the sinusoids
// that the copied low band lacks, and writes them as the element's replication data. The AAC
// core codes the input downsampled by two up to the crossover.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "sbr/sbr_bitstream.h"
#include "sbr/sbr_frequency_tables.h"

namespace varnel {

class QmfAnalysis;

// Output rates at which the encoder replicates the upper band (the core runs at half).
bool sbrOutputRateSupported(int32_t outputRate);

// The header the encoder sends at an output rate for a bit rate per channel: a crossover and
// a stop frequency that rise with the rate.
SbrHeader chooseSbrHeader(int32_t outputRate, int32_t bitRatePerChannel);

// Input samples per channel and frame at the output rate.
inline constexpr int kSbrFrameLength = 2048;
// Frames between two headers (the first frame always has one).
inline constexpr int kSbrHeaderInterval = 16;

class SbrElementEncoder {
public:
    // `channels` 1 or 2, at an output rate sbrOutputRateSupported accepts.
    SbrElementEncoder(int32_t outputRate, int channels, int32_t bitRatePerChannel);
    ~SbrElementEncoder();
    SbrElementEncoder(const SbrElementEncoder&) = delete;
    SbrElementEncoder& operator=(const SbrElementEncoder&) = delete;

    const SbrHeader& header() const { return header_; }
    const SbrFrequencyTables& tables() const { return tables_; }
    // The first line of a long block of the core (at half the rate) that the replication
    // rebuilds: the core codes the lines below it.
    int crossoverLine() const { return 32 * tables_.kx; }

    // Analyses the next frame of `channel`'s input, kSbrFrameLength samples at the output
    // rate (16-bit scale), for each channel of the element, then writes the replication data
    // of the frame the core codes now (two frames back) into `payload`; returns its bits.
    int encodeFrame(const double* const input[2], uint8_t* payload, int capacity);

    // What the last frame decided, for tests and benchmarks.
    const SbrFrame& lastFrame() const { return frame_; }

private:
    struct Channel;
    // What one channel's frame measures before quantisation: energies per envelope and band
    // (a decoder's scale), noise-floor levels per period and noise band, inverse filtering and
    // sinusoids.
    struct ChannelMeasure {
        double energy[kSbrMaxEnvelopes][kSbrMaxBands];
        double noise[2][kSbrMaxNoiseBands];
        int invf[kSbrMaxNoiseBands];
        bool addHarmonicFlag;
        uint8_t addHarmonic[kSbrMaxBands];
    };
    void analyse(Channel& ch, const double* input);
    SbrGrid chooseGrid(int64_t firstColumn) const;
    void measureChannel(Channel& ch, const SbrGrid& grid, int64_t firstColumn, ChannelMeasure& out);
    void quantise(const ChannelMeasure& m, SbrChannelData& d) const;
    void quantiseCoupled(const ChannelMeasure& left, const ChannelMeasure& right, SbrChannelData& l,
                         SbrChannelData& r) const;
    int trialBits(const SbrFrame& frame);
    SbrFrame buildFrame(const SbrGrid& grid, int64_t firstColumn, int* bits);

    int32_t outputRate_;
    int channels_;
    SbrHeader header_;
    SbrFrequencyTables tables_;
    std::vector<std::unique_ptr<Channel>> channelState_;
    SbrChannelMemory memory_[2];
    SbrFrame frame_;
    int64_t frames_ = 0;
    int sourceSubband_[64] = {};
    std::vector<uint8_t> scratch_;
};

}  // namespace varnel
