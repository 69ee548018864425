// 64-band complex analysis filterbank: measures the spectral envelope of the full-rate input in
// uniform subbands, one column of 64 complex subband samples per 64 input samples.
//
// Definition. For column m, with u(n) = x(64 m + 63 - n) the last 640 input samples, newest
// first (samples before the first one are zero), and h the prototype below,
//   X_k(m) = sum_{n=0}^{639} h(n) u(n) e^(i pi (k + 1/2) n / 64),   k = 0 .. 63.
// Each band is the prototype low-pass shifted to the positive frequency (k + 1/2) pi / 64, so
// band k covers [k, k + 1) * fs / 128: band 0 starts at DC, band 63 ends at fs / 2.
//
// Prototype: 640 taps (ten bands' worth of time support), linear phase, a Kaiser window
// (beta 8) times an ideal low-pass whose cutoff is tuned at construction so that the
// prototype's autocorrelation vanishes at lags 128, 256, 384 and 512. That makes the 128
// shifted copies of |H|^2 (64 bands and their mirror images) sum to a constant: the bank is
// power complementary to about 0.01 dB. A sinusoid at a band's centre leaks about -42 dB
// into each neighbour and below -90 dB into every band two or more away.
//
// Scale: sum h(n)^2 = 1, so white noise of variance s^2 gives a mean |X_k|^2 of s^2 in every
// band, and a sinusoid of power P inside bands 1 .. 62 gives sum_k |X_k|^2 = 64 P: a column
// carries the power of the 64 input samples it stands for. (Bands 0 and 63 also catch the
// mirror image of a real signal near DC and fs / 2.)
//
// Timing: the prototype's centre lies 319.5 samples behind the newest input of a column, so
// column m is centred on input time 64 m - 256.5 and stands for the 64 input samples
// t = 64 m - kQmfAnalysisDelay .. 64 m - kQmfAnalysisDelay + 63. A pulse at input sample t
// is strongest in column floor((t + kQmfAnalysisDelay) / 64).
//
// The transform folds the windowed 640 samples into 128 (the modulation repeats with a sign
// change every 128 samples), then evaluates the 128 odd-frequency terms of a real sequence
// with one 64-point complex FFT; see qmf_analysis.cpp.
#pragma once

#include <array>
#include <span>

#include "analysis/complex_fft.h"

namespace varnel {

inline constexpr int kQmfBands = 64;
inline constexpr int kQmfPrototypeLength = 10 * kQmfBands;
inline constexpr int kQmfAnalysisDelay = 288;  // input samples, see above

// The prototype h(0 .. 639), designed once on first use.
std::span<const double> qmfPrototype();

class QmfAnalysis {
public:
    QmfAnalysis();
    // Clears the history: the next column sees silence before its input.
    void reset();
    // Takes the next 64 input samples (oldest first) and writes one column: 64 complex subband
    // samples as interleaved (re, im) pairs, band 0 first. The two may not overlap.
    void analyse(const double* input64, double* column128);

private:
    static constexpr int kFolded = 2 * kQmfBands;  // 128 folded samples
    static constexpr int kPoints = kQmfBands;      // complex FFT length

    // The input history twice over, so that the last 640 samples always lie contiguous from
    // start_ (oldest first) whichever slot the newest block went to.
    std::array<double, 2 * kQmfPrototypeLength> history_{};
    int start_ = 0;
    // The window per history position: h(639 - i) times the fold's sign (-1)^((639 - i) / 128).
    std::array<double, kQmfPrototypeLength> window_{};
    std::array<fft::Complex, kPoints> preRotation_{};   // e^(i pi p / 64)
    std::array<fft::Complex, kPoints> postRotation_{};  // -i/2 e^(i pi (2k + 1) / 128)
    std::array<int, kPoints> bitReverse_{};             // where the FFT leaves bin k
    fft::RotationTable fftRotations_;                   // kernel e^(+2 pi i jk / 64)
};

}  // namespace varnel
