// Derivation. With N = 2M and the block split into quarters a, b, c, d of M/2 samples, the
// MDCT equals 2 * DCT-IV of the folded sequence u = (-c_r - d, a - b_r) (r: reversed):
//   u[n] = -z[3M/2 + n] - z[3M/2 - 1 - n],   n < M/2
//   u[n] =  z[n - M/2] - z[3M/2 - 1 - n],    n >= M/2
//   X[k] = 2 * sum_n u[n] cos(pi / M (n + 1/2)(k + 1/2)).
// Pairing u[2p] with u[M-1-2p] as t[p] = u[2p] + i u[M-1-2p] and expanding
// (2p + 1/2)(2q + 1/2) = 4pq + p + q + 1/4 gives
//   W[q] = e^(-i pi (q + 1/4) / M) * DFT_{M/2}( t[p] e^(-i pi p / M) )[q],
//   X[2q] = 2 Re W[q],   X[M - 1 - 2q] = -2 Im W[q],
// because the cosine of the mirrored index M-1-2p is the sine of index 2p. The FFT delivers
// its bins in bit-reversed order, which the post-rotation undoes as it reads them.
#include "analysis/mdct.h"

#include <cassert>
#include <cmath>

#include "records/instruction_set.h"

namespace varnel {
namespace {
constexpr double kPi = 3.14159265358979323846;

fft::Complex polar(double radius, double angle) { return {radius * std::cos(angle), radius * std::sin(angle)}; }
}  // namespace

Mdct::Mdct(int halfLength) : m_(halfLength) {
    assert(halfLength >= 8 && halfLength <= kMaxHalfLength && (halfLength & (halfLength - 1)) == 0);
    const int points = m_ / 2;
    preRotation_.resize(points);
    postRotation_.resize(points);
    for (int p = 0; p < points; ++p) {
        preRotation_[p] = polar(1.0, -kPi * p / m_);
        postRotation_[p] = polar(2.0, -kPi * (p + 0.25) / m_);
    }
    fftRotations_ = fft::RotationTable(points, [](int length, int power) {
        return polar(1.0, -2.0 * kPi * power / length);
    });
    const int bits = fft::log2Exact(points);
    bitReverse_.resize(points);
    for (int q = 0; q < points; ++q) bitReverse_[q] = fft::reverseBits(q, bits);
}

#if VARNEL_HAS_VECTOR_BUILD
namespace {
// (p[0], p[2], p[4], p[6]).
VARNEL_VECTOR_TARGET inline __m256d evenAscending(const double* p) {
    return _mm256_permute4x64_pd(_mm256_unpacklo_pd(_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)), 0xD8);
}
// (p[7], p[5], p[3], p[1]).
VARNEL_VECTOR_TARGET inline __m256d oddDescending(const double* p) {
    return _mm256_permute4x64_pd(_mm256_unpackhi_pd(_mm256_loadu_pd(p), _mm256_loadu_pd(p + 4)), 0x27);
}
// Pairs p .. p + 3 of (ue, uo), times their rotations, into buffer.
VARNEL_VECTOR_TARGET inline void rotateAndStore(double* buffer, const fft::Complex* rotation, int p, __m256d ue,
                                                __m256d uo) {
    const __m256d low = _mm256_unpacklo_pd(ue, uo), high = _mm256_unpackhi_pd(ue, uo);
    const __m256d first = _mm256_permute2f128_pd(low, high, 0x20);   // pairs p, p + 1
    const __m256d second = _mm256_permute2f128_pd(low, high, 0x31);  // pairs p + 2, p + 3
    _mm256_storeu_pd(buffer + 2 * p, fft::avx2::multiply(first, _mm256_loadu_pd(&rotation[p].re)));
    _mm256_storeu_pd(buffer + 2 * p + 4, fft::avx2::multiply(second, _mm256_loadu_pd(&rotation[p + 2].re)));
}
}  // namespace

// The fold and pre-rotation of transform() for pairs p = 4t .. 4t + 3 of each half, with the
// same operations per value; returns the count of pairs per half it did (a multiple of 4).
VARNEL_VECTOR_TARGET inline int Mdct::foldAvx2(const Mdct& plan, const double* z, double* buffer) {
    const int h = plan.m_ / 2;  // also the number of pairs
    const int done = (h / 2) & ~3;
    const __m256d signs = _mm256_set1_pd(-0.0);
    const fft::Complex* rotation = plan.preRotation_.data();
    for (int p = 0; p < done; p += 4) {
        // ue = -z[3h + 2p] - z[3h - 1 - 2p], uo = z[h - 1 - 2p] - z[h + 2p]
        const __m256d ue = _mm256_sub_pd(_mm256_xor_pd(evenAscending(z + 3 * h + 2 * p), signs),
                                         oddDescending(z + 3 * h - 8 - 2 * p));
        const __m256d uo = _mm256_sub_pd(oddDescending(z + h - 8 - 2 * p), evenAscending(z + h + 2 * p));
        rotateAndStore(buffer, rotation, p, ue, uo);
    }
    for (int p = h / 2; p < h / 2 + done; p += 4) {
        // ue = z[2p - h] - z[3h - 1 - 2p], uo = -z[5h - 1 - 2p] - z[h + 2p]
        const __m256d ue = _mm256_sub_pd(evenAscending(z + 2 * p - h), oddDescending(z + 3 * h - 8 - 2 * p));
        const __m256d uo = _mm256_sub_pd(_mm256_xor_pd(oddDescending(z + 5 * h - 8 - 2 * p), signs),
                                         evenAscending(z + h + 2 * p));
        rotateAndStore(buffer, rotation, p, ue, uo);
    }
    return done;
}

// The post-rotation below in AVX2, two bins at a time, with the same products; then the
// even outputs in bin order and the odd ones from the mirrored bins, negated.
VARNEL_VECTOR_TARGET inline void Mdct::postRotateAvx2(const Mdct& plan, const double* buffer, double* out) {
    const int points = plan.m_ / 2;
    alignas(32) double rotated[kMaxHalfLength];
    for (int q = 0; q < points; q += 2) {
        const __m128d first = _mm_loadu_pd(buffer + 2 * plan.bitReverse_[q]);
        const __m128d second = _mm_loadu_pd(buffer + 2 * plan.bitReverse_[q + 1]);
        const __m256d bins = _mm256_insertf128_pd(_mm256_castpd128_pd256(first), second, 1);
        _mm256_store_pd(rotated + 2 * q, fft::avx2::multiply(bins, _mm256_loadu_pd(&plan.postRotation_[q].re)));
    }
    // out[2q] = re(w_q), out[2q + 1] = -im(w_(points - 1 - q)).
    const __m256d signs = _mm256_set1_pd(-0.0);
    for (int q = 0; q < points; q += 2) {
        const __m256d w = _mm256_load_pd(rotated + 2 * q);
        const __m256d mirrored = _mm256_load_pd(rotated + 2 * (points - 2 - q));
        // (re, im) of bins a = points - 2 - q and b = a + 1, arranged as (., im_b, ., im_a).
        const __m256d arranged = _mm256_permute4x64_pd(mirrored, 0x6C);
        _mm256_storeu_pd(out + 2 * q, _mm256_blend_pd(w, _mm256_xor_pd(arranged, signs), 0xA));
    }
}
#endif

template <bool Vector>
VARNEL_KERNEL_BODY void Mdct::transform(const Mdct& plan, const double* zp, double* out) {
    const int m = plan.m_;
    const int half = m / 2;
    const int points = m / 2;
    double buffer[kMaxHalfLength];  // points complex values, interleaved
    // Fold, pair and pre-rotate. For p < M/4, 2p lies in the first half of u and M-1-2p in
    // the second; for p >= M/4 the other way round.
    auto store = [&](int p, double ue, double uo) {
        const fft::Complex r = plan.preRotation_[p];
        buffer[2 * p] = ue * r.re - uo * r.im;
        buffer[2 * p + 1] = ue * r.im + uo * r.re;
    };
    int vectorEnd = 0;  // the pairs below it are done four at a time (vector build)
#if VARNEL_HAS_VECTOR_BUILD
    if constexpr (Vector) vectorEnd = foldAvx2(plan, zp, buffer);
#endif
    for (int p = vectorEnd; p < points / 2; ++p) {
        const int even = 2 * p, odd = m - 1 - 2 * p;
        store(p, -zp[3 * half + even] - zp[3 * half - 1 - even], zp[odd - half] - zp[3 * half - 1 - odd]);
    }
    for (int p = points / 2 + vectorEnd; p < points; ++p) {
        const int even = 2 * p, odd = m - 1 - 2 * p;
        store(p, zp[even - half] - zp[3 * half - 1 - even], -zp[3 * half + odd] - zp[3 * half - 1 - odd]);
    }
#if VARNEL_HAS_VECTOR_BUILD
    if constexpr (Vector)
        fft::avx2::radix4Transform<-1>(buffer, points, plan.fftRotations_);
    else
#endif
        fft::radix4Transform<-1>(buffer, points, plan.fftRotations_);
#if VARNEL_HAS_VECTOR_BUILD
    if constexpr (Vector) {
        postRotateAvx2(plan, buffer, out);
        return;
    }
#endif
    for (int q = 0; q < points; ++q) {
        const int at = 2 * plan.bitReverse_[q];
        const fft::Complex w = fft::Complex{buffer[at], buffer[at + 1]} * plan.postRotation_[q];
        out[2 * q] = w.re;
        out[m - 1 - 2 * q] = -w.im;
    }
}

void Mdct::transformScalar(const Mdct& plan, const double* z, double* out) { transform<false>(plan, z, out); }
VARNEL_VECTOR_TARGET void Mdct::transformVector(const Mdct& plan, const double* z, double* out) {
    transform<true>(plan, z, out);
}

void Mdct::forward(std::span<const double> z, std::span<double> out) const { forwardWith(useVectorKernels(), z, out); }

void Mdct::forwardWith(bool vector, std::span<const double> z, std::span<double> out) const {
    assert(static_cast<int>(z.size()) == 2 * m_ && static_cast<int>(out.size()) == m_);
    (vector ? transformVector : transformScalar)(*this, z.data(), out.data());
}

const Mdct& longMdct() {
    static const Mdct plan(1024);
    return plan;
}

const Mdct& shortMdct() {
    static const Mdct plan(128);
    return plan;
}

}  // namespace varnel
