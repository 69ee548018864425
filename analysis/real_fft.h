// In-place FFT of a real sequence whose length is a power of two (n >= 4).
//
// Output convention (forward direction, the only one used): with x the input,
//   a[0]      = sum of x[j]                       (DC)
//   a[1]      = sum of x[j] * (-1)^j              (the value at frequency n/2)
//   a[2k]     = sum of x[j] * cos(2 pi j k / n),  k = 1 .. n/2 - 1
//   a[2k + 1] = sum of x[j] * sin(2 pi j k / n)   (positive sine: kernel e^(+2 pi i j k / n))
// No normalisation is applied.
//
// The caller owns the table w (at least n/2 doubles) and the work area ip (ip[0] = twiddle
// entries held, ip[1] = cosine entries held, ip[2..] scratch, at least 2 + sqrt(n/2) entries).
// The tables are built on demand and reused while they cover n; a caller that sets ip[0] = 0
// forces a rebuild. w[0 .. nw-1] holds the complex twiddle factors as chained sub-tables,
// w[nw .. nw+nc-1] the cosine table of the real-spectrum step (nw = nc = n/4 when built for n).
#pragma once

#include <cstdint>

namespace varnel {

void realFft(int n, int direction, double* a, int32_t* ip, double* w);

// Table builders (exposed for tests): the twiddle part for nw entries and the cosine part for
// nc entries, stored at c.
void buildFftTwiddles(int nw, int32_t* ip, double* w);
void buildFftCosines(int nc, int32_t* ip, double* c);

// A 256-point transform with its own tables, built once; what the transient detector uses.
class RealFft256 {
public:
    static constexpr int kLength = 256;
    RealFft256();
    void forward(double* a);

private:
    int32_t ip_[2 + 16];
    double w_[kLength / 2];
};

}  // namespace varnel
