// The half-band decimator of downsampler.h. With the inputs split into the even-time ones
// e(n) = x(2n) and the odd-time ones o(n) = x(2n + 1), and K = kDownsamplerHalfLength,
//   out[n] = e(n - K + 1) / 2 + sum_{i<K} side_i (o(n - i) + o(n - 2K + 1 + i)),
// side_i being the tap at distance d = 2K - 1 - 2i from the centre 2n - 2K + 2.
#include "sbr/downsampler.h"

#include "sbr/kaiser_window.h"

#include <cmath>

namespace varnel {
namespace {
constexpr double kPi = 3.14159265358979323846;
// The Kaiser parameter that reaches the deepest stopband from 0.275 fs_in with 127 taps: more
// widens the transition past the stopband edge, less raises the sidelobes.
constexpr double kKaiserBeta = 10.0;
static_assert(kDownsamplerHalfLength % 4 == 0, "the side taps are summed four at a time");

}  // namespace

Downsampler::Downsampler() {
    // Ideal low-pass at a quarter of the input rate, sin(pi d / 2) / (pi d), under a Kaiser
    // window reaching zero at d = +-2K (which is an even distance, a zero tap anyway).
    constexpr int K = kDownsamplerHalfLength;
    for (int i = 0; i < K; ++i) {
        const int d = 2 * K - 1 - 2 * i;
        const double r = static_cast<double>(d) / (2 * K);
        const double window = kaiserWindow(kKaiserBeta, r);
        side_[i] = window * std::sin(kPi * d / 2) / (kPi * d);
    }
}

void Downsampler::reset() {
    odd_.fill(0.0);
    even_.fill(0.0);
    oddStart_ = 0;
    evenNext_ = 0;
}

void Downsampler::process(const double* in, int n, double* out) {
    constexpr int K = kDownsamplerHalfLength;
    for (int j = 0; j < n; ++j) {
        const double even = in[2 * j], odd = in[2 * j + 1];
        // The newest odd input replaces the oldest in both copies.
        odd_[oddStart_] = odd;
        odd_[oddStart_ + kOddTaps] = odd;
        const double* o = odd_.data() + ++oddStart_;  // oldest first, o[kOddTaps - 1] newest
        if (oddStart_ == kOddTaps) oddStart_ = 0;
        // Four partial sums in a fixed order: four independent chains of additions instead of
        // one keep the adder busy, and every build adds in the same order.
        double partial[4] = {0.0, 0.0, 0.0, 0.0};
        for (int i = 0; i < K; i += 4)
            for (int lane = 0; lane < 4; ++lane)
                partial[lane] += side_[i + lane] * (o[kOddTaps - 1 - i - lane] + o[i + lane]);
        const double sum = (partial[0] + partial[1]) + (partial[2] + partial[3]);
        // even_ holds the last K even inputs; the one written K - 1 outputs ago is next in line.
        even_[evenNext_] = even;
        evenNext_ = evenNext_ + 1 == K ? 0 : evenNext_ + 1;
        out[j] = 0.5 * even_[evenNext_] + sum;
    }
}

}  // namespace varnel
