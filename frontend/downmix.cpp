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

std::vector<Speaker> codedOrder(const std::vector<Speaker>& speakers) {
    static const std::vector<Speaker> kOrders[] = {
        {S::FrontLeft, S::FrontRight, S::FrontCenter},
        {S::FrontLeft, S::FrontRight, S::FrontCenter, S::BackCenter},
        {S::FrontLeft, S::FrontRight, S::FrontCenter, S::BackLeft, S::BackRight},
        {S::FrontLeft, S::FrontRight, S::FrontCenter, S::SideLeft, S::SideRight},
        {S::FrontLeft, S::FrontRight, S::FrontCenter, S::LowFrequency, S::BackLeft, S::BackRight},
        {S::FrontLeft, S::FrontRight, S::FrontCenter, S::LowFrequency, S::SideLeft, S::SideRight},
        {S::FrontLeft, S::FrontRight, S::FrontCenter, S::LowFrequency, S::BackLeft, S::BackRight, S::SideLeft,
         S::SideRight},
    };
    for (const std::vector<Speaker>& order : kOrders)
        if (order.size() == speakers.size() && std::is_permutation(order.begin(), order.end(), speakers.begin()))
            return order;
    return {};
}

std::string speakerNames(const std::vector<Speaker>& speakers) {
    static constexpr const char* kNames[kSpeakerCount] = {"L",  "R",  "C",   "LFE", "Lb",  "Rb",  "Lc",  "Rc",  "Cb",
                                                          "Ls", "Rs", "Tc",  "Tfl", "Tfc", "Tfr", "Tbl", "Tbc", "Tbr"};
    std::string names;
    for (Speaker s : speakers) {
        if (!names.empty()) names += ' ';
        names += kNames[static_cast<int>(s)];
    }
    return names;
}

std::vector<double> reorderMatrix(const std::vector<Speaker>& speakers, const std::vector<Speaker>& order) {
    const size_t n = speakers.size();
    std::vector<double> matrix(order.size() * n);
    for (size_t o = 0; o < order.size(); ++o) {
        const auto found = std::find(speakers.begin(), speakers.end(), order[o]);
        if (found == speakers.end()) return {};
        matrix[o * n + static_cast<size_t>(found - speakers.begin())] = 1.0;
    }
    return matrix;
}

DownmixSource::DownmixSource(std::unique_ptr<PcmSource> inner, std::vector<double> matrix, int outChannels)
    : inner_(std::move(inner)),
      matrix_(std::move(matrix)),
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
