#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "analysis/filterbank.h"
#include "analysis/windows.h"
#include "encoder/aac_encoder.h"

namespace varnel {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Value i of a window half read from table t. A compensated synthesis half divides by the
// power complement t[i]^2 + t[L-1-i]^2, which the single-precision tables meet only to about
// 1e-7, so that reconstruction tests the transform and the aliasing cancellation exactly.
double half(std::span<const float> t, int i, bool compensated) {
    const double v = t[i];
    if (!compensated) return v;
    const double m = t[t.size() - 1 - i];
    return v / (v * v + m * m);
}

// Reference window of a whole 2048-sample block, written from the window-sequence shapes.
std::vector<double> referenceLongWindow(int sequence, int prevShape, int shape, bool compensated = false) {
    const auto rl = longWindow(WindowShape(prevShape)), rs = shortWindow(WindowShape(prevShape));
    const auto fl = longWindow(WindowShape(shape)), fs = shortWindow(WindowShape(shape));
    std::vector<double> w(2048, 0.0);
    for (int n = 0; n < 2048; ++n) {
        switch (sequence) {
        case ONLY_LONG_SEQUENCE: w[n] = n < 1024 ? half(rl, n, compensated) : half(fl, 2047 - n, compensated); break;
        case LONG_START_SEQUENCE:
            w[n] = n < 1024 ? half(rl, n, compensated) : n < 1472 ? 1.0 : n < 1600 ? half(fs, 1599 - n, compensated) : 0.0;
            break;
        case LONG_STOP_SEQUENCE:
            w[n] = n < 448 ? 0.0 : n < 576 ? half(rs, n - 448, compensated) : n < 1024 ? 1.0 : half(fl, 2047 - n, compensated);
            break;
        }
    }
    return w;
}

std::vector<double> referenceShortWindow(int w, int prevShape, int shape, bool compensated = false) {
    const auto r = shortWindow(WindowShape(w == 0 ? prevShape : shape)), f = shortWindow(WindowShape(shape));
    std::vector<double> out(256);
    for (int n = 0; n < 128; ++n) {
        out[n] = half(r, n, compensated);
        out[128 + n] = half(f, 127 - n, compensated);
    }
    return out;
}

// X[k] = 2 sum z[n] cos(2 pi / N (n + n0)(k + 1/2)), summed directly.
std::vector<double> referenceMdct(const std::vector<double>& z) {
    const int N = static_cast<int>(z.size());
    const double n0 = (N / 2.0 + 1.0) / 2.0;
    std::vector<double> X(N / 2, 0.0);
    for (int k = 0; k < N / 2; ++k)
        for (int n = 0; n < N; ++n) X[k] += 2.0 * z[n] * std::cos(2 * kPi / N * (n + n0) * (k + 0.5));
    return X;
}

// y[n] = 2/N sum X[k] cos(2 pi / N (n + n0)(k + 1/2)).
std::vector<double> referenceInverseMdct(const double* X, int N) {
    const double n0 = (N / 2.0 + 1.0) / 2.0;
    std::vector<double> y(N, 0.0);
    for (int n = 0; n < N; ++n)
        for (int k = 0; k < N / 2; ++k) y[n] += 2.0 / N * X[k] * std::cos(2 * kPi / N * (n + n0) * (k + 0.5));
    return y;
}

IcsInfo ics(int sequence, int prevShape = 0, int shape = 0) {
    IcsInfo i{};
    initIcsInfo(i);
    i.windowSequence = sequence;
    i.previousWindowShape = WindowShape(prevShape);
    i.windowShape = WindowShape(shape);
    return i;
}

std::unique_ptr<ChannelBuffer> randomBuffer(unsigned seed) {
    auto b = std::make_unique<ChannelBuffer>();
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-32768.0, 32767.0);
    for (double& v : std::span(b->timeSamples(), kHistoryLength)) v = u(rng);
    return b;
}

double peak(const double* v, int n) {
    double p = 0;
    for (int i = 0; i < n; ++i) p = std::max(p, std::fabs(v[i]));
    return p;
}

TEST(Filterbank, MatchesTheTransformFormulaForEverySequenceAndShape) {
    for (int seq = 0; seq < 4; ++seq) {
        for (int prev = 0; prev < 2; ++prev) {
            for (int shape = 0; shape < 2; ++shape) {
                auto b = randomBuffer(static_cast<unsigned>(seq * 4 + prev * 2 + shape));
                const IcsInfo info = ics(seq, prev, shape);
                analysisFilterbank(*b, info);
                std::vector<double> expected(1024);
                if (seq == EIGHT_SHORT_SEQUENCE) {
                    for (int w = 0; w < 8; ++w) {
                        const auto win = referenceShortWindow(w, prev, shape);
                        std::vector<double> z(256);
                        for (int n = 0; n < 256; ++n) z[n] = b->timeSamples()[448 + 128 * w + n] * win[n];
                        const auto X = referenceMdct(z);
                        std::copy(X.begin(), X.end(), expected.begin() + 128 * w);
                    }
                } else {
                    const auto win = referenceLongWindow(seq, prev, shape);
                    std::vector<double> z(2048);
                    for (int n = 0; n < 2048; ++n) z[n] = b->timeSamples()[n] * win[n];
                    expected = referenceMdct(z);
                }
                const double scale = peak(expected.data(), 1024);
                for (int k = 0; k < 1024; ++k)
                    ASSERT_NEAR(b->spectrum[k], expected[k], 1e-12 * scale)
                        << "sequence " << seq << " shapes " << prev << shape << " k " << k;
            }
        }
    }
}

TEST(Filterbank, ConstantBlockAndSilence) {
    auto b = std::make_unique<ChannelBuffer>();
    for (double& v : std::span(b->timeSamples(), kHistoryLength)) v = 1.0;
    analysisFilterbank(*b, ics(ONLY_LONG_SEQUENCE));
    EXPECT_NEAR(b->spectrum[0], -1024.0 * std::sqrt(2.0), 1e-3);
    for (int k = 1; k < 1024; ++k) EXPECT_NEAR(b->spectrum[k], 0.0, 1e-3) << k;
    analysisFilterbank(*b, ics(EIGHT_SHORT_SEQUENCE));
    EXPECT_NEAR(b->spectrum[0], -128.0 * std::sqrt(2.0), 1e-3);

    std::memset(b.get(), 0, sizeof *b);
    for (int seq = 0; seq < 4; ++seq) {
        for (double& v : b->spectrum) v = 99.0;
        analysisFilterbank(*b, ics(seq));
        EXPECT_EQ(peak(b->spectrum, 1024), 0.0) << seq;
    }
}

TEST(Filterbank, SamplesOutsideTheWindowDoNotMatterAndInputStaysUnchanged) {
    struct Case {
        int sequence;
        int from, to;  // samples that must not contribute
    };
    for (const Case c : {Case{EIGHT_SHORT_SEQUENCE, 0, 448}, Case{EIGHT_SHORT_SEQUENCE, 1600, 2048},
                         Case{LONG_START_SEQUENCE, 1600, 2048}, Case{LONG_STOP_SEQUENCE, 0, 448}}) {
        auto a = randomBuffer(11);
        auto b = std::make_unique<ChannelBuffer>(*a);
        for (int n = c.from; n < c.to; ++n) b->timeSamples()[n] = -b->timeSamples()[n] + 123.0;
        const auto before = std::make_unique<ChannelBuffer>(*b);
        analysisFilterbank(*a, ics(c.sequence));
        analysisFilterbank(*b, ics(c.sequence));
        EXPECT_EQ(std::memcmp(a->spectrum, b->spectrum, sizeof a->spectrum), 0) << c.sequence;
        EXPECT_EQ(std::memcmp(before->timeSamples(), b->timeSamples(), kHistoryLength * sizeof(double)), 0);
    }
    // Any shape value other than 1 is the sine window.
    auto a = randomBuffer(12);
    auto b = std::make_unique<ChannelBuffer>(*a);
    analysisFilterbank(*a, ics(ONLY_LONG_SEQUENCE, 0, 0));
    analysisFilterbank(*b, ics(ONLY_LONG_SEQUENCE, 2, 2));
    EXPECT_EQ(std::memcmp(a->spectrum, b->spectrum, sizeof a->spectrum), 0);
}

// I0 by the trapezoid rule on its integral (1/pi) int_0^pi e^(x cos t) dt: a route
// independent of the series, exact to rounding for a smooth periodic integrand.
double referenceI0(double x) {
    constexpr int kPoints = 256;
    double sum = 0.0;
    for (int j = 0; j < kPoints; ++j) sum += std::exp(x * std::cos(2 * kPi * j / kPoints));
    return sum / kPoints;
}

TEST(Filterbank, KbdWindowsFollowTheirDefinition) {
    struct Case {
        std::span<const float> table;
        double alpha;
    };
    for (const Case c : {Case{kbdLongWindow(), 4.0}, Case{kbdShortWindow(), 6.0}}) {
        const int half = static_cast<int>(c.table.size());  // N / 2
        std::vector<double> kernel(half + 1);
        double total = 0.0;
        for (int j = 0; j <= half; ++j) {
            const double r = (j - half / 2.0) / (half / 2.0);
            total += kernel[j] = referenceI0(kPi * c.alpha * std::sqrt(std::max(0.0, 1.0 - r * r)));
        }
        double running = 0.0;
        for (int n = 0; n < half; ++n) {
            running += kernel[n];
            const double expected = std::sqrt(running / total);
            const float ulp = std::nextafter(static_cast<float>(expected), 2.0f) - static_cast<float>(expected);
            ASSERT_NEAR(c.table[n], expected, ulp) << half << " " << n;
        }
    }
}

TEST(Filterbank, WindowsMeetThePerfectReconstructionCondition) {
    for (auto w : {sineLongWindow(), sineShortWindow(), kbdLongWindow(), kbdShortWindow()}) {
        const size_t n = w.size();
        for (size_t i = 0; i < n; ++i)
            EXPECT_NEAR(double(w[i]) * w[i] + double(w[n - 1 - i]) * w[n - 1 - i], 1.0, 2e-7) << n << " " << i;
        for (size_t i = 1; i < n; ++i) EXPECT_GE(w[i], w[i - 1]);
    }
    EXPECT_FLOAT_EQ(sineLongWindow()[0], static_cast<float>(std::sin(kPi / 2048 * 0.5)));
}

// Analysis of consecutive frames, inverse transform (factor 2/N), windowing and overlap-add
// of a decoder: the largest error over the frames that two blocks share, across long, start,
// short and stop transitions with shapes that change but match where blocks touch. With
// `compensated` the synthesis windows divide out the tables' power complement.
double reconstructionError(bool compensated) {
    const std::vector<int> sequences = {ONLY_LONG_SEQUENCE,   ONLY_LONG_SEQUENCE, LONG_START_SEQUENCE,
                                        EIGHT_SHORT_SEQUENCE, EIGHT_SHORT_SEQUENCE, LONG_STOP_SEQUENCE,
                                        LONG_START_SEQUENCE,  LONG_STOP_SEQUENCE, ONLY_LONG_SEQUENCE};
    const int blocks = static_cast<int>(sequences.size());
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(-32767.0, 32767.0);
    std::vector<double> signal(1024 * (blocks + 1));
    for (double& v : signal) v = u(rng);
    std::vector<double> output(signal.size(), 0.0);
    for (int k = 0; k < blocks; ++k) {
        auto b = std::make_unique<ChannelBuffer>();
        std::copy(signal.begin() + 1024 * k, signal.begin() + 1024 * k + 2048, b->timeSamples());
        const int prev = 1 - k % 2, shape = k % 2;
        analysisFilterbank(*b, ics(sequences[k], prev, shape));
        if (sequences[k] == EIGHT_SHORT_SEQUENCE) {
            for (int w = 0; w < 8; ++w) {
                const auto y = referenceInverseMdct(b->spectrum + 128 * w, 256);
                const auto win = referenceShortWindow(w, prev, shape, compensated);
                for (int n = 0; n < 256; ++n) output[1024 * k + 448 + 128 * w + n] += y[n] * win[n];
            }
        } else {
            const auto y = referenceInverseMdct(b->spectrum, 2048);
            const auto win = referenceLongWindow(sequences[k], prev, shape, compensated);
            for (int n = 0; n < 2048; ++n) output[1024 * k + n] += y[n] * win[n];
        }
    }
    double error = 0.0;
    for (size_t n = 1024; n < 1024u * blocks; ++n) error = std::max(error, std::fabs(output[n] - signal[n]));
    return error;
}

TEST(Filterbank, PerfectReconstructionAcrossTransitions) {
    EXPECT_LT(reconstructionError(true), 1e-9 * 32767.0);   // the transform and aliasing cancellation
    EXPECT_LT(reconstructionError(false), 3e-7 * 32767.0);  // plus the single-precision windows
}

}  // namespace
// The history store moves back in memory only now and then; through every move the view shows
// the last three frames in order.
TEST(ChannelBuffer, HistoryShowsTheLastThreeFramesThroughEveryMove) {
    auto b = std::make_unique<ChannelBuffer>();
    for (int frame = 1; frame <= 3 * (kSpareHistoryFrames + 1) + 2; ++frame) {
        double* newest = b->advanceHistory();
        for (int j = 0; j < kFrameLength; ++j) newest[j] = frame * 10000 + j;
        for (int age = 0; age < 3 && age < frame; ++age)
            for (int j : {0, 511, kFrameLength - 1})
                ASSERT_EQ(b->timeSamples()[(2 - age) * kFrameLength + j], (frame - age) * 10000 + j)
                    << "frame " << frame << ", age " << age;
    }
}

}  // namespace varnel
