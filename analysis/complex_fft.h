// Radix-4 decimation-in-frequency FFT of m complex points (m a power of two), in place on
// interleaved (re, im) doubles, with the kernel e^(s 2 pi i j k / m), s = +1 or -1.
//
// One stage of length L (L = m, m/4, m/16, ... while L >= 4) splits every block of L points
// into quarters x0..x3 of q = L/4 points. With w = e^(s 2 pi i / L) and index n = k + q j,
// frequency f = 4 p + r:
//   X[4p + r] = sum_k (w^4)^(p k) * w^(k r) * y_r[k],   y_r[k] = sum_j x_j[k] (s i)^(j r),
// so each quarter becomes a q-point transform of y_r[k] w^(k r). Storing r = 0, 2, 1, 3 in the
// quarters 0, 1, 2, 3 (the order two radix-2 halvings would leave) makes the whole result come
// out in bit-reversed order; a last radix-2 stage of length 2 finishes odd powers of two. The
// caller undoes the order where it reads the result.
//
// The rotations w^k, w^2k, w^3k (k = 0 .. q-1) of each stage come from a Rotations object:
// `stage(L)` returns a reader whose `next()` yields them as three consecutive complex values.
// Two sources exist: a flat table built once per plan, and one that derives them from a
// caller's cosine table at run time (see real_fft.cpp); both give bit-identical results when
// they hold the same values.
#pragma once

#include <cassert>
#include <cstdint>
#include <vector>

#include "records/instruction_set.h"

#if VARNEL_HAS_VECTOR_BUILD
#include <immintrin.h>
#endif

namespace varnel::fft {

struct Complex {
    double re;
    double im;
};

inline Complex operator*(Complex a, Complex b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }

// The radix-4 butterfly of one index k over the quarters' points p0..p3: y_r for r = 0, 2, 1, 3,
// the order in which they are stored back into the quarters.
template <int Sign>
inline void butterfly4(const double* p0, const double* p1, const double* p2, const double* p3, Complex y[4]) {
    const double t0r = p0[0] + p2[0], t0i = p0[1] + p2[1];
    const double t1r = p0[0] - p2[0], t1i = p0[1] - p2[1];
    const double t2r = p1[0] + p3[0], t2i = p1[1] + p3[1];
    const double t3r = p1[0] - p3[0], t3i = p1[1] - p3[1];
    // s i t3 = (-s t3i, s t3r)
    y[0] = {t0r + t2r, t0i + t2i};
    y[1] = {t0r - t2r, t0i - t2i};
    y[2] = {t1r - Sign * t3i, t1i + Sign * t3r};
    y[3] = {t1r + Sign * t3i, t1i - Sign * t3r};
}

inline void store(double* p, Complex v) {
    p[0] = v.re;
    p[1] = v.im;
}

// The transform itself. `Sign` is s; `rotations.stage(L)` is called once per radix-4 stage
// longer than 4 and its reader's next() once per k = 1 .. q-1 (k = 0 needs no rotation).
// Always inlined: each build of its callers (see records/instruction_set.h) gets its own.
template <int Sign, typename Rotations>
VARNEL_KERNEL_BODY void radix4Transform(double* a, int m, const Rotations& rotations) {
    static_assert(Sign == 1 || Sign == -1);
    int length = m;
    for (; length > 4; length /= 4) {
        const int q = length / 4;
        auto reader = rotations.stage(length);
        Complex y[4];
        // k = 0: every rotation is 1.
        for (int block = 0; block < m; block += length) {
            double* p0 = a + 2 * block;
            butterfly4<Sign>(p0, p0 + 2 * q, p0 + 4 * q, p0 + 6 * q, y);
            for (int r = 0; r < 4; ++r) store(p0 + 2 * q * r, y[r]);
        }
        for (int k = 1; k < q; ++k) {
            const Complex* w = reader.next();  // w^k, w^2k, w^3k
            const Complex w1 = w[0], w2 = w[1], w3 = w[2];
            for (int block = 0; block < m; block += length) {
                double* p0 = a + 2 * (block + k);
                butterfly4<Sign>(p0, p0 + 2 * q, p0 + 4 * q, p0 + 6 * q, y);
                store(p0, y[0]);
                store(p0 + 2 * q, y[1] * w2);
                store(p0 + 4 * q, y[2] * w1);
                store(p0 + 6 * q, y[3] * w3);
            }
        }
    }
    if (length == 4) {
        Complex y[4];
        for (double* p = a; p < a + 2 * m; p += 8) {
            butterfly4<Sign>(p, p + 2, p + 4, p + 6, y);
            for (int r = 0; r < 4; ++r) store(p + 2 * r, y[r]);
        }
    } else if (length == 2) {
        for (double* p = a; p < a + 2 * m; p += 4) {
            const double dr = p[0] - p[2], di = p[1] - p[3];
            p[0] += p[2];
            p[1] += p[3];
            p[2] = dr;
            p[3] = di;
        }
    }
}

// i written backwards in `bits` bits.
inline int reverseBits(int i, int bits) {
    int r = 0;
    for (int b = 0; b < bits; ++b, i >>= 1) r = (r << 1) | (i & 1);
    return r;
}

inline int log2Exact(int m) {
    int bits = 0;
    while ((1 << bits) < m) ++bits;
    return bits;
}

// Rotations held in one flat table, stage after stage, built once by `fill(L, k) -> w^k`
// evaluated for k = 1 .. 3(q-1).
class RotationTable {
public:
    class Reader {
    public:
        explicit Reader(const Complex* p) : p_(p) {}
        const Complex* next() {
            const Complex* w = p_;
            p_ += 3;
            return w;
        }

    private:
        const Complex* p_;
    };

    RotationTable() = default;
    template <typename Rotation>
    RotationTable(int m, Rotation rotation) {
        for (int length = m; length > 4; length /= 4) {
            const int q = length / 4;
            starts_.push_back({length, static_cast<int>(table_.size()), static_cast<int>(paired_.size())});
            for (int k = 1; k < q; ++k)
                for (int r = 1; r <= 3; ++r) table_.push_back(rotation(length, r * k));
            // The same rotations for two indices k, k + 1 at a time (k even): w^k, w^(k+1),
            // w^2k, w^2(k+1), w^3k, w^3(k+1); k = 0 holds 1, which the vector transform does
            // not multiply by.
            for (int k = 0; k < q; k += 2)
                for (int r = 1; r <= 3; ++r)
                    for (int j = k; j < k + 2; ++j)
                        paired_.push_back(j == 0 ? Complex{1.0, 0.0} : rotation(length, r * j));
        }
    }
    Reader stage(int length) const { return Reader(table_.data() + find(length).offset); }
    const Complex* pairedStage(int length) const { return paired_.data() + find(length).pairedOffset; }

private:
    struct Start {
        int length;
        int offset;
        int pairedOffset;
    };
    const Start& find(int length) const {
        for (const Start& s : starts_)
            if (s.length == length) return s;
        assert(false && "no rotations for this stage length");
        return starts_.front();
    }
    std::vector<Start> starts_;
    std::vector<Complex> table_;
    std::vector<Complex> paired_;
};

#if VARNEL_HAS_VECTOR_BUILD
// The transform with a RotationTable in the vector build: each radix-4 stage does two indices
// k, k + 1 per instruction (two complex values in one register), the last stage two points
// or one block of four at a time. Every value goes through the same operations as in
// radix4Transform, so the results are identical.
namespace avx2 {

// a * b per complex lane with operator*'s products; the imaginary part's sum has its terms
// in the other order, which leaves it unchanged.
VARNEL_VECTOR_TARGET inline __m256d multiply(__m256d a, __m256d b) {
    const __m256d bre = _mm256_movedup_pd(b);      // (b.re, b.re)
    const __m256d bim = _mm256_permute_pd(b, 0xF);  // (b.im, b.im)
    const __m256d swapped = _mm256_permute_pd(a, 0x5);  // (a.im, a.re)
    return _mm256_addsub_pd(_mm256_mul_pd(a, bre), _mm256_mul_pd(swapped, bim));
}

// butterfly4 on two indices at once.
template <int Sign>
VARNEL_VECTOR_TARGET inline void butterfly4(const double* p0, const double* p1, const double* p2, const double* p3,
                                            __m256d y[4]) {
    const __m256d x0 = _mm256_loadu_pd(p0), x1 = _mm256_loadu_pd(p1);
    const __m256d x2 = _mm256_loadu_pd(p2), x3 = _mm256_loadu_pd(p3);
    const __m256d t0 = _mm256_add_pd(x0, x2), t1 = _mm256_sub_pd(x0, x2);
    const __m256d t2 = _mm256_add_pd(x1, x3), t3 = _mm256_sub_pd(x1, x3);
    y[0] = _mm256_add_pd(t0, t2);
    y[1] = _mm256_sub_pd(t0, t2);
    const __m256d t3swapped = _mm256_permute_pd(t3, 0x5);  // (t3i, t3r)
    const __m256d sum = _mm256_add_pd(t1, t3swapped);      // (t1r + t3i, t1i + t3r)
    const __m256d difference = _mm256_sub_pd(t1, t3swapped);  // (t1r - t3i, t1i - t3r)
    // Sign +1: y2 = (t1r - t3i, t1i + t3r), y3 = (t1r + t3i, t1i - t3r); Sign -1 the other way.
    const __m256d minusPlus = _mm256_blend_pd(difference, sum, 0xA);
    const __m256d plusMinus = _mm256_blend_pd(sum, difference, 0xA);
    y[2] = Sign == 1 ? minusPlus : plusMinus;
    y[3] = Sign == 1 ? plusMinus : minusPlus;
}

template <int Sign>
VARNEL_VECTOR_TARGET inline void radix4Transform(double* a, int m, const RotationTable& rotations) {
    static_assert(Sign == 1 || Sign == -1);
    int length = m;
    for (; length > 4; length /= 4) {
        const int q = length / 4;
        const double* w = reinterpret_cast<const double*>(rotations.pairedStage(length));
        __m256d y[4];
        // k = 0, 1: the rotations of k = 0 are 1, so its lane keeps the unrotated values.
        {
            const __m256d w1 = _mm256_loadu_pd(w), w2 = _mm256_loadu_pd(w + 4), w3 = _mm256_loadu_pd(w + 8);
            for (int block = 0; block < m; block += length) {
                double* p0 = a + 2 * block;
                butterfly4<Sign>(p0, p0 + 2 * q, p0 + 4 * q, p0 + 6 * q, y);
                _mm256_storeu_pd(p0, y[0]);
                _mm256_storeu_pd(p0 + 2 * q, _mm256_blend_pd(multiply(y[1], w2), y[1], 0x3));
                _mm256_storeu_pd(p0 + 4 * q, _mm256_blend_pd(multiply(y[2], w1), y[2], 0x3));
                _mm256_storeu_pd(p0 + 6 * q, _mm256_blend_pd(multiply(y[3], w3), y[3], 0x3));
            }
        }
        w += 12;
        for (int k = 2; k < q; k += 2, w += 12) {
            const __m256d w1 = _mm256_loadu_pd(w), w2 = _mm256_loadu_pd(w + 4), w3 = _mm256_loadu_pd(w + 8);
            for (int block = 0; block < m; block += length) {
                double* p0 = a + 2 * (block + k);
                butterfly4<Sign>(p0, p0 + 2 * q, p0 + 4 * q, p0 + 6 * q, y);
                _mm256_storeu_pd(p0, y[0]);
                _mm256_storeu_pd(p0 + 2 * q, multiply(y[1], w2));
                _mm256_storeu_pd(p0 + 4 * q, multiply(y[2], w1));
                _mm256_storeu_pd(p0 + 6 * q, multiply(y[3], w3));
            }
        }
    }
    if (length == 4) {
        // One block of four points: x0 x1 | x2 x3.
        for (double* p = a; p < a + 2 * m; p += 8) {
            const __m256d v0 = _mm256_loadu_pd(p), v1 = _mm256_loadu_pd(p + 4);
            const __m256d s = _mm256_add_pd(v0, v1);  // (t0, t2)
            const __m256d d = _mm256_sub_pd(v0, v1);  // (t1, t3)
            const __m256d low = _mm256_permute2f128_pd(s, d, 0x20);  // (t0, t1)
            // (t2, t3 swapped): (t2r, t2i, t3i, t3r)
            const __m256d high = _mm256_permute_pd(_mm256_permute2f128_pd(s, d, 0x31), 0x6);
            const __m256d sum = _mm256_add_pd(low, high);         // (t0 + t2, t1r + t3i, t1i + t3r)
            const __m256d difference = _mm256_sub_pd(low, high);  // (t0 - t2, t1r - t3i, t1i - t3r)
            _mm256_storeu_pd(p, _mm256_permute2f128_pd(sum, difference, 0x20));  // y0, y1
            const __m256d h = _mm256_permute2f128_pd(sum, difference, 0x31);
            // h = (t1r + t3i, t1i + t3r, t1r - t3i, t1i - t3r)
            _mm256_storeu_pd(p + 4, Sign == 1 ? _mm256_permute4x64_pd(h, 0xC6)    // (h2 h1 h0 h3)
                                              : _mm256_permute4x64_pd(h, 0x6C));  // (h0 h3 h2 h1)
        }
    } else if (length == 2) {
        for (double* p = a; p < a + 2 * m; p += 4) {
            const __m256d v = _mm256_loadu_pd(p);
            const __m256d swapped = _mm256_permute2f128_pd(v, v, 0x01);
            // (x0 + x1, x0 - x1): the sum's low half, the high half of (x1 - x0, x0 - x1).
            _mm256_storeu_pd(p, _mm256_blend_pd(_mm256_add_pd(v, swapped), _mm256_sub_pd(swapped, v), 0xC));
        }
    }
}

}  // namespace avx2
#endif

}  // namespace varnel::fft
