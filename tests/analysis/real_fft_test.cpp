#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "analysis/real_fft.h"

namespace varnel {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Fft {
    explicit Fft(int length) : n(length), ip(2 + 64, 0), w(length / 2) {}
    std::vector<double> run(std::vector<double> a) {
        realFft(n, 1, a.data(), ip.data(), w.data());
        return a;
    }
    int n;
    std::vector<int32_t> ip;
    std::vector<double> w;
};

// The transform's definition, summed directly.
std::vector<double> referenceTransform(const std::vector<double>& x) {
    const int n = static_cast<int>(x.size());
    std::vector<double> a(n, 0.0);
    for (int j = 0; j < n; ++j) {
        a[0] += x[j];
        a[1] += (j % 2 ? -1.0 : 1.0) * x[j];
    }
    for (int k = 1; k < n / 2; ++k)
        for (int j = 0; j < n; ++j) {
            a[2 * k] += x[j] * std::cos(2 * kPi * j * k / n);
            a[2 * k + 1] += x[j] * std::sin(2 * kPi * j * k / n);
        }
    return a;
}

std::vector<double> noise(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x(n);
    for (double& v : x) v = u(rng);
    return x;
}

TEST(RealFft, ImpulseConstantCosineAndSine) {
    Fft fft(256);
    std::vector<double> impulse(256, 0.0);
    impulse[0] = 1.0;
    const auto a = fft.run(impulse);
    for (int i = 0; i < 256; ++i) EXPECT_NEAR(a[i], i < 2 || i % 2 == 0 ? 1.0 : 0.0, 1e-12) << i;

    const auto c = fft.run(std::vector<double>(256, 0.75));
    EXPECT_NEAR(c[0], 192.0, 1e-12);
    for (int i = 1; i < 256; ++i) EXPECT_NEAR(c[i], 0.0, 1e-12) << i;

    std::vector<double> cosine(256), sine(256);
    for (int j = 0; j < 256; ++j) {
        cosine[j] = std::cos(2 * kPi * 5 * j / 256);
        sine[j] = std::sin(2 * kPi * 5 * j / 256);
    }
    const auto ac = fft.run(cosine);
    const auto as = fft.run(sine);
    for (int i = 0; i < 256; ++i) {
        EXPECT_NEAR(ac[i], i == 10 ? 128.0 : 0.0, 1e-11) << i;
        EXPECT_NEAR(as[i], i == 11 ? 128.0 : 0.0, 1e-11) << i;  // positive sine kernel
    }
}

TEST(RealFft, MatchesTheDirectSumForEveryLength) {
    for (int n : {4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048}) {
        const auto x = noise(n, static_cast<unsigned>(n));
        Fft fft(n);
        const auto fast = fft.run(x);
        const auto ref = referenceTransform(x);
        double scale = 0.0;
        for (double v : ref) scale = std::max(scale, std::fabs(v));
        for (int i = 0; i < n; ++i) ASSERT_NEAR(fast[i], ref[i], 1e-12 * scale) << "n=" << n << " i=" << i;
    }
}

TEST(RealFft, TablesAreBuiltOnceInTheirLayoutAndReused) {
    const auto x = noise(256, 3);
    Fft fft(256);
    const auto first = fft.run(x);
    EXPECT_EQ(fft.ip[0], 64);
    EXPECT_EQ(fft.ip[1], 64);
    const auto reused = fft.run(x);
    fft.ip[0] = 0;  // forces a rebuild
    const auto rebuilt = fft.run(x);
    EXPECT_EQ(first, reused);
    EXPECT_EQ(first, rebuilt);

    // The layout callers may share: twiddles at w[0..63], cosines c = w + 64.
    const double d = kPi / 128;  // (pi/4) / (nw/2)
    EXPECT_DOUBLE_EQ(fft.w[1], std::cos(kPi / 4));
    EXPECT_DOUBLE_EQ(fft.w[2], 0.5 / std::cos(2 * d));
    EXPECT_DOUBLE_EQ(fft.w[3], 0.5 / std::cos(6 * d));
    EXPECT_DOUBLE_EQ(fft.w[8], std::cos(8 * d));
    EXPECT_DOUBLE_EQ(fft.w[11], std::sin(24 * d));
    EXPECT_DOUBLE_EQ(fft.w[34], 0.5 / fft.w[4]);  // first sub-table, behind the base at 32
    EXPECT_DOUBLE_EQ(fft.w[36], fft.w[8]);
    const double* c = fft.w.data() + 64;
    EXPECT_DOUBLE_EQ(c[0], std::cos(kPi / 4));
    EXPECT_DOUBLE_EQ(c[32], 0.5 * c[0]);
    EXPECT_DOUBLE_EQ(c[5], 0.5 * std::cos(5 * d));
    EXPECT_DOUBLE_EQ(c[59], 0.5 * std::sin(5 * d));

    // Tables built for a longer transform serve a shorter one.
    Fft big(1024);
    big.run(std::vector<double>(1024, 0.0));
    std::vector<double> small(x.begin(), x.begin() + 64);
    const auto ref = referenceTransform(small);
    realFft(64, 1, small.data(), big.ip.data(), big.w.data());
    for (int i = 0; i < 64; ++i) EXPECT_NEAR(small[i], ref[i], 1e-12 * 64);
}

TEST(RealFft, PlansEqualRealFftBitForBit) {
    for (const int n : {256, 2048}) {
        const RealFftPlan plan(n);
        Fft fft(n);
        for (unsigned seed = 0; seed < 8; ++seed) {
            auto x = noise(n, 100 + seed);
            for (double& v : x) v *= 32767.0;
            const auto expected = fft.run(x);
            plan.forward(x.data());
            EXPECT_EQ(x, expected) << n << " points, seed " << seed;
        }
    }
}

}  // namespace
}  // namespace varnel
