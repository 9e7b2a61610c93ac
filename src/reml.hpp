// Smoothness criteria behind the module functions and Newton-PIRLS: penalty
// square roots, the REML criterion and its gradient with respect to the log
// smoothing parameters by a stacked QR factor. (The fit's own selection
// criteria, with exact derivatives from cross products, are in selection.hpp.)
//
// Shared notation (all routines):
//   y (n), X (n × p), w (n) prior weights, λ_1 … λ_m the smoothing parameters
//   themselves (not their logarithms), S_1 … S_m penalties (p × p, symmetric),
//   L_j roots with L_j L_jᵀ = S_j (p × r_j), r = Σ r_j.
//   A = XᵀWX + Σ λ_j S_j, β the penalized coefficients, e = y − Xβ,
//   RSS = Σ w_i e_i², P = Σ λ_j βᵀS_jβ, φ = RSS / (n − r).
// Derivatives are taken with respect to ρ_j = log λ_j.
//
// Callers guarantee that y, X and w agree in n and that lambdas, penalties
// (and roots, when given) have the same length m. Every routine that accepts
// the cross products XᵀWX (p × p) and XᵀWy (p) as `const Matrix*` /
// `const Vector*` uses them when non-null and computes them from X otherwise;
// a cached value must equal what would be computed.
//
// Diagnostic lines go to standard error under VORNA_GRAD_DEBUG; the switch is
// looked up afresh before each line or block. Degenerate values (RSS = 0,
// n = r, a singular penalized matrix in a determinant) are not errors: the
// resulting infinities and NaN are returned.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "error.hpp"
#include "linalg.hpp"
#include "matrix.hpp"

namespace vorna {

// ---- Argument checks -----------------------------------------------------------

// The sizes every criterion routine relies on: y and w with one entry per row
// of X, one penalty per λ, each p × p. DimensionMismatch naming the sizes
// otherwise (the routines' callers normally guarantee them).
Result<void> check_criterion_inputs(VectorView y, ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                                    std::span<const Matrix> penalties);

// ---- Penalty square roots ----------------------------------------------------

// L (p × r) with L·Lᵀ = S up to the dropped near-null space: column j is
// √μ_k·u_k for the j-th eigenvalue μ_k above 1e-10 × max(μ_max, 1), in
// ascending eigenvalue order. A zero penalty gives a p × 0 matrix (not an error).
// Errors: InvalidParameter "Penalty matrix must be square"; InvalidParameter
// "Eigenvalue decomposition failed: <LAPACK error>" (see lapack_error).
Result<Matrix> penalty_sqrt(ConstMatrixView s);

// penalty_sqrt of every penalty in order; the first failure is returned.
Result<std::vector<Matrix>> penalty_roots(std::span<const Matrix> penalties);

// ---- Residual sums without a pass over the data ----------------------------------

// RSS(β) = Σ w_i (y_i − x_iβ)² for one data set, from a reference fit β₀:
//   RSS(β) = RSS(β₀) − 2·dᵀg₀ + dᵀ(XᵀWX)d,  d = β − β₀,  g₀ = XᵀW(y − Xβ₀).
// The identity is exact; with β₀ a fitted solution every term is of the size
// of the residual sum itself, so it loses nothing to cancellation, unlike
// yᵀWy − 2βᵀXᵀWy + βᵀXᵀWXβ. Building it costs one pass over the rows; each
// evaluation after that costs O(p²).
class ResidualModel {
 public:
  ResidualModel(VectorView y, ConstMatrixView x, VectorView w, Matrix xtwx, Vector beta0);
  // The same from RSS(β₀) and g₀, summed by the caller in its own pass over the rows.
  ResidualModel(Matrix xtwx, Vector beta0, Vector g0, double rss0)
      : xtwx_(std::move(xtwx)), beta0_(std::move(beta0)), g0_(std::move(g0)), rss0_(rss0) {}
  // `magnitude`, when given, receives RSS(β₀) + |2·dᵀg₀| + dᵀ(XᵀWX)d: a result
  // far below it has lost digits to cancellation.
  double rss(const Vector& beta, double* magnitude = nullptr) const;

 private:
  Matrix xtwx_;
  Vector beta0_;
  Vector g0_;
  double rss0_ = 0.0;
};

// ---- REML criterion ------------------------------------------------------------

// V = ½[(RSS + P)/φ + (n − r̂)·log(2πφ) + log det(A + δI) − Σ rank_j·log λ_j]
// with the scalar ridge δ = 1e-5·(1 + √m)·max(1, max_k |A_kk|) and the
// criterion's own row-counting rank estimate r̂ (penalties with λ_j ≤ 1e-10
// count neither rank nor log λ_j). Solver errors are returned unchanged.
// `residuals`, when given, must describe this y, X and w; it replaces the
// pass over the rows for RSS (as in every routine below that accepts one).
Result<double> reml_criterion(VectorView y, ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                              std::span<const Matrix> penalties, const Matrix* xtwx = nullptr,
                              const Vector* xtwy = nullptr, const ResidualModel* residuals = nullptr);

// The criterion's rank estimate of one penalty: with t = 1e-10·max(1, max |S_kl|),
// count the rows whose absolute sum exceeds t; count − 2 when count ≥ 2, else 1.
std::size_t criterion_rank(ConstMatrixView s);

// ---- Stacked factor and penalized coefficients ---------------------------------

struct StackedFactor {
  Matrix r;                        // p × p upper triangular, RᵀR = XᵀWX + Σ λ_j L_j L_jᵀ
  std::vector<Matrix> roots;       // the L_j used (given or computed)
  std::vector<std::size_t> ranks;  // r_j = columns of L_j
};

// R from the thin QR of Z = [√W·X; √λ_1·L_1ᵀ; …; √λ_m·L_mᵀ]. The LAPACK error
// is returned as is so that each caller words its own failure. `diagnostics`
// enables the [Z_BUILD_DEBUG] and [QR_DEBUG] lines (still subject to the switch).
// Precondition: n + Σ r_j ≥ p.
LapackResult<Matrix> stacked_r(ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                               std::span<const Matrix> roots, bool diagnostics = true);

// Roots (computed now unless `roots` is given) and R. Errors: those of
// penalty_sqrt unchanged; InvalidParameter "QR decomposition failed: <LAPACK error>".
Result<StackedFactor> stacked_factor(ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                                     std::span<const Matrix> penalties, const std::vector<Matrix>* roots = nullptr);

// Smooths that each contain the constant (and are penalized only on their
// wiggliness) leave XᵀWX + Σ λ_j L_j L_jᵀ singular, and its factor then turns
// every trace and derivative of β into rounding noise. A factor singular to
// working precision (some |R_kk| below 1.5e-8 of the largest) is refactored
// with the coefficient solve's ridge (1 + √m)·1e-7·max(A_kk, 1) appended as
// rows, A_kk being the squared column norms of R; a factor of full rank is
// left exactly as it is.
Result<void> ridge_singular_factor(Matrix& r, std::size_t m);

struct PenalizedFit {
  Vector beta;           // p
  Vector xtwe;           // XᵀW·e (p), what every derivative of RSS needs
  double rss = 0.0;      // Σ w_i e_i²
  double penalty = 0.0;  // P = Σ λ_j βᵀS_jβ
  double phi = 0.0;      // RSS / (n − total_rank)
  std::size_t total_rank = 0;
};

// β from (A + diag(δ_k))β = XᵀWy with the per-entry ridge
// δ_k = (1 + √m)·1e-7·max(|A_kk|, 1). `diagnostics` enables the [PHI_DEBUG]
// line. Solver errors are returned unchanged.
Result<PenalizedFit> penalized_coefficients(VectorView y, ConstMatrixView x, VectorView w,
                                            std::span<const double> lambdas, std::span<const Matrix> penalties,
                                            std::size_t total_rank, const Matrix* xtwx = nullptr,
                                            const Vector* xtwy = nullptr, bool diagnostics = true,
                                            const ResidualModel* residuals = nullptr);

// ---- Gradient ------------------------------------------------------------------

// g_j = ∂V/∂ρ_j (length m) of the profiled criterion, from the stacked factor
// and the penalized coefficients (whose solve may start from the cached cross
// products). Errors: those of the two stages;
// InvalidParameter "Triangular solve failed: <LAPACK error>".
Result<Vector> reml_gradient_multi_qr(VectorView y, ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                                      std::span<const Matrix> penalties, const std::vector<Matrix>* roots = nullptr,
                                      const Matrix* xtwx = nullptr, const Vector* xtwy = nullptr);

}  // namespace vorna
