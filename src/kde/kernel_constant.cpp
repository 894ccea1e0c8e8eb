// The kernel constant and the gamma function it needs: pure arithmetic on
// the C maths library, kept apart from the row loops.
#include "kde/kernel.hpp"

#include <cmath>

namespace quarnel::kde {

namespace {

constexpr double lanczos[9] = {
    0.9999999999998099,   676.5203681218851,     -1259.1392167224028,
    771.3234287776531,    -176.6150291621406,    12.507343278686905,
    -0.13857109526572012, 9.984369578019572e-06, 1.5056327351493116e-07,
};
constexpr double sqrt_two_pi = 2.5066282746310002;

}  // namespace

double gamma(double x) {
    if (x < 0.5) {
        // Reflection: Gamma(x) Gamma(1 - x) = pi / sin(pi x).
        const double s = std::sin(x * pi);
        return pi / (s * gamma(1.0 - x));
    }
    const double z = x - 1.0;
    double a = lanczos[1] / (z + 1.0) + lanczos[0];
    for (int i = 2; i <= 8; ++i) a = a + lanczos[i] / (z + static_cast<double>(i));
    const double t = (z + 7.0) + 0.5;
    return (std::exp(-t) * (std::pow(t, z + 0.5) * sqrt_two_pi)) * a;
}

double kernel_constant(std::uint64_t dim) {
    const double d = static_cast<double>(dim);
    double two_v;  // twice the unit-ball volume
    switch (dim) {
        case 1: two_v = 4.0; break;
        case 2: two_v = 6.283185307179586; break;  // 2 pi
        case 3: two_v = 8.377580409572781; break;  // 8 pi / 3
        default: {
            const double half = d / 2.0;
            const double q = std::pow(pi, half) / gamma(half + 1.0);
            two_v = q + q;
        }
    }
    return (d + 2.0) / two_v;
}

double integer_power(double h, std::uint64_t dim) {
    // The exponent is the low 32 bits of the dimension, read as signed.
    const auto e = static_cast<std::int32_t>(static_cast<std::uint32_t>(dim));
    const bool reciprocal = e < 0;
    // Walk the bits of |e| (as unsigned, so that INT32_MIN has a magnitude).
    std::uint32_t bits = reciprocal ? 0u - static_cast<std::uint32_t>(e) : static_cast<std::uint32_t>(e);
    double result = 1.0;
    double base = h;
    while (true) {
        if (bits & 1u) result *= base;
        bits >>= 1;
        if (bits == 0) break;
        base *= base;
    }
    return reciprocal ? 1.0 / result : result;
}

}  // namespace quarnel::kde
