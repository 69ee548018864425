#include "sbr/qmf_analysis.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <random>
#include <vector>

namespace varnel {
namespace {

constexpr double kPi = 3.14159265358979323846;
using Column = std::array<double, 2 * kQmfBands>;

// Columns of x (whose length is a multiple of 64) from a fresh bank.
std::vector<Column> analyseSignal(const std::vector<double>& x) {
    QmfAnalysis bank;
    std::vector<Column> columns(x.size() / kQmfBands);
    for (size_t m = 0; m < columns.size(); ++m) bank.analyse(x.data() + kQmfBands * m, columns[m].data());
    return columns;
}

double power(const Column& column, int band) {
    return column[2 * band] * column[2 * band] + column[2 * band + 1] * column[2 * band + 1];
}

// Mean power per band over the columns from `first` on.
std::vector<double> meanBandPower(const std::vector<Column>& columns, size_t first) {
    std::vector<double> mean(kQmfBands, 0.0);
    for (size_t m = first; m < columns.size(); ++m)
        for (int k = 0; k < kQmfBands; ++k) mean[k] += power(columns[m], k) / double(columns.size() - first);
    return mean;
}

std::vector<double> sinusoid(double omega, double phase, int length) {
    std::vector<double> x(length);
    for (int t = 0; t < length; ++t) x[t] = std::cos(omega * t + phase);
    return x;
}

double decibels(double ratio) { return 10.0 * std::log10(ratio); }

// The bank straight from its definition, X_k(m) = sum_n h(n) x(64 m + 63 - n) e^(i pi (k + 1/2) n / 64).
TEST(SbrQmfAnalysis, FastPathEqualsDirectFormula) {
    std::mt19937 random(7);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> x(30 * kQmfBands);
    for (double& v : x) v = uniform(random);
    const std::span<const double> h = qmfPrototype();
    const std::vector<Column> fast = analyseSignal(x);

    double largest = 0.0, worst = 0.0;
    for (int m = 0; m < int(fast.size()); ++m)
        for (int k = 0; k < kQmfBands; ++k) {
            std::complex<double> direct = 0.0;
            for (int n = 0; n < kQmfPrototypeLength && 64 * m + 63 - n >= 0; ++n)
                direct += h[n] * x[64 * m + 63 - n] * std::polar(1.0, kPi * (k + 0.5) * n / 64);
            largest = std::max(largest, std::abs(direct));
            worst = std::max(worst, std::abs(direct - std::complex<double>(fast[m][2 * k], fast[m][2 * k + 1])));
        }
    EXPECT_LT(worst, 1e-9 * largest);

    // reset() forgets the history: the same input gives the same columns as a fresh bank.
    QmfAnalysis bank;
    Column column;
    for (int m = 0; m < 7; ++m) bank.analyse(x.data() + 640 + 64 * m, column.data());
    bank.reset();
    for (int m = 0; m < 12; ++m) {
        bank.analyse(x.data() + 64 * m, column.data());
        EXPECT_EQ(column, fast[m]) << "column " << m;
    }
}

// A sinusoid anywhere in bands 1 .. 62 puts the power of 64 samples into a column, and a bank
// whose power responses leave gaps or overlap would show it as a dip or a bump at band edges.
TEST(SbrQmfAnalysis, PowerComplementaryOverFrequency) {
    constexpr int kSteps = 7;  // frequencies per band
    double lowest = 0.0, highest = 0.0;
    for (int step = kSteps; step <= 63 * kSteps; ++step) {
        const double omega = kPi / 64 * step / kSteps;
        const std::vector<Column> columns = analyseSignal(sinusoid(omega, 0.3 * step, 60 * kQmfBands));
        const std::vector<double> mean = meanBandPower(columns, 10);
        double total = 0.0;
        for (double p : mean) total += p;
        const double level = decibels(total / (64 * 0.5));  // input power 1/2
        lowest = std::min(lowest, level);
        highest = std::max(highest, level);
        EXPECT_NEAR(level, 0.0, 0.3) << "frequency " << double(step) / kSteps << " bands";
    }
    RecordProperty("range_dB", std::to_string(lowest) + " .. " + std::to_string(highest));
}

// White noise of variance s^2 gives a mean power of s^2 in every band away from the edges.
TEST(SbrQmfAnalysis, FlatResponseToWhiteNoise) {
    constexpr double kDeviation = 0.5;
    std::mt19937 random(11);
    std::normal_distribution<double> normal(0.0, kDeviation);
    std::vector<double> x(32768 * kQmfBands);
    for (double& v : x) v = normal(random);
    const std::vector<double> mean = meanBandPower(analyseSignal(x), 10);
    for (int k = 1; k <= 62; ++k)
        EXPECT_NEAR(decibels(mean[k] / (kDeviation * kDeviation)), 0.0, 0.2) << "band " << k;
}

// A sinusoid at a band's centre stays out of every band two or more away.
TEST(SbrQmfAnalysis, StopbandFromTwoBandsAway) {
    for (int k = 0; k < kQmfBands; ++k) {
        const std::vector<Column> columns = analyseSignal(sinusoid(kPi / 64 * (k + 0.5), 0.7 * k, 40 * kQmfBands));
        const std::vector<double> mean = meanBandPower(columns, 10);
        for (int j = 0; j < kQmfBands; ++j)
            if (std::abs(j - k) >= 2) {
                EXPECT_LT(decibels(mean[j] / mean[k]), -60.0) << "tone in band " << k << ", band " << j;
            }
    }
}

// A pulse at input sample t is strongest in column floor((t + delay) / 64), for every position
// of t within a column.
TEST(SbrQmfAnalysis, PulseLandsInTheColumnOfItsTime) {
    for (int t = 0; t < 3 * kQmfBands; ++t) {
        std::vector<double> x(((t + kQmfAnalysisDelay) / 64 + 6) * kQmfBands, 0.0);
        x[t] = 1.0;
        const std::vector<Column> columns = analyseSignal(x);
        std::vector<double> total(columns.size(), 0.0);
        for (size_t m = 0; m < columns.size(); ++m)
            for (int k = 0; k < kQmfBands; ++k) total[m] += power(columns[m], k);
        const auto peak = std::max_element(total.begin(), total.end()) - total.begin();
        EXPECT_EQ(peak, (t + kQmfAnalysisDelay) / 64) << "pulse at " << t;
    }
}

}  // namespace
}  // namespace varnel
