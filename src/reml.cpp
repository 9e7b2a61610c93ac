#include "reml.hpp"
#include "interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "diagnostics.hpp"
#include "format.hpp"
#include "pirls.hpp"

namespace vorna {
namespace {

constexpr double kTwoPi = 6.283185307179586;
// Eigenvalues at or below kRootThreshold × max(μ_max, 1) count as null space.
constexpr double kRootThreshold = 1e-10;
// λ at or below this contributes neither rank nor log λ to the criterion.
constexpr double kCriterionLambdaFloor = 1e-10;
// Row sums at or below kRankRowThreshold × max(1, max |S|) count as empty rows.
constexpr double kRankRowThreshold = 1e-10;
// Ridge of the criterion: δ = kCriterionRidge·(1 + √m)·max(1, max |A_kk|).
constexpr double kCriterionRidge = 1e-5;
// Ridge of the coefficient solve: δ_k = kCoefficientRidge·(1 + √m)·max(|A_kk|, 1).
constexpr double kCoefficientRidge = 1e-7;

std::string times(std::size_t a, std::size_t b) { return std::to_string(a) + "×" + std::to_string(b); }

// ---- Argument checks ---------------------------------------------------------
// The callers guarantee consistent sizes; these checks turn a broken promise
// into an error instead of an out-of-bounds read.

Result<void> check_data(VectorView y, ConstMatrixView x, VectorView w) {
  const std::size_t n = x.rows();
  if (y.size() != n)
    return GamError::dimension_mismatch("X has " + std::to_string(n) + " rows but y has " + std::to_string(y.size()) +
                                        " elements");
  if (w.size() != n)
    return GamError::dimension_mismatch("X has " + std::to_string(n) + " rows but w has " + std::to_string(w.size()) +
                                        " elements");
  return {};
}

Result<void> check_penalties(std::size_t p, std::span<const double> lambdas, std::span<const Matrix> penalties) {
  if (lambdas.size() != penalties.size())
    return GamError::dimension_mismatch("Number of lambdas must match number of penalty matrices");
  for (std::size_t j = 0; j < penalties.size(); ++j) {
    if (penalties[j].rows() != p || penalties[j].cols() != p)
      return GamError::dimension_mismatch("Penalty matrix " + std::to_string(j) + " is " +
                                          times(penalties[j].rows(), penalties[j].cols()) + " but X has " +
                                          std::to_string(p) + " columns");
  }
  return {};
}

Result<void> check_roots(std::size_t p, std::size_t m, const std::vector<Matrix>* roots) {
  if (roots == nullptr) return {};
  if (roots->size() != m) return GamError::dimension_mismatch("Number of penalty roots must match number of lambdas");
  for (std::size_t j = 0; j < m; ++j) {
    if ((*roots)[j].rows() != p)
      return GamError::dimension_mismatch("Penalty root " + std::to_string(j) + " has " +
                                          std::to_string((*roots)[j].rows()) + " rows but X has " + std::to_string(p) +
                                          " columns");
  }
  return {};
}

Result<void> check_cache(std::size_t p, const Matrix* xtwx, const Vector* xtwy) {
  if (xtwx != nullptr && (xtwx->rows() != p || xtwx->cols() != p))
    return GamError::dimension_mismatch("Cached X'WX is " + times(xtwx->rows(), xtwx->cols()) + " but X has " +
                                        std::to_string(p) + " columns");
  if (xtwy != nullptr && xtwy->size() != p)
    return GamError::dimension_mismatch("Cached X'Wy has " + std::to_string(xtwy->size()) + " entries but X has " +
                                        std::to_string(p) + " columns");
  return {};
}

}  // namespace

Result<void> check_criterion_inputs(VectorView y, ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                                    std::span<const Matrix> penalties) {
  VORNA_CHECK(check_data(y, x, w));
  return check_penalties(x.cols(), lambdas, penalties);
}

namespace {

Result<void> check_all(VectorView y, ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                       std::span<const Matrix> penalties, const std::vector<Matrix>* roots, const Matrix* xtwx,
                       const Vector* xtwy) {
  VORNA_CHECK(check_criterion_inputs(y, x, w, lambdas, penalties));
  VORNA_CHECK(check_roots(x.cols(), lambdas.size(), roots));
  return check_cache(x.cols(), xtwx, xtwy);
}

// ---- Small dense helpers ---------------------------------------------------------

// max(1, max_k |A_kk|) as a running maximum from 1 that ignores NaN.
double diagonal_scale(const Matrix& a) {
  double scale = 1.0;
  for (std::size_t k = 0; k < a.rows(); ++k) scale = std::fmax(scale, std::fabs(a(k, k)));
  return scale;
}

// Σ_i w_i (y_i − (Xβ)_i)²: the single O(n·p) pass over the data per evaluation.
double weighted_rss(VectorView y, ConstMatrixView x, VectorView w, const Vector& beta) {
  const Vector fitted = matvec(x, beta);
  double rss = 0.0;
  for (std::size_t i = 0; i < fitted.size(); ++i) {
    const double e = y[i] - fitted[i];
    rss += w[i] * e * e;
  }
  return rss;
}

double rss_of(VectorView y, ConstMatrixView x, VectorView w, const Vector& beta, const ResidualModel* residuals) {
  return residuals != nullptr ? residuals->rss(beta) : weighted_rss(y, x, w, beta);
}

// P = Σ_j λ_j βᵀS_jβ.
double penalty_value(std::span<const double> lambdas, std::span<const Matrix> penalties, const Vector& beta) {
  double total = 0.0;
  const std::size_t count = std::min(lambdas.size(), penalties.size());
  for (std::size_t j = 0; j < count; ++j) total += lambdas[j] * dot(beta, matvec(penalties[j], beta));
  return total;
}

Matrix gram_or_cached(ConstMatrixView x, VectorView w, const Matrix* xtwx) {
  return xtwx != nullptr ? *xtwx : weighted_gram(x, w);
}

Vector xty_or_cached(ConstMatrixView x, VectorView w, VectorView y, const Vector* xtwy) {
  return xtwy != nullptr ? *xtwy : weighted_xty(x, w, y);
}

std::size_t sum_of(const std::vector<std::size_t>& counts) {
  std::size_t total = 0;
  for (std::size_t c : counts) total += c;
  return total;
}

std::vector<std::size_t> column_counts(std::span<const Matrix> roots) {
  std::vector<std::size_t> ranks;
  ranks.reserve(roots.size());
  for (const Matrix& root : roots) ranks.push_back(root.cols());
  return ranks;
}

// ---- Penalty root diagnostics --------------------------------------------------------

void print_root_summary(std::size_t p, double max_eig, double threshold, const Vector& kept) {
  diag::line("[PENALTY_SQRT_DEBUG] Matrix size: " + times(p, p));
  diag::line("[PENALTY_SQRT_DEBUG] Max eigenvalue: " + fmt::plain(max_eig));
  diag::line("[PENALTY_SQRT_DEBUG] Threshold: " + fmt::plain(threshold));
  diag::line("[PENALTY_SQRT_DEBUG] Positive eigenvalues found: " + std::to_string(kept.size()));
  if (!kept.empty()) {
    const std::size_t shown = std::min<std::size_t>(kept.size(), 5);
    diag::line("[PENALTY_SQRT_DEBUG] Eigenvalues: " + fmt::debug_list(VectorView(kept.data(), shown)));
  }
}

void print_root_check(ConstMatrixView s, const Matrix& l) {
  const Matrix product = gram(l.transposed_view());  // L·Lᵀ
  double err = 0.0;                                  // running maximum that ignores NaN
  for (std::size_t i = 0; i < s.rows(); ++i)
    for (std::size_t k = 0; k < s.cols(); ++k) err = std::fmax(err, std::fabs(product(i, k) - s(i, k)));
  diag::line("[PENALTY_SQRT_DEBUG] Output L matrix shape: " + times(l.rows(), l.cols()));
  diag::line("[PENALTY_SQRT_DEBUG] Reconstruction error ||L·L' - S||_∞ = " + fmt::plain(err));
}

// ---- Stacked factor diagnostics --------------------------------------------------------

void print_z_header(std::size_t n, std::size_t p, std::span<const double> lambdas, std::span<const Matrix> roots,
                    std::size_t total_rows) {
  diag::line("[Z_BUILD_DEBUG] Building Z matrix:");
  diag::line("[Z_BUILD_DEBUG]   n = " + std::to_string(n) + ", p = " + std::to_string(p));
  for (std::size_t j = 0; j < std::min(lambdas.size(), roots.size()); ++j) {
    diag::line("[Z_BUILD_DEBUG]   L" + std::to_string(j) + " shape: " + times(roots[j].rows(), roots[j].cols()) +
               ", λ" + std::to_string(j) + " = " + fmt::fixed(lambdas[j], 6));
  }
  diag::line("[Z_BUILD_DEBUG]   Total Z rows: " + std::to_string(total_rows));
}

void print_qr_summary(std::size_t n, std::size_t p, std::size_t total_rows, const Matrix& factor) {
  diag::line("[QR_DEBUG] Z dimensions: " + times(total_rows, p));
  diag::line("[QR_DEBUG] R dimensions: " + times(factor.rows(), factor.cols()));
  diag::line("[QR_DEBUG] total_rows=" + std::to_string(total_rows) + ", n=" + std::to_string(n) +
             ", p=" + std::to_string(p));
}

// The first two and the last diagonal entries of RᵀR; needs p ≥ 2.
void print_rtr_diagonal(const Matrix& r) {
  const std::size_t p = r.rows();
  if (p < 2) return;
  auto rtr_diag = [&](std::size_t k) {
    double sum = 0.0;
    for (std::size_t i = 0; i <= k; ++i) sum += r(i, k) * r(i, k);
    return sum;
  };
  diag::line("[QR_DEBUG] R'R diagonal: [" + fmt::fixed(rtr_diag(0), 6) + ", " + fmt::fixed(rtr_diag(1), 6) + ", ..., " +
             fmt::fixed(rtr_diag(p - 1), 6) + "]");
}

// ---- Gradient from a factor ------------------------------------------------------------

Result<Matrix> triangular(const Matrix& r, bool transpose, ConstMatrixView rhs) {
  auto solved = triangular_solve(r, /*upper=*/true, transpose, rhs);
  if (!solved) return lapack_error(GamErrorKind::InvalidParameter, "Triangular solve failed", solved.error());
  return std::move(solved).value();
}

// Steps shared by both gradient routes once R (RᵀR = A₀, the unridged
// penalized matrix) and the ridged coefficients are known:
//   t_j   = λ_j ‖R⁻ᵀL_j‖²_F = λ_j tr(A₀⁻¹S_j)
//   ∂β_j  = −A₀⁻¹ λ_j S_jβ                      (R⁻¹R⁻ᵀ applied to λ_j S_jβ)
//   ∂RSS_j = −2 (XᵀWe)·∂β_j,  ∂φ_j = ∂RSS_j/(n − r)
//   ∂P_j  = λ_j βᵀS_jβ + Σ_k λ_k [(S_kβ)ᵀ∂β_j + βᵀS_k∂β_j]
//   g_j   = ½[t_j − r_j + (∂RSS_j + ∂P_j)/φ − (RSS + P)∂φ_j/φ² + (n − r)∂φ_j/φ]
// All right-hand sides go through R in one multi-column solve per direction.
Result<Vector> gradient_from_factor(const Matrix& r, std::span<const Matrix> roots,
                                    const std::vector<std::size_t>& ranks, const PenalizedFit& fit,
                                    std::span<const double> lambdas, std::span<const Matrix> penalties, std::size_t n) {
  const std::size_t m = lambdas.size();
  const std::size_t p = r.rows();
  if (m == 0) return Vector{};
  const std::size_t total_root_cols = sum_of(ranks);

  // S_jβ for every penalty and Σ_k λ_k (S_k + S_kᵀ)β for the ∂P_j sums.
  std::vector<Vector> s_beta(m);
  Vector penalty_gradient(p, 0.0);
  for (std::size_t j = 0; j < m; ++j) {
    s_beta[j] = matvec(penalties[j], fit.beta);
    const Vector st_beta = matvec_t(penalties[j], fit.beta);
    for (std::size_t k = 0; k < p; ++k) penalty_gradient[k] += lambdas[j] * (s_beta[j][k] + st_beta[k]);
  }

  // Right-hand sides [L_1 … L_m | λ_1 S_1β … λ_m S_mβ] for Rᵀ·Z = RHS.
  Matrix rhs(p, total_root_cols + m);
  for (std::size_t j = 0, offset = 0; j < m; offset += ranks[j], ++j) {
    for (std::size_t i = 0; i < p; ++i) {
      for (std::size_t k = 0; k < ranks[j]; ++k) rhs(i, offset + k) = roots[j](i, k);
      rhs(i, total_root_cols + j) = lambdas[j] * s_beta[j][i];
    }
  }
  VORNA_TRY(lower_solved, triangular(r, /*transpose=*/true, rhs));
  Matrix z(p, m);
  for (std::size_t i = 0; i < p; ++i)
    for (std::size_t j = 0; j < m; ++j) z(i, j) = lower_solved(i, total_root_cols + j);
  VORNA_TRY(a0_inv_u, triangular(r, /*transpose=*/false, z));  // column j: A₀⁻¹ λ_j S_jβ

  const double nr = static_cast<double>(n) - static_cast<double>(fit.total_rank);
  const double c1 = (fit.rss + fit.penalty) / (fit.phi * fit.phi);
  const double c2 = 1.0 / fit.phi;
  Vector g(m);
  for (std::size_t j = 0, offset = 0; j < m; offset += ranks[j], ++j) {
    double frob = 0.0;
    for (std::size_t i = 0; i < p; ++i)
      for (std::size_t k = 0; k < ranks[j]; ++k) {
        const double t = lower_solved(i, offset + k);
        frob += t * t;
      }
    const double trace_term = lambdas[j] * frob;

    double d_rss = 0.0;
    double d_penalty_sum = 0.0;
    for (std::size_t i = 0; i < p; ++i) {
      const double d_beta = -a0_inv_u(i, j);
      d_rss += fit.xtwe[i] * d_beta;
      d_penalty_sum += penalty_gradient[i] * d_beta;
    }
    d_rss *= -2.0;
    const double d_phi = d_rss / nr;
    const double d_penalty = lambdas[j] * dot(fit.beta, s_beta[j]) + d_penalty_sum;
    g[j] = 0.5 * (trace_term - static_cast<double>(ranks[j]) + c2 * (d_rss + d_penalty) - c1 * d_phi + nr * c2 * d_phi);
  }
  return g;
}

}  // namespace

// ---- Penalty square roots ---------------------------------------------------------

Result<Matrix> penalty_sqrt(ConstMatrixView s) {
  if (s.rows() != s.cols()) return GamError::invalid_parameter("Penalty matrix must be square");
  const std::size_t p = s.rows();

  SymmetricEigen eig;
  if (p > 0) {
    auto decomposed = symmetric_eigen(s);
    if (!decomposed)
      return lapack_error(GamErrorKind::InvalidParameter, "Eigenvalue decomposition failed", decomposed.error());
    eig = std::move(decomposed).value();
  }

  double max_eig = -std::numeric_limits<double>::infinity();
  for (double mu : eig.values) max_eig = std::fmax(max_eig, mu);  // NaN never wins
  const double threshold = kRootThreshold * std::fmax(max_eig, 1.0);

  std::vector<std::size_t> kept_index;
  Vector kept_values;
  for (std::size_t k = 0; k < eig.values.size(); ++k) {
    if (eig.values[k] > threshold) {
      kept_index.push_back(k);
      kept_values.push_back(eig.values[k]);
    }
  }
  if (diag::enabled(diag::kGradDebug)) print_root_summary(p, max_eig, threshold, kept_values);
  if (kept_index.empty()) return Matrix(p, 0);

  Matrix l(p, kept_index.size());
  for (std::size_t j = 0; j < kept_index.size(); ++j) {
    const std::size_t k = kept_index[j];
    const double scale = std::sqrt(eig.values[k]);
    for (std::size_t i = 0; i < p; ++i) l(i, j) = scale * eig.vectors(i, k);
  }
  if (diag::enabled(diag::kGradDebug)) print_root_check(s, l);
  return l;
}

Result<std::vector<Matrix>> penalty_roots(std::span<const Matrix> penalties) {
  std::vector<Matrix> roots;
  roots.reserve(penalties.size());
  for (const Matrix& s : penalties) {
    VORNA_TRY(root, penalty_sqrt(s));
    roots.push_back(std::move(root));
  }
  return roots;
}

// ---- REML criterion ------------------------------------------------------------------

std::size_t criterion_rank(ConstMatrixView s) {
  double largest = 1.0;
  for (std::size_t i = 0; i < s.rows(); ++i)
    for (std::size_t k = 0; k < s.cols(); ++k) largest = std::fmax(largest, std::fabs(s(i, k)));
  const double threshold = kRankRowThreshold * largest;
  std::size_t count = 0;
  for (std::size_t i = 0, rows = std::min(s.rows(), s.cols()); i < rows; ++i) {
    double row_sum = 0.0;
    for (std::size_t k = 0; k < s.cols(); ++k) row_sum += std::fabs(s(i, k));
    if (row_sum > threshold) ++count;
  }
  return count >= 2 ? count - 2 : 1;
}

ResidualModel::ResidualModel(VectorView y, ConstMatrixView x, VectorView w, Matrix xtwx, Vector beta0)
    : xtwx_(std::move(xtwx)), beta0_(std::move(beta0)), g0_(x.cols(), 0.0) {
  // One pass over the rows: e_i = y_i − x_iβ₀, RSS₀ = Σ w_i e_i², g₀ = Σ w_i e_i x_i.
  const std::size_t p = x.cols();
  for (std::size_t i = 0; i < x.rows(); ++i) {
    double fitted = 0.0;
    for (std::size_t j = 0; j < p; ++j) fitted += x(i, j) * beta0_[j];
    const double e = y[i] - fitted;
    const double we = w[i] * e;
    rss0_ += we * e;
    for (std::size_t j = 0; j < p; ++j) g0_[j] += we * x(i, j);
  }
}

double ResidualModel::rss(const Vector& beta, double* magnitude) const {
  const std::size_t p = beta0_.size();
  Vector d(p);
  for (std::size_t j = 0; j < p; ++j) d[j] = beta[j] - beta0_[j];
  double linear = 0.0, quadratic = 0.0;
  for (std::size_t j = 0; j < p; ++j) {
    linear += d[j] * g0_[j];
    const double* row = xtwx_.row_ptr(j);
    double gd = 0.0;
    for (std::size_t l = 0; l < p; ++l) gd += row[l] * d[l];
    quadratic += d[j] * gd;
  }
  if (magnitude != nullptr) *magnitude = rss0_ + std::fabs(2.0 * linear) + std::fabs(quadratic);
  return rss0_ - 2.0 * linear + quadratic;
}

// The Laplace-approximate REML of Wood (2011, JRSS B 73(1), 3–36), departing
// from it in three places: log|S_λ|₊ is replaced by Σ_j rank_j·log λ_j, which
// differs from it by a constant in λ only when the penalties act on separate
// blocks of β; each rank comes from criterion_rank's row count (the non-zero
// rows less the two-dimensional null space of a second-derivative penalty),
// not from an eigen-decomposition; and φ = RSS/(n − r̂) is plugged in, not
// the (RSS + P)/(n − M_p) that maximizes the textbook criterion (M_p the
// dimension of the penalty null space).
Result<double> reml_criterion(VectorView y, ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                              std::span<const Matrix> penalties, const Matrix* xtwx, const Vector* xtwy,
                              const ResidualModel* residuals) {
  VORNA_CHECK(check_all(y, x, w, lambdas, penalties, nullptr, xtwx, xtwy));
  const std::size_t n = x.rows();
  const std::size_t m = lambdas.size();

  // 1-2. A_δ = XᵀWX + Σ λ_j S_j + δI with one scalar δ for the whole diagonal,
  //      scaled by the penalized diagonal (unlike the PiRLS ridge, which is
  //      taken from XᵀWX alone).
  Matrix a = penalized_gram(gram_or_cached(x, w, xtwx), lambdas, penalties);
  const double delta = kCriterionRidge * (1.0 + std::sqrt(static_cast<double>(m))) * diagonal_scale(a);
  for (std::size_t k = 0; k < a.rows(); ++k) a(k, k) += delta;

  // 3-4. Coefficients, RSS and penalty.
  VORNA_TRY(beta, solve(a, xty_or_cached(x, w, y, xtwy)));
  const double rss = rss_of(y, x, w, beta, residuals);
  const double penalty = penalty_value(lambdas, penalties, beta);

  // 5. log det(A_δ); a zero or negative determinant passes through as −∞ / NaN.
  VORNA_TRY(log_det, log_determinant(a));

  // 6. The criterion's own rank rule, without decomposing the penalties.
  double log_lambda_sum = 0.0;
  std::size_t rank_sum = 0;
  for (std::size_t j = 0; j < std::min(m, penalties.size()); ++j) {
    if (!(lambdas[j] > kCriterionLambdaFloor)) continue;
    const std::size_t rank = criterion_rank(penalties[j]);
    log_lambda_sum += static_cast<double>(rank) * std::log(lambdas[j]);
    rank_sum += rank;
  }

  // 7-8.
  const double dof = static_cast<double>(n) - static_cast<double>(rank_sum);
  const double phi = rss / dof;
  return 0.5 * ((rss + penalty) / phi + dof * std::log(kTwoPi * phi) + log_det - log_lambda_sum);
}

// ---- Stacked factor and penalized coefficients ------------------------------------------

LapackResult<Matrix> stacked_r(ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                               std::span<const Matrix> roots, bool diagnostics) {
  const std::size_t n = x.rows();
  const std::size_t p = x.cols();
  std::size_t total_rows = n;
  for (const Matrix& root : roots) total_rows += root.cols();
  if (diagnostics && diag::enabled(diag::kGradDebug)) print_z_header(n, p, lambdas, roots, total_rows);

  // Z = [√W·X; √λ_1·L_1ᵀ; …], so ZᵀZ = XᵀWX + Σ λ_j L_j L_jᵀ.
  Matrix z(total_rows, p);
  for (std::size_t i = 0; i < n; ++i) {
    const double sw = std::sqrt(w[i]);
    double* row = z.row_ptr(i);
    for (std::size_t k = 0; k < p; ++k) row[k] = sw * x(i, k);
  }
  std::size_t offset = n;
  for (std::size_t j = 0; j < std::min(lambdas.size(), roots.size()); ++j) {
    const Matrix& root = roots[j];
    const double scale = std::sqrt(lambdas[j]);
    for (std::size_t k = 0; k < root.cols(); ++k)
      for (std::size_t l = 0; l < p; ++l) z(offset + k, l) = scale * root(l, k);
    if (root.cols() > 0 && diagnostics && diag::enabled(diag::kGradDebug)) {
      diag::line("[Z_BUILD_DEBUG]   After adding L" + std::to_string(j) + " (rows " + std::to_string(offset) + " to " +
                 std::to_string(offset + root.cols() - 1) +
                 "), first value: " + fmt::fixed(p > 0 ? z(offset, 0) : 0.0, 6));
    }
    offset += root.cols();
  }

  auto factored = qr_r_consuming(std::move(z));
  if (!factored) return std::move(factored).error();
  const Matrix& factor = factored.value();
  if (diagnostics && diag::enabled(diag::kGradDebug)) print_qr_summary(n, p, total_rows, factor);

  // The p × p upper triangle; rows the factor lacks (fewer rows than p) stay zero.
  Matrix r(p, p);
  for (std::size_t i = 0; i < std::min(p, factor.rows()); ++i)
    for (std::size_t k = i; k < p; ++k) r(i, k) = factor(i, k);
  if (diagnostics && diag::enabled(diag::kGradDebug)) print_rtr_diagonal(r);
  return r;
}

Result<StackedFactor> stacked_factor(ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                                     std::span<const Matrix> penalties, const std::vector<Matrix>* roots) {
  if (w.size() != x.rows())
    return GamError::dimension_mismatch("X has " + std::to_string(x.rows()) + " rows but w has " +
                                        std::to_string(w.size()) + " elements");
  VORNA_CHECK(check_penalties(x.cols(), lambdas, penalties));
  VORNA_CHECK(check_roots(x.cols(), lambdas.size(), roots));

  StackedFactor out;
  if (roots != nullptr) {
    out.roots = *roots;
  } else {
    VORNA_TRY(computed, penalty_roots(penalties));
    out.roots = std::move(computed);
  }
  out.ranks = column_counts(out.roots);
  auto r = stacked_r(x, w, lambdas, out.roots);
  if (!r) return lapack_error(GamErrorKind::InvalidParameter, "QR decomposition failed", r.error());
  out.r = std::move(r).value();
  return out;
}

Result<PenalizedFit> penalized_coefficients(VectorView y, ConstMatrixView x, VectorView w,
                                            std::span<const double> lambdas, std::span<const Matrix> penalties,
                                            std::size_t total_rank, const Matrix* xtwx, const Vector* xtwy,
                                            bool diagnostics, const ResidualModel* residuals) {
  VORNA_CHECK(check_all(y, x, w, lambdas, penalties, nullptr, xtwx, xtwy));
  const std::size_t n = x.rows();
  const std::size_t m = lambdas.size();

  const Matrix gram_xw = gram_or_cached(x, w, xtwx);
  const Vector b = xty_or_cached(x, w, y, xtwy);
  Matrix a = penalized_gram(gram_xw, lambdas, penalties);
  // Each diagonal entry is ridged relative to its own size.
  const double factor = (1.0 + std::sqrt(static_cast<double>(m))) * kCoefficientRidge;
  for (std::size_t k = 0; k < a.rows(); ++k) a(k, k) += factor * std::fmax(std::fabs(a(k, k)), 1.0);

  PenalizedFit fit;
  VORNA_TRY(beta, solve(std::move(a), b));
  fit.beta = std::move(beta);
  fit.rss = rss_of(y, x, w, fit.beta, residuals);
  // XᵀWe = XᵀWy − XᵀWX·β, from the p × p products instead of a second pass over the data.
  fit.xtwe = b;
  const Vector gram_beta = matvec(gram_xw, fit.beta);
  for (std::size_t k = 0; k < fit.xtwe.size(); ++k) fit.xtwe[k] -= gram_beta[k];
  fit.total_rank = total_rank;
  fit.phi = fit.rss / (static_cast<double>(n) - static_cast<double>(total_rank));
  fit.penalty = penalty_value(lambdas, penalties, fit.beta);
  if (diagnostics && diag::enabled(diag::kGradDebug)) {
    diag::line("[PHI_DEBUG] n=" + std::to_string(n) + ", total_rank=" + std::to_string(total_rank) +
               ", rss=" + fmt::fixed(fit.rss, 6) + ", phi=" + fmt::fixed(fit.phi, 6));
  }
  return fit;
}

// ---- Gradient ---------------------------------------------------------------------------

namespace {

// |R_kk| below this fraction of the largest diagonal entry: singular to working precision.
constexpr double kSingularFactorRatio = 1.5e-8;

}  // namespace

// Smooths that each contain the constant (and are penalized only on their
// wiggliness) leave XᵀWX + Σ λ_j L_j L_jᵀ singular. Its factor then turns
// every trace and every derivative of β into rounding noise, while β itself
// comes from the ridged solve. Such a factor is refactored with that ridge,
// (1 + √m)·1e-7·max(A_kk, 1), appended as rows, so that the traces describe
// the very matrix the coefficients were solved with. A factor of full rank is
// left exactly as it is.
Result<void> ridge_singular_factor(Matrix& r, std::size_t m) {
  const std::size_t p = r.rows();
  double largest = 0.0, smallest = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < p; ++k) {
    largest = std::fmax(largest, std::fabs(r(k, k)));
    smallest = std::fmin(smallest, std::fabs(r(k, k)));
  }
  if (!(smallest < kSingularFactorRatio * largest)) return {};
  Matrix stacked(2 * p, p);
  const double factor = (1.0 + std::sqrt(static_cast<double>(m))) * kCoefficientRidge;
  for (std::size_t k = 0; k < p; ++k) {
    double diagonal = 0.0;  // A_kk = (RᵀR)_kk, the squared norm of column k of R
    for (std::size_t i = 0; i <= k; ++i) {
      stacked(i, k) = r(i, k);
      diagonal += r(i, k) * r(i, k);
    }
    stacked(p + k, k) = std::sqrt(factor * std::fmax(diagonal, 1.0));
  }
  auto ridged = qr_r(stacked);
  if (!ridged) return lapack_error(GamErrorKind::InvalidParameter, "QR decomposition failed", ridged.error());
  r = std::move(ridged).value();
  return {};
}

Result<Vector> reml_gradient_multi_qr(VectorView y, ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                                      std::span<const Matrix> penalties, const std::vector<Matrix>* roots,
                                      const Matrix* xtwx, const Vector* xtwy) {
  VORNA_CHECK(check_all(y, x, w, lambdas, penalties, roots, xtwx, xtwy));
  // Each step is O(p³) for a wide model (seconds at p in the thousands): Ctrl-C is heard between them.
  VORNA_TRY(factor, stacked_factor(x, w, lambdas, penalties, roots));
  VORNA_CHECK_INTERRUPT();
  VORNA_CHECK(ridge_singular_factor(factor.r, lambdas.size()));
  VORNA_TRY(fit, penalized_coefficients(y, x, w, lambdas, penalties, sum_of(factor.ranks), xtwx, xtwy));
  VORNA_CHECK_INTERRUPT();
  return gradient_from_factor(factor.r, factor.roots, factor.ranks, fit, lambdas, penalties, x.rows());
}

}  // namespace vorna
