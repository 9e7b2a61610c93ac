// The penalty builder: the raw (unscaled) k × k penalty of a basis, and the
// cubic B-spline recursion that the penalty and the B-spline basis share.
#pragma once

#include <array>
#include <cstddef>
#include <cmath>
#include <algorithm>
#include <optional>
#include <span>
#include <string_view>

#include "error.hpp"
#include "matrix.hpp"

namespace vorna {

// The largest basis dimension any smooth or penalty accepts. A k × k penalty
// at this size is 200 MB (the cr basis keeps three k × k coefficient tables);
// far larger k would only end in an out-of-memory kill half-way through
// filling the matrices, so it is refused up front.
inline constexpr std::size_t kMaxBasisDimension = 5000;

// InvalidParameter when k exceeds kMaxBasisDimension.
Result<void> check_basis_dimension(std::size_t k);

// basis_type (compared byte for byte):
//   "cr" / "cubic_regression"  knots: exactly k positions x_0 … x_{k−1};
//                              S = Dᵀ B⁻¹ D of the natural cubic spline; k >= 4.
//   "cubic"                    knots: at least 2; only the first (lo) and last (hi)
//                              are read; S = ∫_lo^hi B″_i B″_j on an equally spaced
//                              extended grid of k + 4 knots; k >= 4 and a finite grid.
//   "tps" / "thin_plate"       knots ignored; diag(0, 0, 1, …, 1).
// The result is symmetric. Errors (all InvalidParameter), checked in this
// order: an unknown name; the knot requirement of the construction; k (too
// small for the construction, or above kMaxBasisDimension); for "cubic" a
// knot grid that is not finite. Knots are not sorted or otherwise validated:
// coinciding "cr" knots give non-finite entries, "cubic" knots with hi <= lo
// a zero matrix.
Result<Matrix> compute_penalty_matrix(std::string_view basis_type, std::size_t k, VectorView knots);

// ---- B-spline recursion on a knot vector t_0 … t_{n−1} -----------------------
// Shared by the "cubic" penalty and the B-spline basis so that both evaluate
// exactly the same arithmetic.

// Knot differences at or below this are treated as coinciding knots: the
// recursion term that would divide by them is left out (never 0/0).
inline constexpr double kKnotGuard = 1e-10;

// N_{i,0}(x): 1 on [t_i, t_{i+1}), and on the closed [t_{n−2}, t_{n−1}] for the
// last interval; 0 otherwise (also for i >= n − 1).
double bspline_indicator(std::span<const double> t, std::size_t i, double x);

// N_{i,d}(x) from N_{i,d−1}(x) = `left` and N_{i+1,d−1}(x) = `right`:
//   (x − t_i)/(t_{i+d} − t_i)·left + (t_{i+d+1} − x)/(t_{i+d+1} − t_{i+1})·right,
// each term present only if its knots exist and its denominator exceeds kKnotGuard.
// Inline: it is the inner step of basis evaluation, run ten times per input.
inline double cox_de_boor_step(std::span<const double> t, std::size_t i, std::size_t d, double x, double left,
                               double right) {
  const std::size_t n = t.size();
  double value = 0.0;
  if (i + d < n) {
    const double den = t[i + d] - t[i];
    if (std::abs(den) > kKnotGuard) value += (x - t[i]) / den * left;
  }
  if (i + d + 1 < n) {
    const double den = t[i + d + 1] - t[i + 1];
    if (std::abs(den) > kKnotGuard) value += (t[i + d + 1] - x) / den * right;
  }
  return value;
}

// N_{i,d}(x) by the full recursion (2^d indicator tests).
double bspline_value(std::span<const double> t, std::size_t i, std::size_t d, double x);

// The index a with N_{a,0}(x) = 1, if any. For t non-decreasing and x not NaN
// there is at most one, and N_{i,d}(x) can be non-zero only for a − d <= i <= a.
inline std::optional<std::size_t> active_interval(std::span<const double> t, double x) {
  const std::size_t n = t.size();
  if (n < 2 || std::isnan(x)) return std::nullopt;
  // p = the first knot above x; x lies in [t_{p−1}, t_p).
  const auto p = static_cast<std::size_t>(std::upper_bound(t.begin(), t.end(), x) - t.begin());
  if (p == 0) return std::nullopt;
  if (p < n) return p - 1;
  // x >= t_{n−1}: only the closed last interval can still hold it.
  if (x == t[n - 1]) return n - 2;
  return std::nullopt;
}

// B″_i(x) of the cubic B-spline i on t (requires i + 4 < n), from the
// derivatives of the quadratic B-splines; each of its six terms is left out
// when its knot difference is at most kKnotGuard.
double bspline_second_derivative(std::span<const double> t, std::size_t i, double x);

// ---- Pieces of the "cubic" penalty, exposed for an independent check -----------

// 10-point Gauss–Legendre rule on [−1, 1], nodes in increasing order.
inline constexpr std::array<double, 10> kGaussNodes = {
    -0.97390652851717172007796401208445205, -0.86506336668898451073209668842349305,
    -0.67940956829902440623432736511487358, -0.43339539412924719079926594316578416,
    -0.14887433898163121088482600112971998, 0.14887433898163121088482600112971998,
    0.43339539412924719079926594316578416,  0.67940956829902440623432736511487358,
    0.86506336668898451073209668842349305,  0.97390652851717172007796401208445205};
inline constexpr std::array<double, 10> kGaussWeights = {
    0.066671344308688137593568809893331793, 0.14945134915058059314577633965769733,
    0.21908636251598204399553493422816319,  0.26926671930999635509122692156946935,
    0.29552422471475287017389299465133833,  0.29552422471475287017389299465133833,
    0.26926671930999635509122692156946935,  0.21908636251598204399553493422816319,
    0.14945134915058059314577633965769733,  0.066671344308688137593568809893331793};

// The k + 4 equally spaced knots of the "cubic" penalty for first and last
// knot lo, hi (k >= 4): the range widened by 0.1 % on each side, then three
// spacings beyond each end.
Vector cubic_penalty_grid(double lo, double hi, std::size_t k);

}  // namespace vorna
