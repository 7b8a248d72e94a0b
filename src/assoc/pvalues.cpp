// Two-sided p-values for the association scans (Student-t and standard normal tails).
#include "assoc/pvalues.hpp"

#include <algorithm>
#include <cmath>

// glibc exposes lgamma_r only under _DEFAULT_SOURCE / _GNU_SOURCE; declare it so strict modes
// still see the reentrant variant (it never touches the global signgam).
extern "C" double lgamma_r(double x, int* sign) noexcept;

namespace korvex {
namespace {

constexpr double kTiny = 1e-300;
constexpr double kEps = 3e-14;
constexpr int kMaxSteps = 200;
constexpr double kSqrt2 = 1.4142135623730951;

double log_gamma(double x) noexcept {
    int sign = 0;
    return ::lgamma_r(x, &sign);
}

double guard_tiny(double v) noexcept { return std::fabs(v) < kTiny ? kTiny : v; }

double clamp_p(double p) noexcept { return std::min(std::max(p, kMinPValue), 1.0); }

}  // namespace

double beta_continued_fraction(double a, double b, double x) {
    const double qab = a + b;
    const double qap = a + 1.0;
    const double qam = a - 1.0;
    double c = 1.0;
    double d = 1.0 / guard_tiny(1.0 - qab * x / qap);
    double h = d;
    for (int step = 1; step <= kMaxSteps; ++step) {
        const double m = static_cast<double>(step);
        const double m2 = 2.0 * m;
        double aa = m * (b - m) * x / ((qam + m2) * (a + m2));
        d = 1.0 / guard_tiny(1.0 + aa * d);
        c = guard_tiny(1.0 + aa / c);
        h *= d * c;
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2));
        d = 1.0 / guard_tiny(1.0 + aa * d);
        c = guard_tiny(1.0 + aa / c);
        const double del = d * c;
        h *= del;
        if (std::fabs(del - 1.0) < kEps) break;
    }
    return h;
}

double student_t_p_two_sided(double t, double df) {
    if (!std::isfinite(t)) return std::isnan(t) ? t : kMinPValue;
    const double x = df / (t * t + df);
    double f;
    if (std::isnan(x) || x < 0.0 || x > 1.0) {
        f = std::nan("");
    } else if (x == 0.0) {
        f = 0.0;
    } else if (x == 1.0) {
        f = 1.0;
    } else {
        const double a = df / 2.0;
        const double ln_beta = log_gamma(a) + log_gamma(0.5) - log_gamma(a + 0.5);
        const double front = std::exp(a * std::log(x) + 0.5 * std::log(1.0 - x) - ln_beta);
        if (x < (a + 1.0) / (a + 0.5 + 2.0)) {
            f = front / a * beta_continued_fraction(a, 0.5, x);
        } else {
            f = 1.0 - 2.0 * front * beta_continued_fraction(0.5, a, 1.0 - x);
        }
    }
    if (!std::isfinite(f)) return 1.0;
    return clamp_p(f);
}

double normal_p_two_sided(double z) {
    return clamp_p(std::erfc(std::fabs(z) / kSqrt2));
}

}  // namespace korvex
