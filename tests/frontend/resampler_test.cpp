#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "frontend/resampler.h"

namespace varnel {
namespace {

// An exponential sine sweep from f0 to f1 Hz over `seconds`, the same continuous signal at any
// rate: what a perfect converter turns one rate's samples into at the other.
struct Sweep {
    double f0, f1, seconds, amplitude = 16000.0;
    double at(double t) const {
        const double k = std::log(f1 / f0) / seconds;
        return amplitude * std::sin(2 * std::numbers::pi * f0 * (std::exp(k * t) - 1) / k);
    }
};

class MemoryPcm final : public PcmSource {
public:
    MemoryPcm(std::vector<double> samples, int32_t rate) : samples_(std::move(samples)), rate_(rate) {}
    int32_t channels() const override { return 1; }
    int32_t sampleRate() const override { return rate_; }
    int64_t readPcm(double* out, int64_t frames) override {
        // Odd-sized pieces, as a file reader's may be.
        const int64_t n = std::min<int64_t>({frames, 1000, static_cast<int64_t>(samples_.size()) - pos_});
        std::copy_n(samples_.begin() + pos_, n, out);
        pos_ += n;
        return n;
    }
    uint64_t expectedFrames() const override { return samples_.size(); }
    uint64_t clippedSamples() const override { return 0; }

private:
    std::vector<double> samples_;
    int32_t rate_;
    int64_t pos_ = 0;
};

struct Conversion {
    int32_t in, out;
    double top;  // the sweep's top frequency, inside the passband of the lower rate
};

class Resampling : public testing::TestWithParam<Conversion> {};

// The converted sweep holds exactly the converted length, starts with the input's first sample
// and, away from its two ends, differs from the sweep sampled at the new rate by at least 90 dB
// less than the sweep's power.
TEST_P(Resampling, SweepErrorIsNinetyDecibelsDown) {
    std::string why;
    if (!soxrAvailable(&why)) GTEST_SKIP() << why;
    const Conversion c = GetParam();
    const Sweep sweep{20.0, c.top, 2.0};
    const auto n = static_cast<size_t>(sweep.seconds * c.in) + 123;
    std::vector<double> input(n);
    for (size_t i = 0; i < n; ++i) input[i] = sweep.at(static_cast<double>(i) / c.in);
    std::unique_ptr<PcmSource> source = std::make_unique<MemoryPcm>(input, c.in);
    auto converter = ResampledSource::create(source, c.out, &why);
    ASSERT_TRUE(converter) << why;
    EXPECT_EQ(converter->expectedFrames(), convertedLength(n, c.in, c.out));

    std::vector<double> output;
    std::vector<double> piece(777);
    for (int64_t got; (got = converter->readPcm(piece.data(), 777)) > 0;) output.insert(output.end(), piece.begin(), piece.begin() + got);
    ASSERT_EQ(output.size(), convertedLength(n, c.in, c.out));

    double signal = 0.0, error = 0.0;
    const size_t edge = static_cast<size_t>(c.out / 20);  // 50 ms at each end
    for (size_t i = edge; i + edge < output.size(); ++i) {
        const double expected = sweep.at(static_cast<double>(i) / c.out);
        signal += expected * expected;
        error += (output[i] - expected) * (output[i] - expected);
    }
    EXPECT_LT(10 * std::log10(error / signal), -90.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, Resampling,
                         testing::Values(Conversion{192000, 48000, 20000.0}, Conversion{176400, 48000, 20000.0},
                                         Conversion{11000, 11025, 4500.0}, Conversion{44100, 32000, 13500.0}),
                         [](const testing::TestParamInfo<Conversion>& p) {
                             return std::to_string(p.param.in) + "To" + std::to_string(p.param.out);
                         });

}  // namespace
}  // namespace varnel
