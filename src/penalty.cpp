#include "penalty.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "format.hpp"

namespace vorna {
namespace {

GamError too_few_basis_functions(const char* what, std::size_t k) {
  return GamError::invalid_parameter(std::string(what) + " penalty requires k >= 4 basis functions, got " +
                                     std::to_string(k));
}

// ---- A. Cubic regression spline penalty: S = Dᵀ B⁻¹ D ----------------------------

// The three non-zero entries of row i of D (k − 2 rows): D[i][i] = first[i],
// D[i][i+1] = middle[i], D[i][i+2] = last[i].
struct SecondDifferences {
  Vector first, middle, last;
};

// W := B⁻¹ W for the symmetric tridiagonal B (diagonal `diag`, off-diagonal
// `off`), all columns at once, by the Thomas algorithm without pivoting.
// Requires at least two rows.
void solve_tridiagonal_in_place(const Vector& diag, const Vector& off, Matrix& w) {
  const std::size_t rows = diag.size();
  const std::size_t cols = w.cols();
  Vector off_prime(rows - 1);
  off_prime[0] = off[0] / diag[0];
  for (std::size_t j = 0; j < cols; ++j) w(0, j) = w(0, j) / diag[0];
  for (std::size_t i = 1; i < rows; ++i) {
    const double denom = diag[i] - off[i - 1] * off_prime[i - 1];
    if (i + 1 < rows) off_prime[i] = off[i] / denom;
    const double* above = w.row_ptr(i - 1);
    double* row = w.row_ptr(i);
    for (std::size_t j = 0; j < cols; ++j) row[j] = (row[j] - off[i - 1] * above[j]) / denom;
  }
  for (std::size_t i = rows - 1; i-- > 0;) {
    const double* below = w.row_ptr(i + 1);
    double* row = w.row_ptr(i);
    for (std::size_t j = 0; j < cols; ++j) row[j] = row[j] - off_prime[i] * below[j];
  }
}

// S = Dᵀ M (k × k) using only the band of D: column i of D is non-zero in
// rows i − 2, i − 1 and i alone, summed in that (increasing) order.
//
// A dense product would also add 0·M[r][j] for every other row r. Those
// terms are exact zeros while M[r][j] is finite, but NaN otherwise (possible
// with coinciding knots), so an entry whose column of M holds a non-finite
// value outside its band rows becomes NaN, as the dense product makes it.
Matrix second_difference_product(const SecondDifferences& d, const Matrix& m) {
  const std::size_t rows = m.rows();
  const std::size_t k = m.cols();
  std::vector<std::size_t> nonfinite_in_column(k, 0);
  for (std::size_t r = 0; r < rows; ++r)
    for (std::size_t j = 0; j < k; ++j)
      if (!std::isfinite(m(r, j))) ++nonfinite_in_column[j];

  Matrix s(k, k);
  for (std::size_t i = 0; i < k; ++i) {
    struct BandEntry {
      std::size_t row;
      double coef;  // D[row][i]
    };
    BandEntry band[3];
    std::size_t band_size = 0;
    if (i >= 2 && i - 2 < rows) band[band_size++] = {i - 2, d.last[i - 2]};
    if (i >= 1 && i - 1 < rows) band[band_size++] = {i - 1, d.middle[i - 1]};
    if (i < rows) band[band_size++] = {i, d.first[i]};
    for (std::size_t j = 0; j < k; ++j) {
      double sum = 0.0;
      std::size_t nonfinite_in_band = 0;
      for (std::size_t b = 0; b < band_size; ++b) {
        const double value = m(band[b].row, j);
        sum += band[b].coef * value;
        if (!std::isfinite(value)) ++nonfinite_in_band;
      }
      s(i, j) = nonfinite_in_column[j] > nonfinite_in_band ? std::numeric_limits<double>::quiet_NaN() : sum;
    }
  }
  return s;
}

// Integrated squared second derivative of the natural cubic spline through
// the values at the knots x_0 … x_{k−1} (k >= 4):
//   h_i = x_{i+1} − x_i,
//   D[i] = (1/h_i, −1/h_i − 1/h_{i+1}, 1/h_{i+1}) at columns i, i+1, i+2,
//   B tridiagonal with B[i][i] = (h_i + h_{i+1})/3, B[i][i+1] = h_{i+1}/6,
//   S = Dᵀ B⁻¹ D.
Matrix cubic_regression_penalty(VectorView x) {
  const std::size_t k = x.size();
  const std::size_t rows = k - 2;
  Vector h(k - 1);
  for (std::size_t i = 0; i + 1 < k; ++i) h[i] = x[i + 1] - x[i];

  SecondDifferences d{Vector(rows), Vector(rows), Vector(rows)};
  Vector diag(rows), off(rows - 1);
  for (std::size_t i = 0; i < rows; ++i) {
    d.first[i] = 1.0 / h[i];
    d.middle[i] = -1.0 / h[i] - 1.0 / h[i + 1];
    d.last[i] = 1.0 / h[i + 1];
    diag[i] = (h[i] + h[i + 1]) / 3.0;
    if (i + 1 < rows) off[i] = h[i + 1] / 6.0;
  }

  Matrix m(rows, k);  // D, then B⁻¹D in place
  for (std::size_t i = 0; i < rows; ++i) {
    m(i, i) = d.first[i];
    m(i, i + 1) = d.middle[i];
    m(i, i + 2) = d.last[i];
  }
  solve_tridiagonal_in_place(diag, off, m);
  return second_difference_product(d, m);
}

// ---- B. Cubic B-spline penalty by Gauss–Legendre quadrature -----------------------

// S[i][j] = ∫_lo^hi B″_i B″_j dx on the grid of cubic_penalty_grid, summed
// interval by interval (10-point rule per interval, clipped to [lo, hi]).
//
// B-spline i lives on [t_i, t_{i+4}], so pairs more than 3 apart never meet.
// Rather than visiting every pair and interval, each quadrature point
// evaluates only the (at most four) B-splines that can be non-zero there and
// adds their pair products; every pair still receives its terms in order of
// interval and node, and the terms left out are exact zeros, so the result
// is the same as the sum over everything. Taking the live set from the
// point itself (not from the interval's index) keeps this exact even when a
// point of a very short clipped interval rounds onto the interval's right
// end, where the half-open rule already sees the next interval's B-splines.
Matrix integrate_second_derivative_products(std::size_t k, double lo, double hi, const Vector& t) {
  const std::span<const double> grid(t);
  Matrix s(k, k);
  double second[4];
  for (std::size_t m = 1; m < t.size(); ++m) {
    if (t[m - 1] >= hi || t[m] <= lo) continue;
    const double lower = std::fmax(t[m - 1], lo);
    const double upper = std::fmin(t[m], hi);
    const double len = upper - lower;
    if (len < 1e-14) continue;
    for (std::size_t q = 0; q < kGaussNodes.size(); ++q) {
      const double x = lower + (len / 2.0) * (kGaussNodes[q] + 1.0);
      const auto active = active_interval(grid, x);
      if (!active) continue;
      const std::size_t first = *active >= 3 ? *active - 3 : 0;
      const std::size_t last = std::min(*active, k - 1);
      for (std::size_t i = first; i <= last; ++i) second[i - first] = bspline_second_derivative(grid, i, x);
      for (std::size_t i = first; i <= last; ++i)
        for (std::size_t j = i; j <= last; ++j)
          s(i, j) += len * (kGaussWeights[q] * second[i - first] * second[j - first] * 0.5);
    }
  }
  for (std::size_t i = 0; i < k; ++i)
    for (std::size_t j = i + 1; j < k && j <= i + 3; ++j) s(j, i) = s(i, j);
  return s;
}

Result<Matrix> cubic_bspline_penalty(std::size_t k, double lo, double hi) {
  const Vector t = cubic_penalty_grid(lo, hi, k);
  const bool finite = std::isfinite(lo) && std::isfinite(hi) &&
                      std::all_of(t.begin(), t.end(), [](double v) { return std::isfinite(v); });
  // A non-finite grid has no meaningful integral (and no ordered intervals).
  if (!finite) {
    return GamError::invalid_parameter(
        "Cubic B-spline penalty needs finite first and last knots with a finite spread, got " + fmt::debug(lo) +
        " and " + fmt::debug(hi));
  }
  return integrate_second_derivative_products(k, lo, hi, t);
}

// ---- C. Thin-plate placeholder ----------------------------------------------------

// The first two coefficients (the linear part) are unpenalized.
Matrix thin_plate_placeholder(std::size_t k) {
  Matrix s(k, k);
  for (std::size_t i = 2; i < k; ++i) s(i, i) = 1.0;
  return s;
}

}  // namespace

Result<void> check_basis_dimension(std::size_t k) {
  if (k > kMaxBasisDimension) {
    return GamError::invalid_parameter("Number of basis functions (" + std::to_string(k) +
                                       ") exceeds the supported maximum of " + std::to_string(kMaxBasisDimension));
  }
  return {};
}

Result<Matrix> compute_penalty_matrix(std::string_view basis_type, std::size_t k, VectorView knots) {
  if (basis_type == "cr" || basis_type == "cubic_regression") {
    if (knots.size() != k) {
      return GamError::invalid_parameter("Number of knots (" + std::to_string(knots.size()) +
                                         ") must equal number of basis functions (" + std::to_string(k) +
                                         ") for cr splines");
    }
    if (k < 4) return too_few_basis_functions("Cubic regression spline", k);
    VORNA_CHECK(check_basis_dimension(k));
    return cubic_regression_penalty(knots);
  }
  if (basis_type == "cubic") {
    if (knots.size() < 2) return GamError::invalid_parameter("Need at least 2 knots for penalty matrix");
    // The grid spacing divides by k − 3.
    if (k < 4) return too_few_basis_functions("Cubic B-spline", k);
    VORNA_CHECK(check_basis_dimension(k));
    return cubic_bspline_penalty(k, knots[0], knots[knots.size() - 1]);
  }
  if (basis_type == "tps" || basis_type == "thin_plate") {
    VORNA_CHECK(check_basis_dimension(k));
    return thin_plate_placeholder(k);
  }
  return GamError::invalid_parameter("Unknown basis type: " + std::string(basis_type));
}

Vector cubic_penalty_grid(double lo, double hi, std::size_t k) {
  const double delta = (hi - lo) * 0.001;
  const double a = lo - delta;
  const double b = hi + delta;
  const double dx = (b - a) / static_cast<double>(k - 3);
  const double start = a - 3.0 * dx;
  // Written this way on purpose: it equals dx only approximately.
  const double step = ((b + 3.0 * dx) - start) / static_cast<double>(k + 3);
  Vector t(k + 4);
  for (std::size_t j = 0; j < t.size(); ++j) t[j] = start + static_cast<double>(j) * step;
  return t;
}

// ---- B-spline recursion -------------------------------------------------------------

double bspline_indicator(std::span<const double> t, std::size_t i, double x) {
  const std::size_t n = t.size();
  if (n < 2 || i >= n - 1) return 0.0;
  // The last interval is closed so that the right end of the knot range is covered.
  if (i == n - 2) return (t[i] <= x && x <= t[i + 1]) ? 1.0 : 0.0;
  return (t[i] <= x && x < t[i + 1]) ? 1.0 : 0.0;
}

double bspline_value(std::span<const double> t, std::size_t i, std::size_t d, double x) {
  if (d == 0) return bspline_indicator(t, i, x);
  return cox_de_boor_step(t, i, d, x, bspline_value(t, i, d - 1, x), bspline_value(t, i + 1, d - 1, x));
}

namespace {

// c/diff·v, or 0 when the knots of diff coincide.
double guarded_term(double c, double diff, double v) { return std::abs(diff) <= kKnotGuard ? 0.0 : c / diff * v; }

// P_i(x) = 2/(t_{i+2} − t_i)·N_{i,1}(x) − 2/(t_{i+3} − t_{i+1})·N_{i+1,1}(x),
// the derivative of the quadratic B-spline i.
double quadratic_derivative(std::span<const double> t, std::size_t i, double x) {
  return guarded_term(2.0, t[i + 2] - t[i], bspline_value(t, i, 1, x)) -
         guarded_term(2.0, t[i + 3] - t[i + 1], bspline_value(t, i + 1, 1, x));
}

}  // namespace

// B″_i(x) = 3/(t_{i+3} − t_i)·P_i(x) − 3/(t_{i+4} − t_{i+1})·P_{i+1}(x).
double bspline_second_derivative(std::span<const double> t, std::size_t i, double x) {
  return guarded_term(3.0, t[i + 3] - t[i], quadratic_derivative(t, i, x)) -
         guarded_term(3.0, t[i + 4] - t[i + 1], quadratic_derivative(t, i + 1, x));
}

}  // namespace vorna
