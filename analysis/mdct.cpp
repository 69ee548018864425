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

namespace varnel {
namespace {
constexpr double kPi = 3.14159265358979323846;
}

Mdct::Mdct(int halfLength) : m_(halfLength) {
    assert(halfLength >= 8 && (halfLength & (halfLength - 1)) == 0);
    const int points = m_ / 2;
    preTwiddle_.resize(points);
    postTwiddle_.resize(points);
    for (int p = 0; p < points; ++p) {
        preTwiddle_[p] = std::polar(1.0, -kPi * p / m_);
        postTwiddle_[p] = std::polar(2.0, -kPi * (p + 0.25) / m_);
    }
    fftTwiddle_.resize(points / 2);
    for (int k = 0; k < points / 2; ++k) fftTwiddle_[k] = std::polar(1.0, -2.0 * kPi * k / points);
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
    // Fold, pair and pre-rotate straight into bit-reversed order for the FFT.
    std::complex<double> buffer[1024 / 2];
    assert(points <= 512);
    auto folded = [&](int n) {
        return n < half ? -z[3 * half + n] - z[3 * half - 1 - n] : z[n - half] - z[3 * half - 1 - n];
    };
    for (int p = 0; p < points; ++p) {
        const std::complex<double> t(folded(2 * p), folded(m - 1 - 2 * p));
        buffer[bitReverse_[p]] = t * preTwiddle_[p];
    }
    // Radix-2 decimation in time, kernel e^(-2 pi i / points).
    for (int len = 2; len <= points; len <<= 1) {
        const int span = len / 2;
        const int stride = points / len;
        for (int s = 0; s < points; s += len) {
            for (int k = 0; k < span; ++k) {
                const std::complex<double> w = fftTwiddle_[k * stride];
                const std::complex<double> a = buffer[s + k];
                const std::complex<double> b = buffer[s + k + span] * w;
                buffer[s + k] = a + b;
                buffer[s + k + span] = a - b;
            }
        }
    }
    for (int q = 0; q < points; ++q) {
        const std::complex<double> w = buffer[q] * postTwiddle_[q];
        out[2 * q] = w.real();
        out[m - 1 - 2 * q] = -w.imag();
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
