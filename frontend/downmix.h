// Speaker positions of input channels, the downmix of more channels to stereo or mono, and the
// reordering of channels into the order the encoder takes them in.
//
// The stereo mix is the usual one: each left speaker goes to the left channel and each right
// speaker to the right, the front ones at full level and the centre, surround, back and top
// ones at -3 dB; a centre-line speaker other than the front centre (back or top centre) goes
// to both at -6 dB; the low-frequency channel is left out. The mono mix is the mean of the two
// stereo channels. The mix is not scaled down: where the sum exceeds the 16-bit range it is
// clipped to it, and the clipped samples are counted.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frontend/pcm_source.h"

namespace varnel {

// Speaker positions, in the bit order of a WAV file's channel mask (bit 0: front left).
enum class Speaker : uint8_t {
    FrontLeft, FrontRight, FrontCenter, LowFrequency, BackLeft, BackRight, FrontLeftOfCenter,
    FrontRightOfCenter, BackCenter, SideLeft, SideRight, TopCenter, TopFrontLeft, TopFrontCenter,
    TopFrontRight, TopBackLeft, TopBackCenter, TopBackRight,
};
inline constexpr int kSpeakerCount = 18;

// The speakers of `channels` channels without a stated layout: 1 centre; 2 L R; 3 L R C;
// 4 L R Ls Rs; 5 L R C Ls Rs; 6 L R C LFE Ls Rs; 7 L R C LFE Cs Ls Rs; 8 L R C LFE Lb Rb Ls
// Rs (surrounds as a WAV file places them: back for 4 to 6 channels, side beside a back pair).
// Empty for other counts.
std::vector<Speaker> defaultSpeakers(int channels);

// The speakers of a WAV channel mask, in channel order: the set bits from the lowest. Empty
// when the mask is 0 or names fewer speakers than there are channels (the rest would be
// unplaced).
std::vector<Speaker> speakersOfMask(uint32_t mask, int channels);

// The stereo (or, with `outChannels` 1, mono) mix of channels at these speakers: one row of
// input weights per output channel, laid out [out][in].
std::vector<double> downmixMatrix(const std::vector<Speaker>& speakers, int outChannels);

// The order the encoder takes channels at `speakers` in (3.0 L R C, 4.0 L R C Cb, 5.0 L R C Ls
// Rs, 5.1 L R C LFE Ls Rs, 7.1 L R C LFE Lb Rb Ls Rs; the surround pair of 5.0 and 5.1 may be
// the back or the side pair); empty when no channel configuration states that layout.
std::vector<Speaker> codedOrder(const std::vector<Speaker>& speakers);

// Short names of the speakers, "L R C LFE Ls Rs".
std::string speakerNames(const std::vector<Speaker>& speakers);

// The matrix that puts channels at `speakers` in the order of `order` (each speaker of the
// order once among them); empty when one is missing.
std::vector<double> reorderMatrix(const std::vector<Speaker>& speakers, const std::vector<Speaker>& order);

// A source whose channels are sums of `inner`'s weighted by a matrix ([out][in], rows of
// inner->channels() weights): a downmix, or a reordering of the channels.
class DownmixSource final : public PcmSource {
public:
    DownmixSource(std::unique_ptr<PcmSource> inner, std::vector<double> matrix, int outChannels);

    int32_t channels() const override { return outChannels_; }
    int32_t sampleRate() const override { return inner_->sampleRate(); }
    int64_t readPcm(double* out, int64_t frames) override;
    uint64_t expectedFrames() const override { return inner_->expectedFrames(); }
    uint64_t clippedSamples() const override { return inner_->clippedSamples() + clipped_; }
    std::string readFailure() const override { return inner_->readFailure(); }

private:
    std::unique_ptr<PcmSource> inner_;
    std::vector<double> matrix_;
    std::vector<double> buffer_;
    int32_t inChannels_;
    int32_t outChannels_;
    uint64_t clipped_ = 0;
};

}  // namespace varnel
