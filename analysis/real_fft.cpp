// Real FFT through a complex FFT of half the length.
//
// The n reals form m = n/2 complex values z[j] = x[2j] + i x[2j+1]. Their transform Z with the
// kernel e^(+2 pi i j k / m) is separated into the spectrum of the real sequence:
//   X[k] = (Z[k] + conj(Z[m-k])) / 2 + e^(2 pi i k / n) (Z[k] - conj(Z[m-k])) / (2i),
// evaluated for the pairs k, m - k at once with the cosine table; X[0] and X[m] (the DC and
// Nyquist values, both real) come from Z[0] alone.
#include "analysis/real_fft.h"

#include <cassert>
#include <cmath>
#include <utility>

#include "records/instruction_set.h"

namespace varnel {
namespace {

using fft::Complex;

// e^(2 pi i j / n) for 0 <= j < n, read from the cosine table c of nc entries by octant
// symmetry. Angle 2 pi j / n is table angle (j stride) pi / (2 nc) with stride = 4 nc / n; the
// table holds cos and sin (halved) for table angles up to pi/4, i.e. j up to n/8.
class CosineTableRotations {
public:
    CosineTableRotations(int n, int nc, const double* c) : n_(n), eighth_(n / 8), nc_(nc), stride_(4 * nc / n), c_(c) {}

    Complex unit(int j) const {
        const int e = eighth_;
        if (j <= e) return firstOctant(j);
        if (j <= 2 * e) {
            const Complex r = firstOctant(2 * e - j);
            return {r.im, r.re};
        }
        if (j <= 3 * e) {
            const Complex r = firstOctant(j - 2 * e);
            return {-r.im, r.re};
        }
        if (j <= 4 * e) {
            const Complex r = firstOctant(4 * e - j);
            return {-r.re, r.im};
        }
        const Complex r = unit(j - 4 * e);
        return {-r.re, -r.im};
    }

    // Rotation w^p of a stage of length L complex points (w = e^(2 pi i / L)): j = p n / L.
    Complex stageRotation(int length, int power) const { return unit(power * (n_ / length)); }

    // Reader for the radix-4 kernel: w^k, w^2k, w^3k for k = 1, 2, ...
    class Reader {
    public:
        Reader(const CosineTableRotations& table, int length) : table_(table), length_(length) {}
        const Complex* next() {
            ++k_;
            for (int r = 1; r <= 3; ++r) w_[r - 1] = table_.stageRotation(length_, r * k_);
            return w_;
        }

    private:
        const CosineTableRotations& table_;
        int length_;
        int k_ = 0;
        Complex w_[3];
    };
    Reader stage(int length) const { return Reader(*this, length); }

private:
    Complex firstOctant(int j) const {  // 0 <= j <= n/8
        if (j == 0) return {1.0, 0.0};
        const int t = j * stride_;
        return {2.0 * c_[t], 2.0 * c_[nc_ - t]};
    }

    int n_, eighth_, nc_, stride_;
    const double* c_;
};

// Step after the complex transform (Z in natural order in a): the real spectrum in place.
VARNEL_KERNEL_BODY void separateRealSpectrum(int n, double* a, int nc, const double* c) {
    const int m = n / 2;
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
    const double dc = a[0];
    a[0] = dc + a[1];
    a[1] = dc - a[1];
}

#if VARNEL_HAS_VECTOR_BUILD
// separateRealSpectrum with the factors (wkr, wki) of each complex bin j = 1 .. n/4 - 1 read
// from a table, two bins and their mirrors n/2 - j at a time, each value through the same
// operations.
VARNEL_VECTOR_TARGET inline void separateRealSpectrumAvx2(int n, double* a, const fft::Complex* factors) {
    const int quarter = n / 4;
    // Bin 1 alone, so that the pairs (j, j + 1) start at an even j and end at quarter - 1.
    auto single = [&](int bin) {
        const int j = 2 * bin, k = n - 2 * bin;
        const double wkr = factors[bin].re, wki = factors[bin].im;
        const double xr = a[j] - a[k], xi = a[j + 1] + a[k + 1];
        const double yr = wkr * xr - wki * xi, yi = wkr * xi + wki * xr;
        a[j] -= yr;
        a[j + 1] -= yi;
        a[k] += yr;
        a[k + 1] -= yi;
    };
    if (quarter > 1) single(1);
    const __m256d negateImaginary = _mm256_setr_pd(0.0, -0.0, 0.0, -0.0);
    for (int bin = 2; bin + 1 < quarter; bin += 2) {
        double* lower = a + 2 * bin;               // bins bin, bin + 1
        double* upper = a + n - 2 * (bin + 1);     // bins n/2 - bin - 1, n/2 - bin
        const __m256d z = _mm256_loadu_pd(lower);
        const __m256d u = _mm256_loadu_pd(upper);
        const __m256d mirror = _mm256_permute2f128_pd(u, u, 0x01);  // bins n/2 - bin, n/2 - bin - 1
        const __m256d x = _mm256_addsub_pd(z, mirror);              // (a[j] - a[k], a[j+1] + a[k+1])
        const __m256d y = fft::avx2::multiply(_mm256_loadu_pd(&factors[bin].re), x);
        _mm256_storeu_pd(lower, _mm256_sub_pd(z, y));
        // (a[k] + yr, a[k+1] - yi), the latter as a[k+1] + (-yi), which is the same.
        const __m256d mirrored = _mm256_add_pd(mirror, _mm256_xor_pd(y, negateImaginary));
        _mm256_storeu_pd(upper, _mm256_permute2f128_pd(mirrored, mirrored, 0x01));
    }
    const double dc = a[0];
    a[0] = dc + a[1];
    a[1] = dc - a[1];
}
#endif

VARNEL_KERNEL_BODY void swapComplex(double* a, int i, int j) {
    std::swap(a[2 * i], a[2 * j]);
    std::swap(a[2 * i + 1], a[2 * j + 1]);
}

}  // namespace

void buildFftTwiddles(int nw, int32_t* ip, double* w) {
    ip[0] = nw;
    ip[1] = 1;
    const double quarterPi = std::atan(1.0);
    w[0] = 1.0;
    if (nw <= 2) {
        if (nw == 2) w[1] = std::cos(quarterPi);
        return;
    }
    int nwh = nw >> 1;
    const double delta = quarterPi / nwh;
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

    const int m = n / 2;
    fft::radix4Transform<1>(a, m, CosineTableRotations(n, nc, c));
    const int bits = fft::log2Exact(m);
    for (int i = 1; i < m; ++i) {
        const int j = fft::reverseBits(i, bits);
        if (i < j) swapComplex(a, i, j);
    }
    separateRealSpectrum(n, a, nc, c);
}

RealFftPlan::RealFftPlan(int n) : n_(n), w_(n / 2) {
    assert(n >= 8 && (n & (n - 1)) == 0 && n <= 2048);  // ip_ holds 2 + sqrt(n / 2) entries
    ip_[0] = 0;
    ip_[1] = 0;
    buildFftTwiddles(n / 4, ip_, w_.data());
    buildFftCosines(n / 4, ip_, w_.data() + ip_[0]);
    const CosineTableRotations table(n, ip_[1], w_.data() + ip_[0]);
    const int m = n / 2;
    rotations_ = fft::RotationTable(m, [&](int length, int power) { return table.stageRotation(length, power); });
    const int bits = fft::log2Exact(m);
    for (int i = 1; i < m; ++i) {
        const int j = fft::reverseBits(i, bits);
        if (i < j) {
            swaps_.push_back(i);
            swaps_.push_back(j);
        }
    }
    // The separation's factors per complex bin, as separateRealSpectrum reads them.
    const int nc = ip_[1];
    const double* c = w_.data() + ip_[0];
    const int ks = 2 * nc / m;
    separationFactors_.resize(n / 4);
    for (int bin = 1, kk = ks; bin < n / 4; ++bin, kk += ks) separationFactors_[bin] = {0.5 - c[nc - kk], c[kk]};
}

template <bool Vector>
VARNEL_KERNEL_BODY void RealFftPlan::transform(const RealFftPlan& plan, double* a) {
#if VARNEL_HAS_VECTOR_BUILD
    if constexpr (Vector)
        fft::avx2::radix4Transform<1>(a, plan.n_ / 2, plan.rotations_);
    else
#endif
        fft::radix4Transform<1>(a, plan.n_ / 2, plan.rotations_);
#if VARNEL_HAS_VECTOR_BUILD
    if constexpr (Vector) {
        // Each swap moves two complex values whole.
        for (size_t s = 0; s < plan.swaps_.size(); s += 2) {
            double* x = a + 2 * plan.swaps_[s];
            double* y = a + 2 * plan.swaps_[s + 1];
            const __m128d t = _mm_loadu_pd(x);
            _mm_storeu_pd(x, _mm_loadu_pd(y));
            _mm_storeu_pd(y, t);
        }
        separateRealSpectrumAvx2(plan.n_, a, plan.separationFactors_.data());
        return;
    }
#endif
    for (size_t s = 0; s < plan.swaps_.size(); s += 2) swapComplex(a, plan.swaps_[s], plan.swaps_[s + 1]);
    separateRealSpectrum(plan.n_, a, plan.ip_[1], plan.w_.data() + plan.ip_[0]);
}

void RealFftPlan::transformScalar(const RealFftPlan& plan, double* a) { transform<false>(plan, a); }
VARNEL_VECTOR_TARGET void RealFftPlan::transformVector(const RealFftPlan& plan, double* a) { transform<true>(plan, a); }

void RealFftPlan::forward(double* a) const { forwardWith(useVectorKernels(), a); }

void RealFftPlan::forwardWith(bool vector, double* a) const { (vector ? transformVector : transformScalar)(*this, a); }

}  // namespace varnel
