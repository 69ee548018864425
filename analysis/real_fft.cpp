// Real FFT through a complex FFT of half the length.
//
// The n reals form m = n/2 complex values z[j] = x[2j] + i x[2j+1]. Their transform with the
// kernel e^(+2 pi i j k / m) is separated into the spectrum of the real sequence: with
// Z[k] the complex transform, X[k] = (Z[k] + conj(Z[m-k])) / 2 + e^(2 pi i k / n) (Z[k] -
// conj(Z[m-k])) / (2i), evaluated for the pairs k, m - k at once with the cosine table.
#include "analysis/real_fft.h"

#include <cassert>
#include <cmath>
#include <utility>

namespace varnel {
namespace {

// Cosine and sine of 2 pi j / n for 0 <= j < n/2, read from the cosine table by octant
// symmetry. The table holds c[j] = cos(j t) / 2 and c[nc - j] = sin(j t) / 2 with
// t = pi / (2 nc), so that angle 2 pi j / n is table index j * stride, stride = 4 nc / n.
struct Rotation {
    double cos;
    double sin;
};

inline Rotation rotation(int j, int n, int nc, int stride, const double* c) {
    const int eighth = n / 8;
    auto octant = [&](int i) -> Rotation {  // 0 <= i <= n/8
        if (i == 0) return {1.0, 0.0};
        const int t = i * stride;
        return {2.0 * c[t], 2.0 * c[nc - t]};
    };
    if (j <= eighth) return octant(j);
    if (j <= 2 * eighth) {
        const Rotation r = octant(2 * eighth - j);
        return {r.sin, r.cos};
    }
    if (j <= 3 * eighth) {
        const Rotation r = octant(j - 2 * eighth);
        return {-r.sin, r.cos};
    }
    const Rotation r = octant(4 * eighth - j);
    return {-r.cos, r.sin};
}

// In-place complex FFT of m points (interleaved re/im) with kernel e^(+2 pi i j k / m):
// bit-reversal permutation, then radix-2 butterflies. Twiddles e^(2 pi i k / m) are angle
// 2 pi (2k) / n of the real transform's table.
void complexFft(double* a, int m, int n, int nc, int stride, const double* c) {
    for (int i = 1, j = 0; i < m; ++i) {
        int bit = m >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j |= bit;
        if (i < j) {
            std::swap(a[2 * i], a[2 * j]);
            std::swap(a[2 * i + 1], a[2 * j + 1]);
        }
    }
    for (int len = 2; len <= m; len <<= 1) {
        const int half = len / 2;
        const int step = m / len;  // twiddle index step in units of e^(2 pi i / m)
        for (int k = 0; k < half; ++k) {
            const Rotation r = rotation(2 * k * step, n, nc, stride, c);
            for (int s = k; s < m; s += len) {
                double* p = a + 2 * s;
                double* q = a + 2 * (s + half);
                const double tr = q[0] * r.cos - q[1] * r.sin;
                const double ti = q[0] * r.sin + q[1] * r.cos;
                q[0] = p[0] - tr;
                q[1] = p[1] - ti;
                p[0] += tr;
                p[1] += ti;
            }
        }
    }
}

}  // namespace

void buildFftTwiddles(int nw, int32_t* ip, double* w) {
    ip[0] = nw;
    ip[1] = 1;
    if (nw <= 2) {
        w[0] = 1.0;
        if (nw == 2) w[1] = std::cos(std::atan(1.0));
        return;
    }
    int nwh = nw >> 1;
    const double delta = std::atan(1.0) / nwh;
    w[0] = 1.0;
    w[1] = std::cos(delta * nwh);
    if (nwh >= 4) {
        w[2] = 0.5 / std::cos(delta * 2);
        w[3] = 0.5 / std::cos(delta * 6);
    }
    for (int j = 4; j < nwh; j += 4) {
        w[j] = std::cos(delta * j);
        w[j + 1] = std::sin(delta * j);
        w[j + 2] = std::cos(3 * delta * j);
        w[j + 3] = std::sin(3 * delta * j);
    }
    // Chained sub-tables for the halved sizes, each behind its parent.
    int base = 0;
    while (nwh > 2) {
        const int next = base + nwh;
        nwh >>= 1;
        w[next] = 1.0;
        w[next + 1] = w[1];
        if (nwh >= 4) {
            w[next + 2] = 0.5 / w[base + 4];
            w[next + 3] = 0.5 / w[base + 6];
        }
        for (int j = 4; j < nwh; j += 4) {
            w[next + j] = w[base + 2 * j];
            w[next + j + 1] = w[base + 2 * j + 1];
            w[next + j + 2] = w[base + 2 * j + 2];
            w[next + j + 3] = w[base + 2 * j + 3];
        }
        base = next;
    }
}

void buildFftCosines(int nc, int32_t* ip, double* c) {
    ip[1] = nc;
    if (nc <= 1) return;
    const int nch = nc >> 1;
    const double delta = std::atan(1.0) / nch;
    c[0] = std::cos(delta * nch);
    c[nch] = 0.5 * c[0];
    for (int j = 1; j < nch; ++j) {
        c[j] = 0.5 * std::cos(delta * j);
        c[nc - j] = 0.5 * std::sin(delta * j);
    }
}

void realFft(int n, int direction, double* a, int32_t* ip, double* w) {
    assert(n >= 4 && (n & (n - 1)) == 0);
    assert(direction == 1);
    (void)direction;
    if (n > 4 * ip[0]) buildFftTwiddles(n >> 2, ip, w);
    const int nw = ip[0];
    if (n > 4 * ip[1]) buildFftCosines(n >> 2, ip, w + nw);
    const int nc = ip[1];
    const double* c = w + nw;
    const int stride = 4 * nc / n;
    const int m = n / 2;

    if (n == 4) {
        // Two complex points: one butterfly.
        const double xr = a[0] - a[2];
        const double xi = a[1] - a[3];
        a[0] += a[2];
        a[1] += a[3];
        a[2] = xr;
        a[3] = xi;
    } else {
        complexFft(a, m, n, nc, stride, c);
        // Real-spectrum separation for the pairs (j, n - j) in the interleaved layout.
        const int ks = 2 * nc / m;  // table step per complex bin
        int kk = 0;
        for (int j = 2; j < m; j += 2) {
            const int k = n - j;
            kk += ks;
            const double wkr = 0.5 - c[nc - kk];
            const double wki = c[kk];
            const double xr = a[j] - a[k];
            const double xi = a[j + 1] + a[k + 1];
            const double yr = wkr * xr - wki * xi;
            const double yi = wkr * xi + wki * xr;
            a[j] -= yr;
            a[j + 1] -= yi;
            a[k] += yr;
            a[k + 1] -= yi;
        }
    }
    const double dc = a[0];
    a[0] = dc + a[1];
    a[1] = dc - a[1];
}

RealFft256::RealFft256() {
    ip_[0] = 0;
    ip_[1] = 0;
    buildFftTwiddles(kLength / 4, ip_, w_);
    buildFftCosines(kLength / 4, ip_, w_ + kLength / 4);
}

void RealFft256::forward(double* a) { realFft(kLength, 1, a, ip_, w_); }

}  // namespace varnel
