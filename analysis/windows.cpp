#include "analysis/windows.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace varnel {
namespace {

constexpr double kPi = 3.14159265358979323846;

// Zeroth-order modified Bessel function of the first kind by its power series
// I0(x) = sum_k ((x/2)^k / k!)^2, summed until the terms no longer change the result (all
// terms are positive, so the sum carries no cancellation; x stays below 19 here).
double besselI0(double x) {
    double sum = 1.0;
    double term = 1.0;
    const double half = x / 2.0;
    for (int k = 1; k < 200; ++k) {
        term *= half / k;
        const double t2 = term * term;
        sum += t2;
        if (t2 < sum * 1e-18) break;
    }
    return sum;
}

template <int Half>
std::array<float, Half> sineHalf() {
    std::array<float, Half> w{};
    for (int n = 0; n < Half; ++n) w[n] = static_cast<float>(std::sin(kPi / (2.0 * Half) * (n + 0.5)));
    return w;
}

// KBD rising half for window length N = 2 * Half: W'(j) = I0(pi alpha sqrt(1 - ((j - N/4) /
// (N/4))^2)) for j = 0 .. N/2, value(n) = sqrt(sum_{j<=n} W'(j) / sum_{j<=N/2} W'(j)).
template <int Half>
std::array<float, Half> kbdHalf(double alpha) {
    const int quarter = Half / 2;
    std::array<double, Half + 1> kernel{};
    double total = 0.0;
    for (int j = 0; j <= Half; ++j) {
        const double r = (j - quarter) / static_cast<double>(quarter);
        kernel[j] = besselI0(kPi * alpha * std::sqrt(std::max(0.0, 1.0 - r * r)));
        total += kernel[j];
    }
    std::array<float, Half> w{};
    double running = 0.0;
    for (int n = 0; n < Half; ++n) {
        running += kernel[n];
        w[n] = static_cast<float>(std::sqrt(running / total));
    }
    return w;
}

}  // namespace

std::span<const float> sineLongWindow() {
    static const auto w = sineHalf<kLongWindowHalf>();
    return w;
}
std::span<const float> sineShortWindow() {
    static const auto w = sineHalf<kShortWindowHalf>();
    return w;
}
std::span<const float> kbdLongWindow() {
    static const auto w = kbdHalf<kLongWindowHalf>(4.0);
    return w;
}
std::span<const float> kbdShortWindow() {
    static const auto w = kbdHalf<kShortWindowHalf>(6.0);
    return w;
}

}  // namespace varnel
