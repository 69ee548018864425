#include "frontend/downmix.h"

#include <algorithm>
#include <cmath>

#include "encoder/sample_scale.h"

namespace varnel {
namespace {

using S = Speaker;

// -3 dB and -6 dB.
const double kMinus3dB = std::sqrt(0.5);
constexpr double kMinus6dB = 0.5;

// A speaker's weights in the left and right channels of the stereo mix.
struct StereoWeights {
    double left, right;
};

StereoWeights stereoWeights(Speaker s) {
    switch (s) {
    case S::FrontLeft:
    case S::FrontLeftOfCenter: return {1.0, 0.0};
    case S::FrontRight:
    case S::FrontRightOfCenter: return {0.0, 1.0};
    case S::FrontCenter: return {kMinus3dB, kMinus3dB};
    case S::LowFrequency: return {0.0, 0.0};
    case S::BackLeft:
    case S::SideLeft:
    case S::TopFrontLeft:
    case S::TopBackLeft: return {kMinus3dB, 0.0};
    case S::BackRight:
    case S::SideRight:
    case S::TopFrontRight:
    case S::TopBackRight: return {0.0, kMinus3dB};
    case S::BackCenter:
    case S::TopCenter:
    case S::TopFrontCenter:
    case S::TopBackCenter: return {kMinus6dB, kMinus6dB};
    }
    return {0.0, 0.0};
}

}  // namespace

std::vector<Speaker> defaultSpeakers(int channels) {
    switch (channels) {
    case 1: return {S::FrontCenter};
    case 2: return {S::FrontLeft, S::FrontRight};
    case 3: return {S::FrontLeft, S::FrontRight, S::FrontCenter};
    case 4: return {S::FrontLeft, S::FrontRight, S::BackLeft, S::BackRight};
    case 5: return {S::FrontLeft, S::FrontRight, S::FrontCenter, S::BackLeft, S::BackRight};
    case 6: return {S::FrontLeft, S::FrontRight, S::FrontCenter, S::LowFrequency, S::BackLeft, S::BackRight};
    case 7:
        return {S::FrontLeft, S::FrontRight, S::FrontCenter, S::LowFrequency, S::BackCenter, S::SideLeft, S::SideRight};
    case 8:
        return {S::FrontLeft, S::FrontRight, S::FrontCenter, S::LowFrequency,
                S::BackLeft,  S::BackRight,  S::SideLeft,    S::SideRight};
    default: return {};
    }
}

std::vector<Speaker> speakersOfMask(uint32_t mask, int channels) {
    std::vector<Speaker> speakers;
    for (int bit = 0; bit < kSpeakerCount && static_cast<int>(speakers.size()) < channels; ++bit)
        if (mask & (1u << bit)) speakers.push_back(static_cast<Speaker>(bit));
    if (static_cast<int>(speakers.size()) < channels) speakers.clear();
    return speakers;
}

std::vector<double> downmixMatrix(const std::vector<Speaker>& speakers, int outChannels) {
    const size_t n = speakers.size();
    std::vector<double> matrix(static_cast<size_t>(outChannels) * n);
    for (size_t i = 0; i < n; ++i) {
        const StereoWeights w = stereoWeights(speakers[i]);
        if (outChannels == 1) {
            matrix[i] = 0.5 * (w.left + w.right);
        } else {
            matrix[i] = w.left;
            matrix[n + i] = w.right;
        }
    }
    return matrix;
}

DownmixSource::DownmixSource(std::unique_ptr<PcmSource> inner, const std::vector<Speaker>& speakers, int outChannels)
    : inner_(std::move(inner)),
      matrix_(downmixMatrix(speakers, outChannels)),
      inChannels_(inner_->channels()),
      outChannels_(outChannels) {}

int64_t DownmixSource::readPcm(double* out, int64_t frames) {
    buffer_.resize(static_cast<size_t>(frames) * static_cast<size_t>(inChannels_));
    const int64_t got = inner_->readPcm(buffer_.data(), frames);
    for (int64_t f = 0; f < got; ++f) {
        const double* in = buffer_.data() + f * inChannels_;
        for (int32_t o = 0; o < outChannels_; ++o) {
            const double* row = matrix_.data() + o * inChannels_;
            double sum = 0.0;
            for (int32_t i = 0; i < inChannels_; ++i) sum += row[i] * in[i];
            const double clippedSum = std::clamp(sum, kMinSampleValue, kMaxSampleValue);
            clipped_ += clippedSum != sum;
            out[f * outChannels_ + o] = clippedSum;
        }
    }
    return got;
}

}  // namespace varnel
