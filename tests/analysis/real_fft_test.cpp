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
std::vector<double> directTransform(const std::vector<double>& x) {
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
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int n : {4, 8, 16, 32, 64, 128, 256, 512, 1024}) {
        std::vector<double> x(n);
        for (double& v : x) v = u(rng);
        Fft fft(n);
        const auto fast = fft.run(x);
        const auto ref = directTransform(x);
        double scale = 0.0;
        for (double v : ref) scale = std::max(scale, std::fabs(v));
        for (int i = 0; i < n; ++i) EXPECT_NEAR(fast[i], ref[i], 1e-9 * scale) << "n=" << n << " i=" << i;
    }
}

TEST(RealFft, TablesAreBuiltOnceAndReusedOrRebuiltAlike) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x(256);
    for (double& v : x) v = u(rng);
    Fft fft(256);
    const auto first = fft.run(x);
    EXPECT_EQ(fft.ip[0], 64);
    EXPECT_EQ(fft.ip[1], 64);
    const auto reused = fft.run(x);
    fft.ip[0] = 0;  // forces a rebuild
    const auto rebuilt = fft.run(x);
    EXPECT_EQ(first, reused);
    EXPECT_EQ(first, rebuilt);

    // Tables built for a longer transform serve a shorter one.
    Fft big(1024);
    big.run(std::vector<double>(1024, 0.0));
    std::vector<double> small(x.begin(), x.begin() + 64);
    std::vector<double> a = small;
    realFft(64, 1, a.data(), big.ip.data(), big.w.data());
    const auto ref = directTransform(small);
    for (int i = 0; i < 64; ++i) EXPECT_NEAR(a[i], ref[i], 1e-10);
}

TEST(RealFft, TableLayout) {
    std::vector<int32_t> ip(2 + 16, 0);
    std::vector<double> w(128);
    std::vector<double> a(256, 0.0);
    realFft(256, 1, a.data(), ip.data(), w.data());
    const double delta = std::atan(1.0) / 32;  // nw = 64, nwh = 32
    EXPECT_DOUBLE_EQ(w[0], 1.0);
    EXPECT_DOUBLE_EQ(w[1], std::cos(kPi / 4));
    EXPECT_DOUBLE_EQ(w[2], 0.5 / std::cos(2 * delta));
    EXPECT_DOUBLE_EQ(w[3], 0.5 / std::cos(6 * delta));
    EXPECT_DOUBLE_EQ(w[8], std::cos(8 * delta));
    EXPECT_DOUBLE_EQ(w[11], std::sin(24 * delta));
    // First sub-table behind the base: 1, cos(pi/4), 0.5 / w[4], 0.5 / w[6], then w[8..11].
    EXPECT_DOUBLE_EQ(w[32], 1.0);
    EXPECT_DOUBLE_EQ(w[34], 0.5 / w[4]);
    EXPECT_DOUBLE_EQ(w[36], w[8]);
    // Cosine part at w[64]: c[0] = cos(pi/4), c[nch] = c[0] / 2, c[j] = cos(j d) / 2.
    const double* c = w.data() + 64;
    EXPECT_DOUBLE_EQ(c[0], std::cos(kPi / 4));
    EXPECT_DOUBLE_EQ(c[32], 0.5 * c[0]);
    EXPECT_DOUBLE_EQ(c[5], 0.5 * std::cos(5 * delta));
    EXPECT_DOUBLE_EQ(c[64 - 5], 0.5 * std::sin(5 * delta));
}

}  // namespace
}  // namespace varnel
