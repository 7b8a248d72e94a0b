// Two-sided p-values for the association scans. Pure functions of doubles: no state, no
// allocation, reentrant (log-gamma through lgamma_r), safe to call from any worker thread.
#pragma once

namespace korvex {

// Smallest p-value ever reported for a finite statistic (the smallest positive normal double).
inline constexpr double kMinPValue = 2.2250738585072014e-308;

// Continued-fraction factor of the regularized incomplete beta function I_x(a, b) by the modified
// Lentz method (at most 200 paired steps, stop when |del - 1| < 3e-14).
double beta_continued_fraction(double a, double b, double x);

// P(|T| >= |t|) for Student's t with df degrees of freedom; NaN only for a NaN t.
double student_t_p_two_sided(double t, double df);

// P(|Z| >= |z|) for a standard normal Z, clamped to [kMinPValue, 1].
double normal_p_two_sided(double z);

}  // namespace korvex
