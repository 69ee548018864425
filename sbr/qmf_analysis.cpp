// Fast evaluation of the analysis filterbank (definitions in qmf_analysis.h).
//
// Fold. e^(i pi (k + 1/2)(j + 128 l) / 64) = (-1)^l e^(i pi (k + 1/2) j / 64), so with
//   w(j) = sum_{l=0}^{4} (-1)^l h(j + 128 l) u(j + 128 l),   j = 0 .. 127,
// a column is the odd-frequency transform of the real sequence w:
//   X_k = sum_{j=0}^{127} w(j) e^(i pi (2k + 1) j / 128).
// Even and odd j. X_k = E_k + e^(i pi (2k + 1) / 128) O_k, where
//   E_k = sum_{p<64} w(2p) e^(i pi p / 64) e^(2 pi i k p / 64)
// and O_k the same with w(2p + 1). Both are transforms of real sequences with the half-bin
// rotation, which makes E_(63-k) = conj(E_k) (and likewise O). One 64-point FFT of
//   c(p) = (w(2p) + i w(2p + 1)) e^(i pi p / 64)
// gives F_k = E_k + i O_k, and with a = F_k, b = conj(F_(63-k)):
//   E_k = (a + b) / 2,  O_k = (a - b) / (2i),  X_k = (a + b) / 2 - (i/2) e^(i pi (2k+1) / 128) (a - b).
#include "sbr/qmf_analysis.h"

#include "sbr/kaiser_window.h"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace varnel {
namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr double kKaiserBeta = 8.0;  // sidelobes below -90 dB from two bands out

fft::Complex polar(double radius, double angle) { return {radius * std::cos(angle), radius * std::sin(angle)}; }


using Prototype = std::array<double, kQmfPrototypeLength>;

// Kaiser-windowed ideal low-pass with cutoff `cutoff` (radians per sample), scaled to unit energy.
Prototype windowedLowPass(const Prototype& window, double cutoff) {
    constexpr double centre = (kQmfPrototypeLength - 1) / 2.0;  // never an integer: no 0/0
    Prototype h;
    double energy = 0.0;
    for (int n = 0; n < kQmfPrototypeLength; ++n) {
        const double t = n - centre;
        h[n] = window[n] * std::sin(cutoff * t) / (kPi * t);
        energy += h[n] * h[n];
    }
    const double scale = 1.0 / std::sqrt(energy);
    for (double& v : h) v *= scale;
    return h;
}

// Sum of the squared autocorrelations at the lags 128, 256, 384, 512: zero for a bank whose
// 128 shifted power responses add up to a constant.
double complementarityError(const Prototype& h) {
    double error = 0.0;
    for (int lag = 2 * kQmfBands; lag < kQmfPrototypeLength; lag += 2 * kQmfBands) {
        double r = 0.0;
        for (int n = 0; n + lag < kQmfPrototypeLength; ++n) r += h[n] * h[n + lag];
        error += r * r;
    }
    return error;
}

// The Kaiser window is fixed; the cutoff sits near the band edge pi / 128 and is found by a
// golden-section search, the error being smooth and single-troughed over [1.0, 1.4] pi / 128.
Prototype designPrototype() {
    constexpr double centre = (kQmfPrototypeLength - 1) / 2.0;
    Prototype window;
    for (int n = 0; n < kQmfPrototypeLength; ++n) {
        const double r = (n - centre) / centre;
        window[n] = kaiserWindow(kKaiserBeta, r);
    }
    const double bandEdge = kPi / (2 * kQmfBands);
    const double golden = (std::sqrt(5.0) - 1.0) / 2.0;
    double low = 1.0 * bandEdge, high = 1.4 * bandEdge;
    double a = high - golden * (high - low), b = low + golden * (high - low);
    double errorA = complementarityError(windowedLowPass(window, a));
    double errorB = complementarityError(windowedLowPass(window, b));
    while (high - low > 1e-12 * bandEdge) {
        if (errorA < errorB) {
            high = b;
            b = a;
            errorB = errorA;
            a = high - golden * (high - low);
            errorA = complementarityError(windowedLowPass(window, a));
        } else {
            low = a;
            a = b;
            errorA = errorB;
            b = low + golden * (high - low);
            errorB = complementarityError(windowedLowPass(window, b));
        }
    }
    return windowedLowPass(window, (low + high) / 2);
}
}  // namespace

std::span<const double> qmfPrototype() {
    static const Prototype prototype = designPrototype();
    return prototype;
}

QmfAnalysis::QmfAnalysis()
    : fftRotations_(kPoints, [](int length, int power) { return polar(1.0, 2.0 * kPi * power / length); }) {
    const std::span<const double> h = qmfPrototype();
    // History position i holds u(n), n = 639 - i.
    for (int i = 0; i < kQmfPrototypeLength; ++i) {
        const int n = kQmfPrototypeLength - 1 - i;
        window_[i] = (n / kFolded) % 2 == 0 ? h[n] : -h[n];
    }
    const int bits = fft::log2Exact(kPoints);
    for (int k = 0; k < kPoints; ++k) {
        preRotation_[k] = polar(1.0, kPi * k / kPoints);
        postRotation_[k] = polar(0.5, kPi * (2 * k + 1) / kFolded - kPi / 2);
        bitReverse_[k] = fft::reverseBits(k, bits);
    }
}

void QmfAnalysis::reset() {
    history_.fill(0.0);
    start_ = 0;
}

void QmfAnalysis::analyse(const double* input64, double* column128) {
    // The new block replaces the oldest one, in both copies of the history.
    std::copy(input64, input64 + kQmfBands, history_.begin() + start_);
    std::copy(input64, input64 + kQmfBands, history_.begin() + start_ + kQmfPrototypeLength);
    start_ += kQmfBands;
    const double* u = history_.data() + start_;  // oldest first
    if (start_ == kQmfPrototypeLength) start_ = 0;

    // Window and fold: position 128 B + r of the history goes to w(127 - r).
    double folded[kFolded];
    for (int r = 0; r < kFolded; ++r) folded[r] = window_[r] * u[r];
    for (int block = kFolded; block < kQmfPrototypeLength; block += kFolded)
        for (int r = 0; r < kFolded; ++r) folded[r] += window_[block + r] * u[block + r];

    // c(p) = (w(2p) + i w(2p + 1)) e^(i pi p / 64), w(j) = folded[127 - j].
    double buffer[2 * kPoints];
    for (int p = 0; p < kPoints; ++p) {
        const fft::Complex c = fft::Complex{folded[kFolded - 1 - 2 * p], folded[kFolded - 2 - 2 * p]} * preRotation_[p];
        buffer[2 * p] = c.re;
        buffer[2 * p + 1] = c.im;
    }
    fft::radix4Transform<1>(buffer, kPoints, fftRotations_);

    for (int k = 0; k < kPoints; ++k) {
        const double* f = buffer + 2 * bitReverse_[k];                   // F_k
        const double* g = buffer + 2 * bitReverse_[kPoints - 1 - k];     // F_(63-k)
        const fft::Complex sum{f[0] + g[0], f[1] - g[1]};                // a + b
        const fft::Complex rotated = fft::Complex{f[0] - g[0], f[1] + g[1]} * postRotation_[k];  // r_k (a - b)
        column128[2 * k] = 0.5 * sum.re + rotated.re;
        column128[2 * k + 1] = 0.5 * sum.im + rotated.im;
    }
}

}  // namespace varnel
