// The Kaiser window that both filter designs of the replication use (the downsampler's
// half-band filter and the analysis filterbank's prototype).
#pragma once

#include <cmath>

namespace varnel {

// Zeroth-order modified Bessel function of the first kind, by its power series.
inline double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; term > 1e-17 * sum; ++k) {
        term *= (x / (2 * k)) * (x / (2 * k));
        sum += term;
    }
    return sum;
}

// The window's value at `r` (-1 .. 1, 0 at its centre) for shape parameter `beta`.
inline double kaiserWindow(double beta, double r) {
    return besselI0(beta * std::sqrt(std::fmax(0.0, 1.0 - r * r))) / besselI0(beta);
}

}  // namespace varnel
