// Smoothing-parameter optimizers: the entry the fit pipelines call, Newton's
// method on the REML and GCV criteria (selection.hpp) and the Fellner-Schall
// fixed-point iteration.
//
// All optimizers work on ρ_j = ln λ_j and write the record's `lambda` only
// when they succeed: a failure leaves it as it was on entry. Not converging is
// not a failure; the current λ is then the result, and the report says so.
// Progress and timings go to standard error under VORNA_PROFILE (and
// VORNA_TRACE_DEBUG for Fellner-Schall traces); each switch is looked up
// afresh before every line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "error.hpp"
#include "linalg.hpp"
#include "matrix.hpp"
#include "selection.hpp"

namespace vorna {

enum class SmoothingMethod : std::uint8_t { REML = 0, GCV = 1 };

// Exactly "REML" or "GCV"; anything else (including other letter cases) is absent.
std::optional<SmoothingMethod> parse_smoothing_method(std::string_view name);
// "REML" or "GCV", the names parse_smoothing_method reads.
std::string_view smoothing_method_name(SmoothingMethod method);

// The model's λ record: one λ per penalty, in penalty order.
struct SmoothingParameter {
  Vector lambda;
  SmoothingMethod method = SmoothingMethod::REML;
  bool use_fellner_schall = false;
};

// How the optimizer entry runs.
struct SelectionOptions {
  bool known_scale = false;        // REML with φ = 1 (binomial, Poisson) instead of a profiled scale
  bool warm_start = false;         // start from the record's λ instead of the balanced start
  const Vector* centre = nullptr;  // the middle of the ln λ range (SelectionOutcome::centre), if fixed
};

// Chooses λ for the record's method. Requires lambda.size() == penalties.size()
// (else DimensionMismatch "Number of penalties must match number of lambdas",
// record unchanged). REML (profiled or known scale) and GCV minimize their
// criterion on the working model (y, X, w) by Newton's method with exact
// derivatives (see selection.hpp), for any number of penalties; Fellner-Schall
// runs when the record asks for it. A cold start begins where each penalty
// balances its block of XᵀWX (Fellner-Schall: at λ = 1), a warm start at the
// record's λ. `cross`, when given, must be XᵀWX and XᵀWy of these x, w and y.
// `report`, when given, receives how the Newton search ended. On failure the
// record keeps its entry values.
Result<void, Failure> optimize(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                               std::span<const Matrix> penalties, const CrossProducts* cross = nullptr,
                               const SelectionOptions& options = {}, SelectionOutcome* report = nullptr);

// optimize() for a working model summarized by the caller's pass over its
// rows (see SelectionProblem::from_sums), `pass` reading the rows again
// where the residual sums from the anchor cancel; REML or GCV only (no
// Fellner-Schall).
Result<void, Failure> optimize_from_sums(SmoothingParameter& params, SelectionProblem::WorkingSums sums,
                                         SelectionProblem::ResidualPass pass, std::span<const Matrix> penalties,
                                         const SelectionOptions& options, SelectionOutcome* report = nullptr);

// Minimizes the REML criterion (profiled scale, or φ = 1 with `known_scale`)
// from ρ = ln(params.lambda) and writes the chosen λ into the record. Errors
// of the set-up (sizes, penalty roots, a profiled scale without residual
// degrees of freedom) and of the evaluation at an iterate are returned
// unchanged; the record then keeps its entry values.
Result<void> newton_reml(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                         std::span<const Matrix> penalties, const CrossProducts* cross = nullptr,
                         bool known_scale = false, SelectionOutcome* report = nullptr);

// Simultaneous damped update ρ_j ← ρ_j + ½ ln(clamp(tr(L⁻¹S_j)/r_j, 0.2, 5)),
// clamped to [ln 1e-7, ln 1e5], with L the lower Cholesky factor of the
// ridged XᵀWX + Σ λ_j S_j; at most 10 iterations, converged when no ρ_j moves
// by 1e-6. y is not used. Errors: those of the penalty roots; SingularMatrix
// when the factorization fails even with the enlarged ridge or L cannot be
// inverted. Precondition: params.lambda.size() == penalties.size().
Result<void> fellner_schall(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                            std::span<const Matrix> penalties, const CrossProducts* cross = nullptr);

// Minimizes the GCV score n·RSS/(n − τ)² over ρ from ρ = ln(params.lambda),
// for any number of penalties; otherwise as newton_reml.
Result<void> gcv_search(SmoothingParameter& params, VectorView y, ConstMatrixView x, VectorView w,
                        std::span<const Matrix> penalties, const CrossProducts* cross = nullptr,
                        SelectionOutcome* report = nullptr);

}  // namespace vorna
