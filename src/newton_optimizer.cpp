#include "newton_optimizer.hpp"
#include "interrupt.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string_view>
#include <utility>

#include "diagnostics.hpp"
#include "format.hpp"
#include "linalg.hpp"
#include "reml.hpp"
#include "reml_hessian.hpp"

namespace vorna {
namespace {

// Ridge of the retried Newton solve, relative to the largest |H_ii|.
constexpr double kNewtonRidge = 1e-6;
// Line-search trials beyond this many are not traced.
constexpr std::size_t kTracedTrials = 5;
// A Newton step shorter than this is no better than the Cauchy point.
constexpr double kMinNewtonNorm = 1e-10;
// Below this the dogleg segment is a point: take its end.
constexpr double kMinDoglegCurvature = 1e-10;
// A predicted reduction below this makes the ratio meaningless: count it as 0.
constexpr double kMinPredicted = 1e-10;
// A step within this of the radius has reached the boundary.
constexpr double kBoundaryTolerance = 1e-6;
constexpr double kShrinkBelow = 0.25;  // ratio below which Δ shrinks to kShrinkBelow·Δ
constexpr double kGrowAbove = 0.75;    // ratio above which a boundary step doubles Δ
// Every rejected step is the zero vector; anything shorter counts as rejected.
constexpr double kZeroStep = 1e-12;
constexpr double kMinRadius = 1e-8;
// No progress: the criterion has not fallen by more than this fraction of its
// size (plus an absolute 1e-12 for a criterion near 0) in kStallIterations
// iterations. The gradient tolerance can lie below what rounding lets the
// gradient reach; without this stop such a run would spend its whole
// iteration cap (callers pass caps of 10⁶ and more) at one point.
constexpr double kStallTolerance = 1e-12;
constexpr std::size_t kStallIterations = 20;

// The verbose trace: standard error, only when the configuration asks.
class Trace {
 public:
  explicit Trace(bool on) : on_(on) {}
  void operator()(std::string_view text) const {
    if (on_) diag::line(text);
  }

 private:
  bool on_;
};

// a + t·b
Vector axpy(const Vector& a, double t, const Vector& b) {
  Vector out(a.size());
  for (std::size_t k = 0; k < a.size(); ++k) out[k] = a[k] + t * b[k];
  return out;
}

// The data, bound once, evaluated at λ = exp(ρ).
struct Problem {
  VectorView y;
  ConstMatrixView x;
  VectorView w;
  std::span<const Matrix> penalties;

  Result<double> criterion(const Vector& rho) const { return reml_criterion(y, x, w, exp_of(rho), penalties); }
  Result<Vector> gradient(const Vector& rho) const { return reml_gradient_multi_qr(y, x, w, exp_of(rho), penalties); }
  Result<Matrix> hessian(const Vector& rho) const { return reml_hessian_multi_qr(y, x, w, exp_of(rho), penalties); }
};

// What an iteration's globalization decides: go on (nullopt) or stop with a message.
using Stop = std::optional<std::string>;

void trace_step(const Trace& trace, const Vector& step, const Vector& rho) {
  trace("  Step norm: " + fmt::sci(norm2(step), 6));
  trace("  New ρ: " + fmt::array_debug(rho));
}

// Backtracking on the criterion along the Newton direction (−g when that is
// not a descent direction). An exhausted search still moves ρ by the last α.
Result<Stop> line_search_iteration(const NewtonConfig& config, const Problem& problem, Vector& rho, const Vector& g,
                                   const Vector& newton, double descent, const Trace& trace) {
  Vector s = newton;
  if (descent > 0.0) {
    trace("  WARNING: Not a descent direction, using steepest descent");
    for (std::size_t k = 0; k < s.size(); ++k) s[k] = -g[k];
  }
  VORNA_TRY(v, problem.criterion(rho));
  trace("  Line search: REML_current = " + fmt::fixed(v, 6));

  double alpha = 1.0;
  bool accepted = false;
  for (std::size_t t = 1; t <= config.max_line_search; ++t) {
    const auto v_try = problem.criterion(axpy(rho, alpha, s));
    const bool traced = t <= kTracedTrials;
    if (!v_try) {
      if (traced) trace("    step=" + fmt::sci(alpha, 3) + ": FAILED (" + v_try.error().display() + ")");
    } else {
      if (traced)
        trace("    step=" + fmt::sci(alpha, 3) + ": REML=" + fmt::fixed(v_try.value(), 6) +
              ", Δ=" + fmt::sci(v_try.value() - v, 3));
      if (v_try.value() < v) {
        accepted = true;
        trace("  Accepted step: " + fmt::sci(alpha, 6));
        break;
      }
    }
    alpha *= config.step_shrink;
    if (alpha < config.min_step) break;
  }
  if (!accepted) trace("  Line search failed, returning step=" + fmt::sci(alpha, 6));
  trace("  Line search result: step = " + fmt::sci(alpha, 6));
  if (alpha < config.min_step)
    return Stop("Line search failed: step size " + fmt::sci(alpha, 6) + " < " + fmt::sci(config.min_step, 6));

  Vector step(s.size());
  for (std::size_t k = 0; k < s.size(); ++k) step[k] = alpha * s[k];
  for (std::size_t k = 0; k < rho.size(); ++k) rho[k] += step[k];
  trace_step(trace, step, rho);
  return Stop{};
}

// One dogleg trust-region trial. A rejected step leaves ρ unchanged and
// halves the (already updated) radius once more.
Result<Stop> trust_region_iteration(const NewtonConfig& config, const Problem& problem, Vector& rho, double& radius,
                                    const Vector& g, const Matrix& h, const Vector& newton, double descent,
                                    const Trace& trace) {
  VORNA_TRY(v, problem.criterion(rho));
  const bool is_descent = !(descent > 0.0);
  if (!is_descent) trace("  Trust region: Newton step not descent (g'·Δρ=" + fmt::sci(descent, 3) + "), using Cauchy");
  const TrustStep choice = trust_region_step(g, h, newton, is_descent, radius);
  switch (choice.kind) {
    case TrustStepKind::Newton:
      trace("  Trust region: Using Newton step (norm=" + fmt::sci(norm2(newton), 3) + " ≤ Δ=" + fmt::sci(radius, 3) +
            ")");
      break;
    case TrustStepKind::ScaledCauchy: trace("  Trust region: Using scaled Cauchy point"); break;
    case TrustStepKind::Dogleg:
      trace("  Trust region: Dogleg interpolation (β=" + fmt::fixed(choice.dogleg_beta, 3) + ")");
      break;
    case TrustStepKind::CauchyNotDescent: break;
  }
  const Vector& p = choice.step;

  VORNA_TRY(v_try, problem.criterion(axpy(rho, 1.0, p)));
  const double actual = v - v_try;
  const double predicted = -(dot(g, p) + 0.5 * dot(p, matvec(h, p)));
  const double ratio = std::fabs(predicted) >= kMinPredicted ? actual / predicted : 0.0;
  trace("  Trust region: actual=" + fmt::sci(actual, 3) + ", predicted=" + fmt::sci(predicted, 3) +
        ", ρ=" + fmt::sci(ratio, 3));

  const double new_radius = updated_radius(ratio, norm2(p), radius, config.max_radius);
  Vector step(p.size(), 0.0);
  if (ratio > config.eta) {
    trace("  Trust region: ACCEPT (ρ=" + fmt::fixed(ratio, 3) + " > η=" + fmt::fixed(config.eta, 3) + ")");
    step = p;
  } else {
    trace("  Trust region: REJECT (ρ=" + fmt::fixed(ratio, 3) + " ≤ η=" + fmt::fixed(config.eta, 3) + ")");
  }
  radius = new_radius;
  trace("  New trust radius: Δ=" + fmt::sci(radius, 3));

  if (norm2(step) < kZeroStep) {
    radius *= 0.5;
    if (radius < kMinRadius) return Stop("Trust region too small: Δ=" + fmt::sci(radius, 6));
    return Stop{};
  }
  for (std::size_t k = 0; k < rho.size(); ++k) rho[k] += step[k];
  trace_step(trace, step, rho);
  return Stop{};
}

// p_C = −α_C·g with α_C = min(gᵀg/gᵀHg, Δ/‖g‖), or Δ/‖g‖ without positive
// curvature along g. A zero gradient gives the zero step instead of 0·∞.
struct CauchyPoint {
  Vector step;
  // α_C took the boundary value. ‖p_C‖ ≥ Δ holds exactly then, but the
  // computed norm may fall an ulp short of Δ; deciding on α keeps such a
  // point out of the dogleg, whose far root would then lie across the region.
  bool on_boundary = false;
};

CauchyPoint cauchy_point(const Vector& g, const Matrix& h, double radius) {
  CauchyPoint c{Vector(g.size(), 0.0), false};
  const double g_norm = norm2(g);
  if (g_norm == 0.0) return c;
  const double curvature = dot(g, matvec(h, g));
  const double to_boundary = radius / g_norm;
  const double unconstrained = dot(g, g) / curvature;
  const double alpha = curvature > 0.0 ? std::fmin(unconstrained, to_boundary) : to_boundary;
  c.on_boundary = !(curvature > 0.0 && unconstrained < to_boundary);
  for (std::size_t k = 0; k < g.size(); ++k) c.step[k] = -alpha * g[k];
  return c;
}

}  // namespace

Result<Vector> newton_direction(const Matrix& hessian, const Vector& gradient) {
  Vector rhs(gradient.size());
  for (std::size_t k = 0; k < rhs.size(); ++k) rhs[k] = -gradient[k];
  auto direction = solve(hessian, rhs);
  if (direction) return std::move(direction).value();

  double largest = 0.0;
  for (std::size_t i = 0; i < hessian.rows(); ++i) largest = std::fmax(largest, std::fabs(hessian(i, i)));
  Matrix ridged = hessian;
  for (std::size_t i = 0; i < ridged.rows(); ++i) ridged(i, i) += kNewtonRidge * largest;
  auto retried = solve(std::move(ridged), std::move(rhs));
  if (retried) return std::move(retried).value();
  return GamError::singular_matrix();
}

TrustStep trust_region_step(const Vector& gradient, const Matrix& hessian, const Vector& newton, bool descent,
                            double radius) {
  const double newton_norm = norm2(newton);
  if (descent && newton_norm > kMinNewtonNorm && newton_norm <= radius) return {newton, TrustStepKind::Newton, 0.0};

  CauchyPoint point = cauchy_point(gradient, hessian, radius);
  Vector& cauchy = point.step;
  const double cauchy_norm = norm2(cauchy);
  const TrustStepKind cauchy_kind = descent ? TrustStepKind::ScaledCauchy : TrustStepKind::CauchyNotDescent;
  if ((point.on_boundary || cauchy_norm >= radius) && cauchy_norm > 0.0) {
    const double scale = radius / cauchy_norm;
    for (double& v : cauchy) v *= scale;
    return {std::move(cauchy), cauchy_kind, 0.0};
  }
  if (!descent) return {std::move(cauchy), cauchy_kind, 0.0};

  // Where p_C + β(p_N − p_C) crosses ‖p‖ = Δ: the positive root of
  // a·β² + b·β + c₀ = 0.
  Vector e(newton.size());
  for (std::size_t k = 0; k < e.size(); ++k) e[k] = newton[k] - cauchy[k];
  const double a = dot(e, e);
  const double b = 2.0 * dot(cauchy, e);
  const double c0 = dot(cauchy, cauchy) - radius * radius;
  const double beta = a > kMinDoglegCurvature ? (-b + std::sqrt(b * b - 4.0 * a * c0)) / (2.0 * a) : 1.0;
  return {axpy(cauchy, beta, e), TrustStepKind::Dogleg, beta};
}

double updated_radius(double ratio, double step_norm, double radius, double max_radius) {
  if (ratio < kShrinkBelow) return kShrinkBelow * radius;
  if (ratio > kGrowAbove && std::fabs(step_norm - radius) < kBoundaryTolerance)
    return std::fmin(2.0 * radius, max_radius);
  return radius;
}

// 1. Check sizes, copy ρ, write the header.
// 2. Per iteration: gradient and the convergence and iteration-limit stops;
//    Hessian and Newton direction; the line search or the trust-region trial.
// 3. The criterion at the final ρ and the closing lines.
Result<NewtonResult> newton_pirls(const NewtonConfig& config, VectorView y, ConstMatrixView x, VectorView w,
                                  VectorView initial_rho, std::span<const Matrix> penalties) {
  if (penalties.size() != initial_rho.size())
    return GamError::dimension_mismatch("Number of penalties (" + std::to_string(penalties.size()) +
                                        ") must match log_lambda (" + std::to_string(initial_rho.size()) + ")");
  const Problem problem{y, x, w, penalties};
  const Trace trace(config.verbose);
  Vector rho = initial_rho.to_vector();
  trace("Newton-PIRLS Optimization");
  trace("========================");
  trace("Initial ρ: " + fmt::array_debug(rho));
  trace(config.use_trust_region ? "Using trust region method (Δ=" + fmt::fixed(config.initial_radius, 3) + ")"
                                : std::string("Using line search"));

  double radius = config.initial_radius;
  bool converged = false;
  std::size_t k = 0;
  Stop stop;
  double best = std::numeric_limits<double>::infinity();
  std::size_t since_best = 0;
  while (!stop) {
    VORNA_CHECK_INTERRUPT();
    ++k;
    VORNA_TRY(value, problem.criterion(rho));
    if (value < best - kStallTolerance * (std::fabs(best) + 1.0) || !std::isfinite(best)) {
      best = value;
      since_best = 0;
    } else if (++since_best >= kStallIterations) {
      stop = "No progress: the criterion fell by less than " + fmt::sci(kStallTolerance, 1) + " of its size in " +
             std::to_string(kStallIterations) + " iterations";
      break;
    }
    VORNA_TRY(g, problem.gradient(rho));
    trace("\nIteration " + std::to_string(k) + ": max|grad| = " + fmt::sci(max_abs(g), 6));
    const double g_norm = norm2(g);
    if (g_norm < config.grad_tol) {
      converged = true;
      stop = "Converged: gradient norm " + fmt::sci(g_norm, 6) + " < " + fmt::sci(config.grad_tol, 6);
      break;
    }
    if (k >= config.max_iter) {
      stop = "Max iterations (" + std::to_string(config.max_iter) + ") reached";
      break;
    }
    VORNA_TRY(h, problem.hessian(rho));
    VORNA_TRY(newton, newton_direction(h, g));
    const double descent = dot(g, newton);
    trace("  Descent check (g'·Δρ): " + fmt::sci(descent, 6) + " (should be < 0)");
    if (config.use_trust_region) {
      VORNA_TRY(outcome, trust_region_iteration(config, problem, rho, radius, g, h, newton, descent, trace));
      stop = std::move(outcome);
    } else {
      VORNA_TRY(outcome, line_search_iteration(config, problem, rho, g, newton, descent, trace));
      stop = std::move(outcome);
    }
  }

  NewtonResult result;
  result.lambda = exp_of(rho);
  VORNA_TRY(reml, reml_criterion(y, x, w, result.lambda, penalties));
  result.reml = reml;
  result.log_lambda = std::move(rho);
  result.iterations = k;
  result.converged = converged;
  result.message = std::move(*stop);
  trace("\n" + result.message);
  trace("Final ρ: " + fmt::array_debug(result.log_lambda));
  trace("Final λ: " + fmt::debug_list(result.lambda));
  trace("Final REML: " + fmt::fixed(result.reml, 6));
  trace("Iterations: " + std::to_string(result.iterations));
  return result;
}

}  // namespace vorna
