// 2:1 decimator that feeds the core encoder at half the output rate.
//
// A linear-phase half-band low-pass of 127 taps (a Kaiser-windowed ideal low-pass at fs_in / 4,
// beta 10), evaluated only for the kept output samples. Half-band means every second tap is
// zero except the centre one (1/2), so an output costs the centre tap plus 32 multiplies over
// the 64 nonzero side taps, paired by symmetry. Response, fs_in the input rate:
//   passband 0 .. 0.225 fs_in (0.9 of the output's Nyquist frequency): ripple about 0.0001 dB,
//     required at most 0.01 dB;
//   stopband from 0.275 fs_in, the part that would alias into the kept band: about -99 dB,
//     required at least 90 dB down.
//
// Timing. Output n is computed once inputs up to 2n + 1 are in, and the filter's centre tap
// falls on input 2n - kDownsamplerDelay: out[n] is the low-passed input at time
// 2n - kDownsamplerDelay. A half-band filter with nonzero end taps has an odd length 4K - 1 and
// its centre lies on an odd tap count 2K - 1 behind its newest input; taking the newest input
// of each pair as that newest tap puts the centre on an even input time, so the delay
// 2K - 2 = 62 is a whole number of output samples (31), and the decimated signal samples the
// filtered input at the even instants. (Aligning on the older input of each pair would give
// an odd delay of 63, half an output sample off the grid, for no gain.)
#pragma once

#include <array>

namespace varnel {

inline constexpr int kDownsamplerHalfLength = 32;                         // K: 4K - 1 = 127 taps
inline constexpr int kDownsamplerDelay = 2 * kDownsamplerHalfLength - 2;  // 62 input samples

class Downsampler {
public:
    Downsampler();
    // Clears the history: the next call sees silence before its input.
    void reset();
    // Consumes 2 n input samples, writes n output samples; keeps its history between calls.
    // `in` and `out` may be the same array (each output is written after its two inputs are read).
    void process(const double* in, int n, double* out);

private:
    static constexpr int kOddTaps = 2 * kDownsamplerHalfLength;  // nonzero side taps

    // side_[i]: the tap of the odd inputs 2K - 1 - 2i samples on either side of the centre,
    // outermost (i = 0) first.
    std::array<double, kDownsamplerHalfLength> side_{};
    // The last kOddTaps odd-time inputs, twice over so that they lie contiguous from oddStart_
    // (oldest first); and the even-time inputs of the last K outputs, which the centre tap
    // reads K - 1 outputs late.
    std::array<double, 2 * kOddTaps> odd_{};
    int oddStart_ = 0;
    std::array<double, kDownsamplerHalfLength> even_{};
    int evenNext_ = 0;
};

}  // namespace varnel
