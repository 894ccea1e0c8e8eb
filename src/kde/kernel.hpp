// The Epanechnikov kernel shared by the log-density and the bandwidth search.
//
// Every operation here is ordered as the results are defined: the row sum runs
// over the columns in order, each term is (1 - u*u) * c with the constant
// multiplied into every term, u is a division by h (not a product with 1/h),
// and the build has no fused multiply-add. Changing any of this changes bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace quarnel::kde {

inline constexpr double pi = 3.141592653589793;

// Densities below this (or NaN) are replaced by it before the logarithm, so
// no log-density is below ln(1e-300).
inline constexpr double density_floor = 1e-300;

// Lanczos approximation (g = 7, nine coefficients) with the reflection
// formula below one half.
double gamma(double x);

// (d + 2) / (2 V_d), V_d the volume of the unit ball in d dimensions.
double kernel_constant(std::uint64_t dim);

// h^e by binary exponentiation from the lowest bit, the exponent being the
// dimension taken as a 32-bit signed integer; a negative exponent gives the
// reciprocal of the positive power.
double integer_power(double h, std::uint64_t dim);

// The per-call constants of one density evaluation.
struct Kernel {
    double h;      // bandwidth
    double c;      // kernel constant
    double denom;  // h^d * N

    Kernel(double bandwidth, std::uint64_t dim, std::uint64_t n_total)
        : h(bandwidth),
          c(kernel_constant(dim)),
          denom(integer_power(bandwidth, dim) * static_cast<double>(n_total)) {}

    // Log-density of one row of k distances, consecutive entries `stride`
    // elements apart.
    double log_density(const double* row, std::ptrdiff_t stride, std::size_t k) const noexcept {
        double s = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            const double u = row[static_cast<std::ptrdiff_t>(j) * stride] / h;
            // Adding +0.0 for a skipped column leaves s unchanged: s starts at
            // +0.0 and a sum is -0.0 only if both addends are, so the select
            // keeps the loop branch-free without changing any bit.
            const double term = (1.0 - u * u) * c;
            s = s + (u <= 1.0 ? term : 0.0);
        }
        return log_of_ratio(s);
    }

    // ln(max(s / denom, floor)) with maxNum semantics: NaN becomes the floor.
    double log_of_ratio(double s) const noexcept {
        const double r = s / denom;
        return std::log(r >= density_floor ? r : density_floor);
    }
};

}  // namespace quarnel::kde
