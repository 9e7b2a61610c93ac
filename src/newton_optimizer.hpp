// Newton-PIRLS: a stand-alone Newton optimizer of the REML criterion over the
// log smoothing parameters ρ = log λ.
//
// Each iteration takes the gradient (reml_gradient_multi_qr) and the exact
// Hessian (reml_hessian_multi_qr) at λ = exp(ρ), solves for the Newton
// direction without preconditioning and globalizes it either by a
// backtracking line search on reml_criterion or by a dogleg trust region.
// It stops on the Euclidean norm of the gradient. Stopping for any other
// reason (iteration limit, failed line search, vanishing trust region) is not
// an error: the result comes back with `converged` false and the reason in
// `message`.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "error.hpp"
#include "matrix.hpp"

namespace vorna {

struct NewtonConfig {
  std::size_t max_iter = 100;        // the iteration that reaches it stops after its gradient
  double grad_tol = 1e-6;            // converged when ‖g‖₂ < grad_tol
  double min_step = 1e-10;           // line search: smallest step before giving up
  double step_shrink = 0.5;          // line search: α ← α·step_shrink after a rejected trial
  std::size_t max_line_search = 20;  // line search: trials per iteration
  double initial_radius = 1.0;       // trust region: starting Δ
  double max_radius = 10.0;          // trust region: Δ never grows beyond this
  double eta = 0.15;                 // trust region: accept when actual/predicted > eta
  bool verbose = false;              // trace every iteration on standard error
  bool use_trust_region = false;     // dogleg trust region instead of the line search
};

struct NewtonResult {
  Vector log_lambda;           // final ρ (length m)
  Vector lambda;               // exp(ρ)
  double reml = 0.0;           // reml_criterion at the final ρ
  std::size_t iterations = 0;  // number of the last iteration started
  bool converged = false;      // only the gradient-norm stop converges; a run that makes
                               // no progress for 20 iterations stops unconverged
  std::string message;         // the text of the stop
};

// Minimizes the REML criterion from `initial_rho`; penalties are p × p,
// one per entry of ρ. Errors: DimensionMismatch "Number of penalties ({m_pen})
// must match log_lambda ({m})"; failures of the gradient, the Hessian and the
// criterion (at the iterate, at a trust-region trial point, at the end)
// unchanged; SingularMatrix when the Newton system cannot be solved even with
// its ridge. A failed criterion at a line-search trial only rejects the trial.
Result<NewtonResult> newton_pirls(const NewtonConfig& config, VectorView y, ConstMatrixView x, VectorView w,
                                  VectorView initial_rho, std::span<const Matrix> penalties);

// ---- Pieces of one iteration, pure functions of their arguments ----------------------

// p_N with H·p_N = −g. When H is singular to the solver, retries once with
// H + δI, δ = 1e-6·max_i |H_ii|; SingularMatrix if that fails too.
Result<Vector> newton_direction(const Matrix& hessian, const Vector& gradient);

enum class TrustStepKind { Newton, ScaledCauchy, Dogleg, CauchyNotDescent };

struct TrustStep {
  Vector step;
  TrustStepKind kind = TrustStepKind::Newton;
  double dogleg_beta = 0.0;  // the interpolation weight (Dogleg only)
};

// The dogleg step for the model g·p + ½pᵀHp within ‖p‖ ≤ radius, given the
// Newton direction and whether it is a descent direction. Not a descent
// direction: the Cauchy point, scaled to the radius when it reaches it.
TrustStep trust_region_step(const Vector& gradient, const Matrix& hessian, const Vector& newton, bool descent,
                            double radius);

// The radius after a trial with ratio r = actual/predicted and step norm
// ‖p‖: 0.25Δ when r < 0.25; min(2Δ, max_radius) when r > 0.75 and the step
// reached the boundary; Δ otherwise.
double updated_radius(double ratio, double step_norm, double radius, double max_radius);

}  // namespace vorna
