// The response families with their canonical links, the penalized cross
// product XᵀWX + S_λ, PiRLS (penalized iteratively re-weighted least squares)
// at fixed smoothing parameters, and the row-block QR factor of the penalized
// cross product.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

#include "error.hpp"
#include "family.hpp"
#include "linalg.hpp"
#include "matrix.hpp"

namespace vorna {

// ---- Families and links --------------------------------------------------------
//
// Element-wise over vectors; none fails. Links: Gaussian identity, Binomial
// logit, Poisson log, Gamma inverse. Guards: exponents clamped to [−20, 20],
// small magnitudes floored at 1e-10, 1e10 in place of 1/0, the binomial start
// clamped to [0.01, 0.99], the Poisson and Gamma starts floored at 0.1. Clamps
// are IEEE maxNum/minNum: a NaN operand yields the bound. Each result has the
// length of the first vector argument; the others must be at least as long.

// Starting linear predictor from the response.
Vector initial_eta(Family family, VectorView y);
// μ = g⁻¹(η).
Vector link_inverse(Family family, VectorView eta);
// dμ/dη (Poisson and Gamma without the clamps of the inverse link).
Vector mu_eta(Family family, VectorView eta);
// V(μ): 1, μ(1 − μ), μ, μ².
Vector variance(Family family, VectorView mu);
// w = max(mu_eta² / max(V(μ), 1e-10), 1e-10) with μ = g⁻¹(η).
Vector working_weights(Family family, VectorView eta);
// z = η + (y − μ)/mu_eta(η), or η where |mu_eta(η)| < 1e-10.
Vector working_response(Family family, VectorView eta, VectorView mu, VectorView y);
// Σ_i unit deviance(y_i, μ_i) over the entries of y, summed in order from 0.0;
// μ is floored at 1e-10 except for the Gaussian (the residual sum of squares).
double deviance(Family family, VectorView y, VectorView mu);

// ---- Penalized cross products --------------------------------------------------
//
// PiRLS, the REML criterion and its coefficients, and Fellner-Schall form
// A = XᵀWX + S_λ (+ a ridge), S_λ = Σ_j λ_j S_j, here (each with its own ridge).
// Only the first min(len(λ), len(S)) pairs are used, and each of them must be
// p × p, p the order of the result (the callers check). Sums run entry by
// entry in penalty order, and none fails.

// S_λ = Σ_j λ_j S_j (p × p), accumulated from zero.
Matrix penalty_sum(std::span<const double> lambdas, std::span<const Matrix> penalties, std::size_t p);

// A = ((XᵀWX + λ_1 S_1) + λ_2 S_2) + … + δI: each penalty added in turn, then
// δ to the diagonal (δ = 0 adds nothing). xtwx: p × p, consumed. With two or
// more overlapping penalties this rounds differently from XᵀWX + S_λ, which
// the overload below forms.
Matrix penalized_gram(Matrix xtwx, std::span<const double> lambdas, std::span<const Matrix> penalties,
                      double ridge = 0.0);

// A = XᵀWX + S_λ + δI for S_λ = penalty_sum(λ, S) formed beforehand (p × p).
Matrix penalized_gram(Matrix xtwx, const Matrix& s_lambda, double ridge);

// ---- PiRLS -----------------------------------------------------------------------

struct PirlsResult {
  Vector coefficients;         // β of the last solve (p)
  Vector fitted_values;        // μ = g⁻¹(η) at the final η (n)
  Vector linear_predictor;     // η = Xβ of the last solve (n)
  Vector weights;              // working weights at the final η (n)
  double deviance = 0.0;       // deviance(y, fitted_values)
  std::size_t iterations = 0;  // 1 … 100
  bool converged = false;      // the last full step changed β (Gaussian) or η by at most 1e-6 relative
};

// The ridge added to XᵀWX + S_λ: 1e-5·(1 + √m)·max_k (XᵀWX)_kk, or
// 1e-5·(1 + √m) when that diagonal is zero. It scales with the weights, so a
// fit in other units of the response solves the same problem.
double penalty_ridge(ConstMatrixView xtwx, std::size_t m);

// Fits β for fixed λ by repeatedly solving
//   (XᵀWX + Σ_j λ_j S_j + δI) β = XᵀWz,   δ = penalty_ridge(XᵀWX, m),
// from η = initial_eta(y) until a full step changes β (Gaussian) or η = Xβ
// (other families) by at most 1e-6 of its largest entry, for at most
// 100 iterations (not converging is not an error: converged = false). Steps
// that raise the penalized deviance or leave the family's domain (a Gamma
// mean must be positive) are halved when the plain iteration does not settle.
// X: n × p; y: n; lambdas and penalties: m each, penalties p × p.
// Errors, checked in this order before any arithmetic:
//   DimensionMismatch "X has {n} rows but y has {len(y)} elements";
//   DimensionMismatch "Number of lambdas must match number of penalty matrices";
//   DimensionMismatch when a penalty is not p × p;
// then whatever solve() reports for a singular system (SingularMatrix);
// OptimizationFailed when no step keeps the Gamma means positive.
//
// `cache` may carry the cross products of this X and y at unit weights (XᵀX
// and Xᵀy). They stand for XᵀWX and XᵀWz when every working weight is 1 (the
// Gaussian family), so that repeated fits on one model matrix skip every
// O(n·p²) product; other families ignore it.
Result<PirlsResult> pirls(ConstMatrixView x, VectorView y, std::span<const double> lambdas,
                          std::span<const Matrix> penalties, Family family, const CrossProducts* cache = nullptr);

// R (p × p, upper triangular) with RᵀR = Σ_j λ_j L_j L_jᵀ + XᵀWX up to rounding
// and the signs of its rows, without forming XᵀWX: the rows √λ_j L_jᵀ are
// QR-factored first, then the rows √w_i X_i are folded in by blocks of 1000.
// X: n × p; w: at least n weights; roots L_j: p × r_j. Only the first
// min(len(λ), len(L)) pairs contribute, but every root's columns count as
// (zero) penalty rows. Errors: DimensionMismatch when a root does not have p
// rows or w is shorter than n; LinAlgError "QR decomposition failed" for the
// penalty rows, "Block QR update failed" or "First block QR failed" for a
// block of data rows (none with the LAPACK error's text);
// InvalidParameter "No blocks processed" when there are neither penalty rows
// nor data rows.
Result<Matrix> blockwise_r_factor(ConstMatrixView x, VectorView w, std::span<const double> lambdas,
                                  std::span<const Matrix> roots);

// What pirls() returns for the Gaussian family with `cache`, from the cross
// products alone: η = predictor(β) stands for Xβ, so no model matrix is
// needed. The penalties must be p × p for the p of the cache. The linear
// predictor and the weights are left empty: for the identity link they are
// the fitted values and ones (GamModel::store keeps them so).
Result<PirlsResult> gaussian_pirls_from_products(const CrossProducts& cache, VectorView y,
                                                 std::span<const double> lambdas, std::span<const Matrix> penalties,
                                                 const std::function<Vector(const Vector&)>& predictor);

}  // namespace vorna
