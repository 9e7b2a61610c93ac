// Smoothing-parameter optimizers: the entry the fit pipelines call, the
// preconditioned Newton optimizer of the REML criterion, the Fellner-Schall
// fixed-point iteration and the single-smooth GCV search.
//
// All optimizers work on ρ_j = ln λ_j and write the record's `lambda` only
// when they succeed: a failure leaves it as it was on entry. Not converging is
// not a failure; the current λ is then the result. Progress and timings go to
// standard error under VORNA_PROFILE (plus VORNA_GRAD_DEBUG for the raw
// Newton Hessian and VORNA_TRACE_DEBUG for Fellner-Schall traces); each
// switch is looked up afresh before every line.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "error.hpp"
#include "linalg.hpp"
#include "matrix.hpp"

namespace vorna {

enum class SmoothingMethod : std::uint8_t { REML = 0, GCV = 1 };

// Exactly "REML" or "GCV"; anything else (including other letter cases) is absent.
std::optional<SmoothingMethod> parse_smoothing_method(std::string_view name);

// The model's λ record: one λ per penalty, in penalty order.
struct SmoothingParameter {
  Vector lambda;
  SmoothingMethod method = SmoothingMethod::REML;
  bool use_fellner_schall = false;
};

// Chooses λ for the record's method. Requires lambda.size() == penalties.size()
// (else DimensionMismatch "Number of penalties must match number of lambdas",
// record unchanged); then restarts every λ at 1 and runs Fellner-Schall or
// Newton REML (REML) or the GCV search (GCV, one penalty; none gives an empty
// λ; two or more fail with the plain message "Multiple smooths not yet
// properly implemented for GCV"). After a failure of the optimizer itself
// the record holds the ones. `cross`, when given, must be XᵀWX and XᵀWy of
// these x, w and y; the REML optimizers then skip forming them.
Result<void, Failure> optimize(SmoothingParameter& params, VectorView y, ConstMatrixView x,
                               VectorView w, std::span<const Matrix> penalties,
                               const CrossProducts* cross = nullptr);

// Minimizes the REML criterion over ρ from ρ = ln(params.lambda), at most 10
// Newton iterations, each with a criterion, a gradient from cached cross
// products and a cached Hessian, a diagonally preconditioned step capped at
// Euclidean norm 4 in ρ, a halving line search with an Armijo test and, when
// no fraction of the step helps, a steepest-descent fall-back at three step
// sizes. Errors of the penalty roots, of the criterion/gradient/Hessian at
// the iterate and of the Newton solve are returned unchanged; failures at
// trial points only discard the trial.
// Precondition: params.lambda.size() == penalties.size().
Result<void> newton_reml(SmoothingParameter& params, VectorView y, ConstMatrixView x,
                         VectorView w, std::span<const Matrix> penalties,
                         const CrossProducts* cross = nullptr);

// Simultaneous damped update ρ_j ← ρ_j + ½ ln(clamp(tr(L⁻¹S_j)/r_j, 0.2, 5)),
// clamped to [ln 1e-7, ln 1e5], with L the lower Cholesky factor of the
// ridged XᵀWX + Σ λ_j S_j; at most 10 iterations, converged when no ρ_j moves
// by 1e-6. y is not used. Errors: those of the penalty roots; SingularMatrix
// when the factorization fails even with the enlarged ridge or L cannot be
// inverted. Precondition: params.lambda.size() == penalties.size().
Result<void> fellner_schall(SmoothingParameter& params, VectorView y, ConstMatrixView x,
                            VectorView w, std::span<const Matrix> penalties,
                            const CrossProducts* cross = nullptr);

// Gradient descent on ρ = ln λ for one penalty with a forward-difference
// slope of the GCV score (increment 0.01, step factor 0.5), at most 10
// iterations, stopping when ρ moves by at most 1e-6. Writes [exp(ρ)] into
// params.lambda on success; score errors are returned unchanged.
// Precondition: params.lambda.size() == 1.
Result<void> gcv_search(SmoothingParameter& params, VectorView y, ConstMatrixView x,
                        VectorView w, ConstMatrixView penalty);

// ---- Pieces of the Newton optimizer, separated so that each rule can be
// checked on its own -----------------------------------------------------------

namespace newton {

// The criterion at a trial point, given the trial's scale (a step fraction or
// a steepest-descent size).
using TrialCriterion = std::function<Result<double>(double scale)>;

struct Step {
  Vector direction;    // s, already capped
  double norm = 0.0;   // min(‖s‖₂ before the cap, 4): what the line search reports
};

// s = −D⁻¹(H̃)⁻¹D⁻¹g with D_i = √H_ii (1 when H_ii ≤ 1e-10) and
// H̃ = D⁻¹HD⁻¹ + 1e-7·I, scaled down to norm 4 when longer. Solver errors
// are returned unchanged. Writes no diagnostics.
Result<Step> preconditioned_step(const Vector& gradient, const Matrix& hessian);

// A point along a search: its step fraction or size and the criterion there.
struct Trial {
  double scale = 0.0;
  double value = 0.0;
};

// Backtracking along the step: scales 0.5^h for h = 0 … max_halvings, keeping
// the lowest criterion below `value`. Ends at the first trial after an
// improvement that is no lower, or at an improving trial with h > 0 that
// passes V_try ≤ V + 0.01·a·slope; an Armijo full step still tries the half
// step. Failed trials are skipped. Writes the per-trial lines for h ≤ 2.
// Returns scale 0 and the entry value when no trial is lower.
Trial line_search(double value, double slope, int max_halvings, const TrialCriterion& criterion_at);

// Tries ρ − t·g for t = 0.01, 0.001, 0.0001 in turn and returns the first
// trial whose criterion is below `value`, or nothing when none is. Writes one
// line per trial.
std::optional<Trial> steepest_descent(double value, const TrialCriterion& criterion_at);

// Number of halvings the line search may take, by the gradient's largest
// absolute entry: 10 below 0.1, 20 below 1, 30 otherwise.
int max_halvings(double gradient_inf);

}  // namespace newton

}  // namespace vorna
