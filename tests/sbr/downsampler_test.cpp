#include "sbr/downsampler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace varnel {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kSettled = 64;  // outputs after which the 127 taps see only the signal

// Decimates x (even length) with a fresh downsampler in one call.
std::vector<double> decimate(const std::vector<double>& x) {
    Downsampler downsampler;
    std::vector<double> y(x.size() / 2);
    downsampler.process(x.data(), int(y.size()), y.data());
    return y;
}

// Passband 0 .. 0.225 fs_in: every settled output equals the input sinusoid at time
// 2n - kDownsamplerDelay within the 0.01 dB ripple, which checks gain, linear phase and the
// stated delay together.
TEST(SbrDownsampler, PassbandFollowsInputDelayed) {
    const double tolerance = std::pow(10.0, 0.01 / 20) - 1;
    for (double f = 0.0; f <= 0.225 + 1e-9; f += 0.0025) {
        const double phase = 10 * f;
        std::vector<double> x(4000);
        for (size_t t = 0; t < x.size(); ++t) x[t] = std::cos(2 * kPi * f * t + phase);
        const std::vector<double> y = decimate(x);
        double worst = 0.0;
        for (int n = kSettled; n < int(y.size()); ++n)
            worst = std::max(worst, std::abs(y[n] - std::cos(2 * kPi * f * (2 * n - kDownsamplerDelay) + phase)));
        EXPECT_LT(worst, tolerance) << "frequency " << f << " fs_in";
    }
}

// Stopband from 0.275 fs_in: what would alias into the kept band stays 90 dB down.
TEST(SbrDownsampler, StopbandAttenuation) {
    const double limit = std::pow(10.0, -90.0 / 20);
    for (double f = 0.275; f < 0.5; f += 0.0025) {
        std::vector<double> x(4000);
        for (size_t t = 0; t < x.size(); ++t) x[t] = std::sin(2 * kPi * f * t + 1.0);
        const std::vector<double> y = decimate(x);
        double largest = 0.0;
        for (int n = kSettled; n < int(y.size()); ++n) largest = std::max(largest, std::abs(y[n]));
        EXPECT_LT(largest, limit) << "frequency " << f << " fs_in";
    }
}

// A pulse at an even input time t comes out through the centre tap alone, 1/2 at output
// (t + delay) / 2, and nothing comes out before the pulse went in.
TEST(SbrDownsampler, PulseAtItsDelay) {
    for (int t : {0, 2, 10, 62, 64, 100, 202}) {
        std::vector<double> x(2 * (t + 200), 0.0);
        x[t] = 1.0;
        const std::vector<double> y = decimate(x);
        const auto peak = std::max_element(y.begin(), y.end()) - y.begin();
        EXPECT_EQ(peak, (t + kDownsamplerDelay) / 2) << "pulse at " << t;
        EXPECT_EQ(y[peak], 0.5);
        for (int n = 0; 2 * n + 1 < t; ++n) EXPECT_EQ(y[n], 0.0) << "pulse at " << t << ", output " << n;
    }
}

// The history carries across calls: any split of the input gives the output of one call, bit
// for bit, and reset() brings back a fresh start.
TEST(SbrDownsampler, ChunkedEqualsOneCall) {
    std::mt19937 random(3);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> x(2 * 3000);
    for (double& v : x) v = uniform(random);
    const std::vector<double> whole = decimate(x);

    for (const std::vector<int>& sizes : {std::vector<int>{1}, {0, 3, 1, 64, 0, 7}, {127, 2, 500}, {1024}}) {
        Downsampler downsampler;
        std::vector<double> warmUp(200);
        downsampler.process(x.data() + 1000, 100, warmUp.data());
        downsampler.reset();
        std::vector<double> y(whole.size());
        for (int done = 0, i = 0; done < int(y.size()); ++i) {
            const int n = std::min(sizes[i % sizes.size()], int(y.size()) - done);
            downsampler.process(x.data() + 2 * done, n, y.data() + done);
            done += n;
        }
        EXPECT_EQ(y, whole) << "first chunk " << sizes[0] << " outputs";
    }
}

}  // namespace
}  // namespace varnel
