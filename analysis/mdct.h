// Forward MDCT of the AAC filterbank:
//   X[k] = 2 * sum_{n=0}^{N-1} z[n] cos(2 pi / N * (n + n0) * (k + 1/2)),  k = 0 .. N/2 - 1,
//   n0 = (N/2 + 1) / 2,
// for N = 2048 (long) and N = 256 (short), computed through a DCT-IV of the folded block and a
// complex FFT of N/4 points. Plans (rotation factors and the FFT's twiddles) are built once.
#pragma once

#include <complex>
#include <span>
#include <vector>

namespace varnel {

class Mdct {
public:
    // N = 2 * halfLength input samples, halfLength coefficients; halfLength a power of two >= 8.
    explicit Mdct(int halfLength);

    // z: N windowed samples; out: N/2 coefficients. `z` and `out` must not overlap.
    void forward(std::span<const double> z, std::span<double> out) const;

    int halfLength() const { return m_; }

private:
    int m_;                                      // N / 2
    std::vector<std::complex<double>> preTwiddle_;   // e^(-i pi p / M)
    std::vector<std::complex<double>> postTwiddle_;  // 2 e^(-i pi (q + 1/4) / M)
    std::vector<std::complex<double>> fftTwiddle_;   // e^(-2 pi i k / (M/2)), k < M/4
    std::vector<int> bitReverse_;                    // permutation of M/2 points
};

// The two transforms of the encoder, built on first use.
const Mdct& longMdct();
const Mdct& shortMdct();

}  // namespace varnel
