// Forward MDCT of the AAC filterbank (ISO/IEC 14496-3, 4.6.11.3.1 with the encoder's scale):
//   X[k] = 2 * sum_{n=0}^{N-1} z[n] cos(2 pi / N * (n + n0) * (k + 1/2)),  k = 0 .. N/2 - 1,
//   n0 = (N/2 + 1) / 2,
// for N = 2048 (long) and N = 256 (short), computed through a DCT-IV of the folded block and a
// complex FFT of N/4 points. Plans (rotation factors, the FFT's rotations and the output
// permutation) are built once; a transform allocates nothing.
#pragma once

#include <span>
#include <vector>

#include "analysis/complex_fft.h"

namespace varnel {

class Mdct {
public:
    // N = 2 * halfLength input samples, halfLength coefficients; halfLength a power of two,
    // 8 <= halfLength <= kMaxHalfLength.
    static constexpr int kMaxHalfLength = 1024;
    explicit Mdct(int halfLength);

    // z: N windowed samples; out: N/2 coefficients. `z` and `out` may not overlap.
    void forward(std::span<const double> z, std::span<double> out) const;
    // The same in the baseline (vector = false) or the vector build; forward uses the one this
    // CPU runs best. Both give identical results.
    void forwardWith(bool vector, std::span<const double> z, std::span<double> out) const;

    int halfLength() const { return m_; }

private:
    template <bool Vector>
    static void transform(const Mdct& plan, const double* z, double* out);
    static int foldAvx2(const Mdct& plan, const double* z, double* buffer);
    static void postRotateAvx2(const Mdct& plan, const double* buffer, double* out);
    static void transformScalar(const Mdct& plan, const double* z, double* out);
    static void transformVector(const Mdct& plan, const double* z, double* out);

    int m_;                                    // M = N / 2
    std::vector<fft::Complex> preRotation_;    // e^(-i pi p / M), p < M/2
    std::vector<fft::Complex> postRotation_;   // 2 e^(-i pi (q + 1/4) / M), q < M/2
    fft::RotationTable fftRotations_;          // of the M/2-point FFT, kernel e^(-2 pi i jk / (M/2))
    std::vector<int> bitReverse_;              // output position of FFT bin q
};

// The two transforms of the encoder, built on first use.
const Mdct& longMdct();
const Mdct& shortMdct();

}  // namespace varnel
