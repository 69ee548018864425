// Forward MDCT of the AAC filterbank:
//   X[k] = 2 * sum_{n=0}^{N-1} z[n] cos(2 pi / N * (n + n0) * (k + 1/2)),  k = 0 .. N/2 - 1,
//   n0 = (N/2 + 1) / 2,
// for N = 2048 (long) and N = 256 (short), computed through a DCT-IV of the folded block and a
// complex FFT of N/4 points. Plans (rotation factors and the FFT's twiddles) are built once.
#pragma once

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
    // Complex factors are held as separate real and imaginary arrays so that the loops over
    // them vectorise; every product is the plain (ac - bd, ad + bc) of a complex product.
    int m_;                                           // N / 2
    std::vector<double> preCos_, preSin_;             // e^(-i pi p / M), p < M/2
    std::vector<double> postCos_, postSin_;           // 2 e^(-i pi (q + 1/4) / M), q < M/2
    // Twiddles of each radix-2 stage laid out contiguously: the stage with half-length h
    // holds e^(-2 pi i k / (2h)), k < h, at offset h - 1.
    std::vector<double> stageCos_, stageSin_;
    std::vector<int> bitReverse_;                     // permutation of M/2 points
};

// The two transforms of the encoder, built on first use.
const Mdct& longMdct();
const Mdct& shortMdct();

}  // namespace varnel
