// The perceptual mode's coding steps (kOptionPerceptual), in the order the frame pipeline runs
// them after the model and the transform: the band choices and tools, the frame's bits, and the
// quantisation of every channel, in place of the default bandwidth, tools and rate control.
#pragma once

#include <cstdint>
#include <span>

#include "coding/perceptual_rate_control.h"
#include "coding/rate_control.h"
#include "records/channel_records.h"
#include "records/masking_records.h"

namespace varnel {

// What the steps hand on to each other within one frame.
struct PerceptualFrame {
    MaskingResult masking[kMaxChannels];  // the model's result, then as the tools leave it
    bool silent[kMaxChannels]{};          // the channel's spectrum was all zero before the tools
    double entropy[kMaxChannels]{};       // perceptual entropy of what each channel codes
    BandStats stats[kMaxChannels];        // the band measures of each spectrum as the tools leave it
};

// Per channel the coded bandwidth and the noise bands from the model's thresholds; with
// kOptionTns, TNS for the channels whose transient detector asks for it; for a pair with
// kOptionMidSide the per-band mid/side decision; the noise bands' energies. The bandwidth is the
// bit rate's widened by the state's extraCutoffHz; with replication (`crossoverLine` > 0) the
// caller sets it to the crossover afterwards, and the noise bands inside it follow that.
void choosePerceptualTools(std::span<ChannelBuffer> buffers, std::span<const IcsInfo> ics,
                           std::span<ChannelCoding> coding, ElementInfo& element, int32_t options,
                           const StreamRate& rate, int32_t sampleRateIndex, const PerceptualState& state,
                           PerceptualFrame& frame, int crossoverLine = 0);

// The frame's bits from its perceptual entropy through the reservoir (never more than it holds,
// and what it cannot hold spent).
int32_t perceptualFrameTotal(std::span<const IcsInfo> ics, std::span<const ChannelCoding> coding,
                             const ElementInfo& element, const StreamRate& rate, PerceptualState& state,
                             FrameState& frameState, PerceptualFrame& frame);

// Each channel's share of `total` by its entropy, and its quantisation to that share; then the
// next frame's bandwidth (adaptBandwidth).
void quantisePerceptualFrame(std::span<const ChannelBuffer> buffers, std::span<IcsInfo> ics,
                             std::span<ChannelCoding> coding, const ElementInfo& element, int32_t total,
                             const StreamRate& rate, PerceptualState& state, FrameState& frameState,
                             const PerceptualFrame& frame);

}  // namespace varnel
