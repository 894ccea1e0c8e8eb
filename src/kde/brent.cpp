// Bandwidth selection: Brent's minimisation (golden-section steps combined
// with parabolic interpolation) of the mean negative log-density of held-out
// points.
#include <cmath>

#include "core/parallel.hpp"
#include "core/stop.hpp"
#include "kde/kde.hpp"
#include "kde/kernel.hpp"

namespace quarnel::kde {

namespace {

constexpr double golden = 0.3819660112501051;  // (3 - sqrt 5) / 2
constexpr double abs_tol = 1e-10;
constexpr double same_point = 1e-15;  // |a - b| below this: the same point
constexpr std::uint64_t max_evaluations = 101;

// The test negative log-likelihood f(h). The distance table is copied once
// into a row-major buffer and one buffer of row terms serves every
// evaluation.
class TestLikelihood {
public:
    TestLikelihood(const MatrixView<double>& table, std::uint64_t dim, std::uint64_t n_train)
        : k_(table.cols), dim_(dim), n_train_(n_train), table_(table.rows * table.cols) {
        // Rows are copied in parallel; each row fills only its own slots.
        double* out = table_.data();
        const std::size_t k = k_;
        parallel_for(table.rows, [&](std::size_t i) {
            for (std::size_t j = 0; j < k; ++j) out[i * k + j] = table(i, j);
        });
        terms_.resize(table.rows);
    }

    double operator()(double h) {
        // The row count is the buffer length over the row width.
        if (k_ == 0) stop("attempt to divide by zero");
        const std::size_t n = table_.size() / k_;
        const Kernel kernel(h, dim_, n_train_);
        double* terms = terms_.data();
        kernel.log_densities(copy_view(n), terms);
        // Summed on this thread in row order, from -0.0: the result does
        // not depend on how the rows were scheduled.
        double sum = -0.0;
        for (std::size_t i = 0; i < n; ++i) sum = sum + terms[i];
        return (-sum) / static_cast<double>(n);
    }

private:
    MatrixView<double> copy_view(std::size_t n) const {
        return {table_.data(), n, k_, static_cast<std::ptrdiff_t>(k_), 1};
    }

    std::size_t k_;
    std::uint64_t dim_;
    std::uint64_t n_train_;
    std::vector<double> table_;
    std::vector<double> terms_;
};

}  // namespace

BandwidthSearch find_optimal_bandwidth(const MatrixView<double>& nn_dist_test, double h_min,
                                       double h_max, std::uint64_t dim, std::uint64_t n_train,
                                       double xtol) {
    TestLikelihood f(nn_dist_test, dim, n_train);

    double a = h_min;
    double b = h_max * 0.2;
    double x = a + (b - a) * golden;
    double w = x, v = x;
    double fx = f(x);
    double fw = fx, fv = fx;
    double e = 0.0;  // last golden-section move; parabolic steps leave it alone
    double d = 0.0;
    std::uint64_t evaluations = 1;

    while (true) {
        const double tol1 = xtol * std::fabs(x) + abs_tol;
        const double xm = (a + b) * 0.5;
        const double tol2 = tol1 + tol1;
        if (std::fabs(x - xm) <= tol2 - (b - a) * 0.5) break;

        bool parabolic = false;
        if (std::fabs(e) > tol1) {
            const double r = (x - w) * (fx - fv);
            double q = (x - v) * (fx - fw);
            double p = (x - v) * q - (x - w) * r;
            q = (q - r) + (q - r);
            if (q > 0.0) p = -p;
            q = q > 0.0 ? q : -q;
            // Written as conjunctions of true comparisons, so any NaN rejects.
            if (std::fabs(p) < std::fabs(e * (q * 0.5)) && p > (a - x) * q && p < (b - x) * q) {
                parabolic = true;
                d = p / q;
                const double u = x + d;
                // Do not evaluate too close to the interval ends.
                if (u - a < tol2 || b - u < tol2) d = x < xm ? tol1 : -tol1;
            }
        }
        if (!parabolic) {
            e = x < xm ? b - x : a - x;
            d = e * golden;
        }

        double u;
        if (std::fabs(d) >= tol1) u = x + d;
        else u = d > 0.0 ? x + tol1 : x - tol1;
        const double fu = f(u);

        if (fu <= fx) {
            if (u < x) b = x; else a = x;
            v = w; fv = fw;
            w = x; fw = fx;
            x = u; fx = fu;
        } else {
            if (u < x) a = u; else b = u;
            if (fu <= fw || std::fabs(w - x) < same_point) {
                v = w; fv = fw;
                w = u; fw = fu;
            } else if (fu <= fv || std::fabs(v - x) < same_point || std::fabs(v - w) < same_point) {
                v = u; fv = fu;
            }
        }

        ++evaluations;
        if (evaluations == max_evaluations) break;
    }
    return {x, evaluations};
}

}  // namespace quarnel::kde
