// In-place FFT of a real sequence whose length is a power of two (n >= 4).
//
// Output convention (forward direction, the only one used): with x the input,
//   a[0]      = sum of x[j]                       (DC)
//   a[1]      = sum of x[j] * (-1)^j              (the value at frequency n/2)
//   a[2k]     = sum of x[j] * cos(2 pi j k / n),  k = 1 .. n/2 - 1
//   a[2k + 1] = sum of x[j] * sin(2 pi j k / n)   (positive sine: kernel e^(+2 pi i j k / n))
// No normalisation is applied.
//
// Tables. The caller owns the table w (at least n/2 doubles) and the work area ip (ip[0] =
// twiddle entries held, ip[1] = cosine entries held, at least 2 + sqrt(n/2) entries). On entry
// the twiddle part is rebuilt for nw = n/4 when n > 4 ip[0] (which also sets ip[1] = 1), then
// the cosine part for nc = n/4 when n > 4 ip[1]; tables built for a longer transform serve a
// shorter one, and a caller that sets ip[0] = 0 forces a rebuild (with the same values).
// w[0 .. nw-1] holds the complex twiddle factors as chained sub-tables, w[nw .. nw+nc-1] the
// cosine table c[j] = cos(j t) / 2, c[nc - j] = sin(j t) / 2 (t = pi / (2 nc), 0 < j < nc/2;
// c[0] = cos(pi/4), c[nc/2] = cos(pi/4) / 2). This transform reads its rotations from the
// cosine part, which holds e^(2 pi i j / n) for every j up to n/8; the twiddle part is kept in
// its layout so that a table built here serves any transform that uses it.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/complex_fft.h"

namespace varnel {

void realFft(int n, int direction, double* a, int32_t* ip, double* w);

// Table builders (exposed for tests): the twiddle part for nw entries at w and the cosine
// part for nc entries at c.
void buildFftTwiddles(int nw, int32_t* ip, double* w);
void buildFftCosines(int nc, int32_t* ip, double* c);

// A forward transform of n points with every table built once: realFft's tables for n, the
// rotations of each stage expanded from them, and the list of bit-reversal swaps. Its results
// equal realFft's with tables built for n, bit for bit; it allocates nothing per transform.
class RealFftPlan {
public:
    explicit RealFftPlan(int n);
    int length() const { return n_; }
    void forward(double* a) const;
    // The same in the baseline (vector = false) or the vector build; forward uses the one this
    // CPU runs best. Both give identical results.
    void forwardWith(bool vector, double* a) const;

private:
    template <bool Vector>
    static void transform(const RealFftPlan& plan, double* a);
    static void transformScalar(const RealFftPlan& plan, double* a);
    static void transformVector(const RealFftPlan& plan, double* a);

    int n_;
    int32_t ip_[2 + 32];
    std::vector<double> w_;
    fft::RotationTable rotations_;
    std::vector<int> swaps_;  // pairs (i, j), i < j, of the bit-reversal permutation
    std::vector<fft::Complex> separationFactors_;  // (wkr, wki) of complex bins 1 .. n/4 - 1
};

// The transient detector's 256-point transform.
class RealFft256 : public RealFftPlan {
public:
    static constexpr int kLength = 256;
    RealFft256() : RealFftPlan(kLength) {}
};

}  // namespace varnel
