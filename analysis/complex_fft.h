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
template <int Sign, typename Rotations>
void radix4Transform(double* a, int m, const Rotations& rotations) {
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
            starts_.push_back({length, static_cast<int>(table_.size())});
            for (int k = 1; k < length / 4; ++k)
                for (int r = 1; r <= 3; ++r) table_.push_back(rotation(length, r * k));
        }
    }
    Reader stage(int length) const {
        for (const Start& s : starts_)
            if (s.length == length) return Reader(table_.data() + s.offset);
        assert(false && "no rotations for this stage length");
        return Reader(nullptr);
    }

private:
    struct Start {
        int length;
        int offset;
    };
    std::vector<Start> starts_;
    std::vector<Complex> table_;
};

}  // namespace varnel::fft
