// The Epanechnikov kernel shared by the log-density and the bandwidth search.
//
// Every operation is ordered as the results are defined: a row's sum runs
// over its columns in order, each term is (1 - u*u) * c with the constant
// multiplied into every term, u is a division by h (not a product with 1/h),
// and the build has no fused multiply-add. Changing any of this changes bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "core/views.hpp"

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

    // Fills out[i] with the log-density of row i of `table`, for every row,
    // in parallel over rows.
    void log_densities(const MatrixView<double>& table, double* out) const;

    // ln(max(s / denom, floor)) with maxNum semantics: NaN becomes the floor.
    double log_of_ratio(double s) const noexcept {
        const double r = s / denom;
        return std::log(r >= density_floor ? r : density_floor);
    }
};

}  // namespace quarnel::kde
