// Derivation. With N = 2M and the block split into quarters a, b, c, d of M/2 samples, the
// MDCT equals 2 * DCT-IV of the folded sequence u = (-c_r - d, a - b_r) (r: reversed):
//   u[n] = -z[3M/2 + n] - z[3M/2 - 1 - n],   n < M/2
//   u[n] =  z[n - M/2] - z[3M/2 - 1 - n],    n >= M/2
//   X[k] = 2 * sum_n u[n] cos(pi / M (n + 1/2)(k + 1/2)).
// Pairing u[2p] with u[M-1-2p] as t[p] = u[2p] + i u[M-1-2p] and expanding
// (2p + 1/2)(2q + 1/2) = 4pq + p + q + 1/4 gives
//   W[q] = e^(-i pi (q + 1/4) / M) * DFT_{M/2}( t[p] e^(-i pi p / M) )[q],
//   X[2q] = 2 Re W[q],   X[M - 1 - 2q] = -2 Im W[q].
#include "analysis/mdct.h"

#include <cassert>
#include <cmath>
#include <complex>

namespace varnel {
namespace {
constexpr double kPi = 3.14159265358979323846;
constexpr int kMaxPoints = 1024 / 2;  // FFT points of the long transform
}

Mdct::Mdct(int halfLength) : m_(halfLength) {
    assert(halfLength >= 8 && (halfLength & (halfLength - 1)) == 0);
    const int points = m_ / 2;
    assert(points <= kMaxPoints);
    preCos_.resize(points);
    preSin_.resize(points);
    postCos_.resize(points);
    postSin_.resize(points);
    for (int p = 0; p < points; ++p) {
        const std::complex<double> pre = std::polar(1.0, -kPi * p / m_);
        const std::complex<double> post = std::polar(2.0, -kPi * (p + 0.25) / m_);
        preCos_[p] = pre.real();
        preSin_[p] = pre.imag();
        postCos_[p] = post.real();
        postSin_[p] = post.imag();
    }
    // The stage twiddle e^(-2 pi i k / (2h)) is the full-size factor of index k * points / (2h);
    // taking it from the one full-size table keeps every stage's values identical to it.
    std::vector<std::complex<double>> twiddle(points / 2);
    for (int k = 0; k < points / 2; ++k) twiddle[k] = std::polar(1.0, -2.0 * kPi * k / points);
    stageCos_.resize(points);
    stageSin_.resize(points);
    for (int half = 1; half < points; half <<= 1) {
        const int stride = points / (2 * half);
        for (int k = 0; k < half; ++k) {
            stageCos_[half - 1 + k] = twiddle[k * stride].real();
            stageSin_[half - 1 + k] = twiddle[k * stride].imag();
        }
    }
    bitReverse_.resize(points);
    int bits = 0;
    while ((1 << bits) < points) ++bits;
    for (int i = 0; i < points; ++i) {
        int r = 0;
        for (int b = 0; b < bits; ++b)
            if (i & (1 << b)) r |= 1 << (bits - 1 - b);
        bitReverse_[i] = r;
    }
}

void Mdct::forward(std::span<const double> z, std::span<double> out) const {
    assert(static_cast<int>(z.size()) == 2 * m_ && static_cast<int>(out.size()) == m_);
    const int m = m_;
    const int half = m / 2;
    const int points = m / 2;
    const double* in = z.data();
    alignas(64) double re[kMaxPoints];
    alignas(64) double im[kMaxPoints];

    // Fold, pair and pre-rotate straight into bit-reversed order for the FFT. The first half
    // of the pairs reads u[n] for n < M/2 (its even member) and n >= M/2 (its odd member).
    auto rotateInto = [&](int p, double tr, double ti) {
        const int r = bitReverse_[p];
        re[r] = tr * preCos_[p] - ti * preSin_[p];
        im[r] = tr * preSin_[p] + ti * preCos_[p];
    };
    for (int p = 0; p < points / 2; ++p) {
        const int n = 2 * p;          // < M/2
        const int o = m - 1 - 2 * p;  // >= M/2
        rotateInto(p, -in[3 * half + n] - in[3 * half - 1 - n], in[o - half] - in[3 * half - 1 - o]);
    }
    for (int p = points / 2; p < points; ++p) {
        const int n = 2 * p;          // >= M/2
        const int o = m - 1 - 2 * p;  // < M/2
        rotateInto(p, in[n - half] - in[3 * half - 1 - n], -in[3 * half + o] - in[3 * half - 1 - o]);
    }

    // Radix-2 decimation in time, kernel e^(-2 pi i / points).
    for (int s = 0; s < points; s += 2) {
        const double w0 = stageCos_[0], w1 = stageSin_[0];
        const double br = re[s + 1] * w0 - im[s + 1] * w1;
        const double bi = re[s + 1] * w1 + im[s + 1] * w0;
        const double ar = re[s], ai = im[s];
        re[s] = ar + br;
        im[s] = ai + bi;
        re[s + 1] = ar - br;
        im[s + 1] = ai - bi;
    }
    for (int span = 2; span < points; span <<= 1) {
        const double* wc = stageCos_.data() + span - 1;
        const double* ws = stageSin_.data() + span - 1;
        for (int s = 0; s < points; s += 2 * span) {
            double* aRe = re + s;
            double* aIm = im + s;
            double* bRe = re + s + span;
            double* bIm = im + s + span;
            for (int k = 0; k < span; ++k) {
                const double br = bRe[k] * wc[k] - bIm[k] * ws[k];
                const double bi = bRe[k] * ws[k] + bIm[k] * wc[k];
                const double ar = aRe[k], ai = aIm[k];
                aRe[k] = ar + br;
                aIm[k] = ai + bi;
                bRe[k] = ar - br;
                bIm[k] = ai - bi;
            }
        }
    }

    for (int q = 0; q < points; ++q) {
        out[2 * q] = re[q] * postCos_[q] - im[q] * postSin_[q];
        out[m - 1 - 2 * q] = -(re[q] * postSin_[q] + im[q] * postCos_[q]);
    }
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
